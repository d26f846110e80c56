// The notation the three lens programs are written in: sizes as fractions of
// the square-pixel width W, colours as multiples of the brightness b, points on
// the flare axis, the random streak spray, and the stamp-then-report step that
// ends every element group. Each helper fixes one evaluation order (float versus
// double, what is truncated when), so a program row can be held against its
// recipe line by line. The programs are templates over the render state they
// draw with: FlareContext for the exact 8-bit kit, FullFlareContext for the
// full-precision one; every builder, stamp and streak call resolves to the kit's
// overload, and everything else a program computes is the same code.
#pragma once

#include <cmath>
#include <cstdint>

#include "render/draw_streak.h"
#include "render/fixed_point.h"
#include "render/flare_context.h"
#include "render/full_context.h"
#include "render/profiles.h"
#include "render/stamp_profile.h"
#include "render/stamp_rays.h"

namespace lens {

// combine argument of the profile builders.
inline constexpr uint8_t kSet = 0;
inline constexpr uint8_t kCombine = 1;

// ---- Sizes --------------------------------------------------------------------

// W·k/m: 32-bit integer product and truncating division, then a float.
// (W/m is IntSize(W, 1, m).) W is at most 32767 and k at most 1000, so W·k fits.
inline float IntSize(int32_t w, int32_t k, int32_t m) { return static_cast<float>(w * k / m); }

// The same integer, as a ring or band width in profile samples.
inline int16_t IntWidth(int32_t w, int32_t k, int32_t m) { return static_cast<int16_t>(w * k / m); }

// A size with decimal fractions: the caller writes the product left to right in
// double (W and b widened first); it is rounded to single once, here.
inline float DoubleSize(double size) { return static_cast<float>(size); }

// A band width in samples: a size scaled by a single-precision factor, truncated.
inline int16_t TruncWidth(float samples) { return static_cast<int16_t>(static_cast<int32_t>(samples)); }
inline int16_t TruncWidth(double samples) { return static_cast<int16_t>(static_cast<int32_t>(samples)); }

// ---- Colours (single precision, truncated toward zero, passed as 16 bits) ------

inline int16_t Trunc16(float v) { return static_cast<int16_t>(static_cast<int32_t>(v)); }

// kb = trunc(b × k). 2b, written trunc(b + b), is the same value: doubling is exact.
// trunc(b) is Kb(b, 1).
inline int16_t Kb(float b, float k) { return Trunc16(b * k); }
// kb² = trunc((b × b) × k)
inline int16_t Kb2(float b, float k) { return Trunc16((b * b) * k); }
// kb³ = trunc(((b × b) × b) × k)
inline int16_t Kb3(float b, float k) { return Trunc16(((b * b) * b) * k); }
// kb+c = trunc(b × k + c)
inline int16_t KbPlus(float b, float k, float c) { return Trunc16(b * k + c); }

// ---- Geometry ---------------------------------------------------------------

struct Point {
  float x;
  float y;
};

// What every program reads on entry: W = squareWidth, H = height, b, the flare
// centre F, the frame centre C (integer halving first: an odd size loses its
// half pixel) and d = C − F, all in square-pixel space.
struct LensGeometry {
  int32_t W;
  int32_t H;
  float b;
  double Wd;  // W and b widened, for the double-precision sizes
  double bd;
  Point F;
  Point C;
  Point d;

  explicit LensGeometry(const FlareFrame& frame)
      : W(frame.squareWidth),
        H(frame.height),
        b(frame.brightness),
        Wd(static_cast<double>(W)),
        bd(static_cast<double>(b)),
        F{static_cast<float>(W) * frame.centerX, static_cast<float>(H) * frame.centerY},
        C{static_cast<float>(W >> 1), static_cast<float>(H >> 1)},
        d{C.x - F.x, C.y - F.y} {}

