#include "render/draw_streak.h"

#include <cmath>

#include "render/screen_blend.h"
#include "render/fixed_point.h"
#include "render/truncate.h"

// Integer geometry of a streak: the stepping counter, the reference point and
// the differences and distances handed to FastHypot are 16-bit values (kept as a
// 16-bit store keeps them). The minor-axis pixel indices are computed in 32 bits,
// so a band lying beyond the 16-bit range is simply outside the frame. Every
// float-to-integer step saturates instead of overflowing (truncate.h), so no
// record, however broken, reaches undefined behaviour; only pixels inside the
// frame are ever written.

namespace {

struct StepWeights {
  float red, green, blue;
};

inline uint8_t ScreenLayer(int32_t layer, uint8_t stored) {
  return static_cast<uint8_t>(
      ScreenComplements(255u - static_cast<uint32_t>(layer), 255u - static_cast<uint32_t>(stored)));
}

// Where the exact kit's streak writes: 8-bit pixels.
struct StreakCanvas {
  uint8_t* pixels;
  ptrdiff_t rowBytes;
  ptrdiff_t pixelBytes;
  int32_t width;
  int32_t height;

  // Screens one pixel with coverage k; the caller has checked the bounds.
  void Put(int32_t column, int32_t row, float coverage, const StepWeights& w) const {
    uint8_t* p = pixels + row * rowBytes + column * pixelBytes;
    const float scaled = coverage * 255.0f;
    p[0] = ScreenLayer(TruncToInt32(scaled * w.red), p[0]);
    p[1] = ScreenLayer(TruncToInt32(scaled * w.green), p[1]);
    p[2] = ScreenLayer(TruncToInt32(scaled * w.blue), p[2]);
  }
};

// Where the full-precision kit's streak writes: the layer is coverage x weight
// x 255, as the exact kit truncates it on average (full_context.h), kept whole.
struct FullStreakCanvas {
  float* rgb;
  int32_t width;
  int32_t height;

