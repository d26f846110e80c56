// The render state of the full-precision kit. It draws the same flare as the
// exact 8-bit kit (same geometry, colours, jitter, draw order and rand() draws)
// but keeps every value in single precision: profiles and canvas hold 0..1 a
// channel where the 8-bit kit holds 0..255, and nothing is rounded between
// elements. The screen of a layer a over a stored s is 1 - (1 - a)(1 - s).
//
// The shared part of the render state (host, status, streak mode, distance
// table, frame geometry) is the exact kit's FlareContext, inherited privately:
// a lens program instantiated for this context reaches only the overloads
// declared for it, so no 8-bit operation can be called on it by mistake.
#pragma once

#include <cstdint>

#include "render/flare_context.h"

// R, G, B floats a pixel, rows packed.
struct FullCanvas {
  float* rgb;
  int32_t width;
  int32_t height;
};

class FullFlareContext : private FlareContext {
 public:
  FullFlareContext(const FlareContext& shared, FullCanvas target) : FlareContext(shared), canvas(target) {}

  using FlareContext::streakMode;
  FlareContext& shared() { return *this; }
  const FlareContext& shared() const { return *this; }

  float* profile[3] = {nullptr, nullptr, nullptr};  // R, G, B; shared().profileLength samples each
  FullCanvas canvas;
};

inline int32_t CheckAbort(FullFlareContext& context) { return CheckAbort(context.shared()); }
inline void ReportProgress(FullFlareContext& context, int32_t done, int32_t total) {
  ReportProgress(context.shared(), done, total);
}
inline int16_t LoadStatus(FullFlareContext& context) { return LoadStatus(context.shared()); }
inline void StoreStatus(FullFlareContext& context, int16_t value) { StoreStatus(context.shared(), value); }

// The screen of layer share `a` over stored share `s`: 1 - (1 - a)(1 - s).
inline float ScreenShare(float a, float s) { return s + a * (1.0f - s); }
