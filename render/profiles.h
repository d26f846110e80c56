// Radial profile builders: each writes an element's colour against distance (one
// sample per quarter pixel) into the context's profile buffers, replacing the
// profile (combine = 0) or screening over it (combine != 0). Each shape is
// written once and built for both kits: the exact kit's 8-bit samples and the
// full-precision kit's float ones (render/full_context.h).
#pragma once

#include <cstdint>

#include "render/flare_context.h"
#include "render/full_context.h"

void BuildDiscProfile(float size, int16_t red, int16_t green, int16_t blue, uint8_t combine,
                      FlareContext& context);
void BuildSoftDiscProfile(float size, int16_t red, int16_t green, int16_t blue, uint8_t combine,
                          int16_t width, FlareContext& context);
void BuildRingProfile(float size, int16_t red, int16_t green, int16_t blue, uint8_t combine,
                      int16_t width, FlareContext& context);
void BuildRimDiscProfile(float size, int16_t red, int16_t green, int16_t blue, FlareContext& context);
void BuildGlowProfile(float size, int16_t red, int16_t green, int16_t blue, uint8_t combine,
                      FlareContext& context);

void BuildDiscProfile(float size, int16_t red, int16_t green, int16_t blue, uint8_t combine,
                      FullFlareContext& context);
void BuildSoftDiscProfile(float size, int16_t red, int16_t green, int16_t blue, uint8_t combine,
                          int16_t width, FullFlareContext& context);
void BuildRingProfile(float size, int16_t red, int16_t green, int16_t blue, uint8_t combine,
                      int16_t width, FullFlareContext& context);
void BuildRimDiscProfile(float size, int16_t red, int16_t green, int16_t blue, FullFlareContext& context);
void BuildGlowProfile(float size, int16_t red, int16_t green, int16_t blue, uint8_t combine,
                      FullFlareContext& context);