  // Percent form: C + (d × t) / 100 in single precision.
  Point P(int32_t t) const { return AxisFraction(t, 100); }
  // C + (d × num) / den; the percent form is den = 100.
  Point AxisFraction(int32_t num, int32_t den) const {
    const float n = static_cast<float>(num), m = static_cast<float>(den);
    return {C.x + (d.x * n) / m, C.y + (d.y * n) / m};
  }
  // C + d itself, unscaled: the far mirror of F in C.
  Point CPlusD() const { return {C.x + d.x, C.y + d.y}; }
  // Factor form: C + d × k in double, each coordinate rounded to single.
  Point Pk(double k) const {
    return {static_cast<float>(static_cast<double>(C.x) + static_cast<double>(d.x) * k),
            static_cast<float>(static_cast<double>(C.y) + static_cast<double>(d.y) * k)};
  }
};

// ---- Host calls -------------------------------------------------------------

// Polls the host for a cancel; on one the render is marked aborted (status 1)
// and the caller must return.
template <class Context>
inline bool AbortRequested(Context& context) {
  if (static_cast<int16_t>(CheckAbort(context)) == 0) return false;
  StoreStatus(context, kStatusAborted);
  return true;
}

// ---- Streaks ----------------------------------------------------------------

inline constexpr float kFixOne = 65536.0f;

// A streak's end as whole-pixel offsets from its start.
struct EndOffset {
  int32_t x;
  int32_t y;
};

// Longest spray streak, in whole pixels. The length travels as Fix16 in 32 bits,
// so only frames with a square width above about 23,000 pixels at full brightness
// could reach 32768; there it is held at the largest length that still fits, which
// keeps the direction and leaves the streak running out of the frame.
inline constexpr int32_t kMaxSprayLength = 32767;

// Spray length ℓ = trunc(n × ((L + L) × b) + L) with n = HashNoise(i + 54),
// single precision in exactly that order; negative ℓ points the streak backwards.
inline int32_t SprayLength(uint32_t i, float L, float b) {
  const float n = HashNoise(i + 54);
  int32_t length = static_cast<int32_t>(n * ((L + L) * b) + L);
  if (length > kMaxSprayLength) length = kMaxSprayLength;
  if (length < -kMaxSprayLength) length = -kMaxSprayLength;
  return length;
}

// Spray weight |float((double(HashNoise(i) / q) + 0.01) × double(b))|.
inline float SprayWeight(uint32_t i, float q, float b) {
  const float noise = HashNoise(i) / q;
  return std::fabs(static_cast<float>((static_cast<double>(noise) + 0.01) * static_cast<double>(b)));
}

// End offset of a Fix16 length at a Fix16 angle: x = (−FracMul30(len, sin θ)) >> 16
// (negated before the shift), y = FracMul30(len, cos θ) >> 16; the arithmetic shift
// floors to whole pixels.
inline EndOffset StreakEnd(Fix16 length, Fix16 angle) {
  return {(-FracMul30(length, FracSin30(angle))) >> 16, FracMul30(length, FracCos30(angle)) >> 16};
}

// Screens one streak of thickness 1.8 from start to end (square-pixel space).
template <class Context>
inline void Streak(Point start, Point end, float red, float green, float blue, const FlareFrame& frame,
                   Context& context) {
  const StreakRecord record{start.x, start.y, end.x, end.y, red, kStreakThickness, green, blue};
  DrawStreak(record, frame, context);
}

// ---- Element phase ----------------------------------------------------------

// The stamp that ends an element group, the status check after it, and the
// progress report that follows. Each returns false when the stamp left a
// non-zero status: the program then returns at once, keeping that status and
// reporting nothing more.
//
// Radii are passed as the recipe gives them, however large (the ray glow reaches
// 1.95 × W at full brightness): the stampers clip every box to the frame and
// leave alone any pixel whose offset or distance falls outside what the profile
// holds, so clamping here would only cut elements that still draw correctly.
template <class Context>
class ElementStamps {
 public:
  ElementStamps(FlareFrame& frame, Context& context, int32_t total)
      : frame_(frame), context_(context), total_(total) {}

  bool Stamp(Point at, float radius) {
    StampProfile(at.x, at.y, radius, frame_, context_);
    return LoadStatus(context_) == kStatusOk;
  }
  bool StampThenReport(Point at, float radius, int32_t step) {
    if (!Stamp(at, radius)) return false;
    ReportProgress(context_, step, total_);
    return true;
  }
  bool RaysThenReport(Point at, float radius, int32_t step) {
    StampRays(at.x, at.y, radius, frame_, context_);
    if (LoadStatus(context_) != kStatusOk) return false;
    ReportProgress(context_, step, total_);
    return true;
  }

 private:
  FlareFrame& frame_;
  Context& context_;
  int32_t total_;
};

}  // namespace lens
