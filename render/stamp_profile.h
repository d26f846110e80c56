// Profile stamping: composite the current radial profile as a circular element,
// with the per-pixel work spread over the host's worker threads in row bands.
#pragma once

#include <cstdint>

#include "render/flare_context.h"
#include "render/full_context.h"

struct StampJob {
  FlareContext* context;
  FlareFrame* frame;
  int32_t columns;
  int32_t rows;
  float centerQx;
  float centerQy;
  int32_t startOffset;
  // Ray stamps only.
  uint32_t jitterMask;
  float reach;
};

// x in square-pixel space, y in rows, radius in square pixels.
void StampProfile(float x, float y, float radius, FlareFrame& frame, FlareContext& context);
// The same stamp at full precision (render/full_stamps.cpp).
void StampProfile(float x, float y, float radius, FlareFrame& frame, FullFlareContext& context);
extern "C" int32_t StampProfileWorker(void* job, int32_t threadIndex, int32_t index, int32_t count);
