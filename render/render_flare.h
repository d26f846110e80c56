// One frame: prepare the context and frame geometry, allocate the profile
// buffers, run the chosen lens program, free the buffers. RenderFlare draws with
// the exact 8-bit kit onto the host's frame (the module's render);
// RenderFullFlare draws the same flare with the full-precision kit onto a float
// canvas over black (the host's render of deep plates, which links this library).
#pragma once

#include <cstdint>

#include "render/flare_context.h"

// Flare Brightness (percent) below which the renderer still draws at this
// brightness; the render command makes up the shortfall by fading towards the
// untouched input (LowBrightnessFade).
inline constexpr float kLowestDrawnBrightness = 10.0f;

void RenderFlare(EffectParams params, PixelWorld* output, FlareContext& context);

// What a full-precision render needs of the controls: the frame's size, Flare
// Center in 16.16 pixels, Flare Brightness in percent and Lens Type (from 1).
struct FullFlareRequest {
  int32_t width;
  int32_t height;
  Fix16 centerX;
  Fix16 centerY;
  double brightnessPercent;
  int16_t lens;
};

// Draws the flare over black onto `rgb` (R, G, B floats a pixel, rows packed,
// all 0 on entry) as shares of full scale: where the module's render over black
// with Blend With Original 0 has a byte v, this has about v / 255, without its
// rounding. The low-brightness fade is applied; Blend With Original is the
// caller's. `shared` brings the host (its iterate, abortCheck, progress and
// pixel aspect) and a filled distance table. Returns the status the module's
// render would leave: kStatusOk, kStatusAborted, kErrRendererOutOfMemory or an
// iterate error.
int16_t RenderFullFlare(const FullFlareRequest& request, FlareContext& shared, float* rgb);

// The profile length RenderFlare uses for a frame width and brightness factor.
int32_t ProfileLengthFor(int32_t width, float brightness);

// Below kLowestDrawnBrightness the renderer still draws at that brightness; the
// render command makes up the shortfall by fading towards the untouched input
// by this amount (0 to 1).
float LowBrightnessFade(double brightnessPercent);

// The 16.16 ratio handed to the host's blend: 0 keeps the rendered frame, 65536
// gives the untouched input. blendWithOriginal is the control's 16.16 percentage.
int32_t BlendRatio(Fix16 blendWithOriginal, float fade);
