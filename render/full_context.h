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

// The screen of layer share `a` over stored share `s`: 1 - (1 - a)(1 - s). A
// layer of 0 leaves `s` exactly as it is, so the stamps may skip such pixels.
inline float ScreenShare(float a, float s) { return a != 0.0f ? s + a * (1.0f - s) : s; }

// The exact kit truncates levels on their way into a profile sample or a streak
// pixel; the full-precision kit draws what those truncations give on average,
// so that the two flares agree in level, not only in shape. A level v truncated
// loses half a level over a gradient, but anything below one level is lost
// whole, every time: a faint layer laid a hundred times (the streaks that all
// start at the flare's centre) still adds nothing. So: 0 below one level, and
// v - 1/2 from one level on (a step of half a level, where the exact kit steps
// by one); full scale, reached only by clamping, loses nothing.
inline float TruncatedMean(float v) {
  if (v >= 255.0f) return v;
  return v < 1.0f ? 0.0f : v - 0.5f;
}

// A profile's integer combine screens with the truncated complement 255 - v,
// which raises the layer v by half a level on average; 0 stays 0 (2v - v^2 / 2
// below one level, meeting v + 1/2 at 1 with the same slope), and full scale
// stays full.
inline float RaisedMean(float v) {
  if (v <= 0.0f) return 0.0f;
  if (v < 1.0f) return 2.0f * v - 0.5f * v * v;
  return v + 0.5f < 255.0f ? v + 0.5f : 255.0f;
}
