// Ray stamping: the current profile composited with random radial jitter, drawn
// by one worker so that the rand() draws happen in a fixed order.
#pragma once

#include <cstdint>

#include "render/stamp_profile.h"

uint32_t JitterMaskFor(int32_t width);
void StampRays(float x, float y, float radius, FlareFrame& frame, FlareContext& context);
// The same stamp at full precision, with the same draws (render/full_stamps.cpp).
void StampRays(float x, float y, float radius, FlareFrame& frame, FullFlareContext& context);
extern "C" int32_t StampRaysWorker(void* job, int32_t threadIndex, int32_t index, int32_t count);
