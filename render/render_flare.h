// One frame: prepare the context and frame geometry, allocate the profile
// buffers, run the chosen lens program, free the buffers.
#pragma once

#include "render/flare_context.h"

void RenderFlare(EffectParams params, PixelWorld* output, FlareContext& context);

// The profile length RenderFlare uses for a frame width and brightness factor.
int32_t ProfileLengthFor(int32_t width, float brightness);