  void Put(int32_t column, int32_t row, float coverage, const StepWeights& w) const {
    float* p = rgb + 3 * (static_cast<ptrdiff_t>(row) * width + column);
    const float scaled = coverage * 255.0f;
    p[0] = ScreenShare(TruncatedMean(scaled * w.red) / 255.0f, p[0]);
    p[1] = ScreenShare(TruncatedMean(scaled * w.green) / 255.0f, p[1]);
    p[2] = ScreenShare(TruncatedMean(scaled * w.blue) / 255.0f, p[2]);
  }
};

// A minor-axis pixel index: trunc(v), held within +-2^30 so that the +1 and +2
// of a cross-section never overflow (anything that far out is off the frame).
inline int32_t MinorIndex(float v) {
  const int32_t index = TruncToInt32(v);
  constexpr int32_t kFarOut = 1 << 30;
  return index > kFarOut ? kFarOut : (index < -kFarOut ? -kFarOut : index);
}

// One cross-section pixel at minor index `minor`: (column, row) order depends on
// the axis. `minorFloor` is the smallest minor index this pixel may have.
template <class Canvas>
inline void PutCrossPixel(const Canvas& canvas, bool alongX, int32_t major, int32_t minor,
                          int32_t minorFloor, float coverage, const StepWeights& w) {
  const int32_t minorLimit = alongX ? canvas.height : canvas.width;
  if (minor < minorFloor || minor >= minorLimit) return;
  if (alongX) {
    canvas.Put(major, minor, coverage, w);
  } else {
    canvas.Put(minor, major, coverage, w);
  }
}

// The band [u - half, u + half] across the minor axis, each pixel taking the
// fraction of it the band covers. Along x every row must be at least 1; along y
// the first pixel needs a column of at least 1, the following ones of at least 0.
template <class Canvas>
void DrawCrossSection(const Canvas& canvas, bool alongX, int32_t major, float u, float half,
                      const StepWeights& w) {
  const float lo = u - half;
  const float hi = u + half;
  const int32_t m = MinorIndex(u);
  const int32_t loIndex = MinorIndex(lo);
  const int32_t hiIndex = MinorIndex(hi);
  const float hiFraction = hi - static_cast<float>(hiIndex);
  const int32_t firstFloor = 1;
  const int32_t nextFloor = alongX ? 1 : 0;
  if (loIndex != m) {
    const int32_t p = MinorIndex(u - 1.0f);
    PutCrossPixel(canvas, alongX, major, p, firstFloor, static_cast<float>(m) - lo, w);
    if (hiIndex != m) {
      PutCrossPixel(canvas, alongX, major, p + 1, nextFloor, 1.0f, w);
      PutCrossPixel(canvas, alongX, major, p + 2, nextFloor, hiFraction, w);
    } else {
      PutCrossPixel(canvas, alongX, major, p + 1, nextFloor, hiFraction, w);
    }
  } else {
    PutCrossPixel(canvas, alongX, major, m, firstFloor, static_cast<float>(m + 1) - lo, w);
    PutCrossPixel(canvas, alongX, major, m + 1, nextFloor, hiFraction, w);
  }
}

inline int16_t Difference16(int32_t a, int32_t b) {
  return static_cast<int16_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

// The streak's geometry, shared by both kits; `canvas` is where it writes.
template <class Canvas>
void DrawStreakOn(const StreakRecord& streak, FlareContext& context, const Canvas& canvas) {
  const HypotTable& table = context.hypotTable;
  const float aspect = PixelAspect(context);
  const float x0 = streak.startX / aspect;
  const float x1 = streak.endX / aspect;
  const float y0 = streak.startY;
  const float y1 = streak.endY;
  const float half = 0.5f * streak.thickness;
  float dx = x1 - x0;
  float dy = y1 - y0;

  const int16_t length =
      static_cast<int16_t>(FastHypot(table, TruncToInt16(std::fabs(dy)), TruncToInt16(std::fabs(dx))));
  float fadeLength = length != 0 ? static_cast<float>(length) : 0.1f;

  // The reference point comes from the endpoints as passed, before ordering.
  int16_t refX, refY;
  if (context.streakMode == 2) {
    refX = TruncToInt16((x1 + x0) * 0.5f);
    refY = TruncToInt16((y1 + y0) * 0.5f);
    fadeLength = fadeLength * 0.5f;
  } else {
    refX = TruncToInt16(x0);
    refY = TruncToInt16(y0);
  }

  // Order the endpoints so that the stepping coordinate never decreases.
  float sx = x0, sy = y0, ex = x1, ey = y1;
  const float spanX = std::fabs(dx);
  const float spanY = std::fabs(dy);
  if ((spanX > spanY && x0 > x1) || (spanY > spanX && y0 > y1) ||
      (spanX == spanY && x0 > x1 && y0 > y1)) {
    sx = x1, sy = y1, ex = x0, ey = y0;
    dx = ex - sx;
    dy = ey - sy;
  }
  const float slopeX = dx != 0.0f ? dy / dx : 0.0f;
  const float slopeY = dy != 0.0f ? dx / dy : 0.0f;

  const bool alongX = dx > dy;
  const float start = alongX ? sx : sy;
  const float end = alongX ? ex : ey;
  const float slope = alongX ? slopeX : slopeY;
  float u = alongX ? sy : sx;
  // The stepping counter is 16-bit: it starts at trunc(start + 1) kept in 16 bits
  // and would wrap after 32767. The loop stops at 32767, and earlier at the
  // frame's last column (row): no later step could write a pixel, so the output
  // is that of the unbounded loop and every range terminates.
  const int32_t majorLimit = alongX ? canvas.width : canvas.height;
  const int32_t lastMajor = majorLimit - 1 < 32767 ? majorLimit - 1 : 32767;
  for (int32_t i = TruncToInt16(start + 1.0f); i <= lastMajor && static_cast<float>(i) <= end; ++i) {
    u = u + slope;
    if (i < 1) continue;  // row 0 (column 0 along x) is never written
    const int32_t minor = MinorIndex(u);
    const int32_t column = alongX ? i : minor;
    const int32_t row = alongX ? minor : i;
    const int16_t dist = static_cast<int16_t>(
        FastHypot(table, Difference16(refY, row), Difference16(refX, column)));
    const float f = (fadeLength - static_cast<float>(dist)) / fadeLength;
    const StepWeights w{MaxZero(f * streak.red), MaxZero(f * streak.green), MaxZero(f * streak.blue)};
    DrawCrossSection(canvas, alongX, i, u, half, w);
  }
}

}  // namespace

void DrawStreak(const StreakRecord& streak, const FlareFrame& frame, FlareContext& context) {
  DrawStreakOn(streak, context, StreakCanvas{frame.pixels, frame.rowBytes, frame.pixelBytes, frame.width, frame.height});
}

void DrawStreak(const StreakRecord& streak, const FlareFrame& frame, FullFlareContext& context) {
  const FullCanvas& canvas = context.canvas;
  (void)frame;  // the canvas has the frame's size
  DrawStreakOn(streak, context.shared(), FullStreakCanvas{canvas.rgb, canvas.width, canvas.height});
}
