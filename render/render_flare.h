// One frame: prepare the context and frame geometry, allocate the profile
// buffers, run the chosen lens program, free the buffers.
#pragma once

#include "render/flare_context.h"

// Flare Brightness (percent) below which the renderer still draws at this
// brightness; the render command makes up the shortfall by fading towards the
// untouched input (LowBrightnessFade).
inline constexpr float kLowestDrawnBrightness = 10.0f;

void RenderFlare(EffectParams params, PixelWorld* output, FlareContext& context);

// The profile length RenderFlare uses for a frame width and brightness factor.
int32_t ProfileLengthFor(int32_t width, float brightness);
