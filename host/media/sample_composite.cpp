#include "host/media/sample_composite.h"

#include <algorithm>
#include <cmath>

#include "host/core/host_error.h"

namespace lfhost {
namespace {

// What the flare changes of a pixel of colour (r, g, b): screen p + (1 - p) a
// or add p + a, less p.
inline void Change(CompositeMode mode, const float* rgb, const float* a, float* d) {
  for (int c = 0; c < 3; ++c) d[c] = mode == CompositeMode::Screen ? (1.0f - rgb[c]) * a[c] : a[c];
}

template <class T>
inline void Nudge(T& sample, float by, float max) {
  sample = static_cast<T>(std::clamp(std::nearbyint(static_cast<float>(sample) + by), 0.0f, max));
}

inline bool Reaches(const float* a) { return a[0] != 0.0f || a[1] != 0.0f || a[2] != 0.0f; }

// R', G', B' samples in planes G, B, R: each sample takes its own change.
template <class T>
void CompositeRgb(VideoSamples& s, const FlareAmounts& flare, CompositeMode mode) {
  const float max = static_cast<float>(s.layout().maxValue());
  constexpr int32_t kPlaneOf[3] = {2, 0, 1};   // R, G, B among G, B, R
  for (int32_t y = flare.firstRow; y < flare.firstRow + flare.rows(); ++y) {
    const auto [first, end] = flare.span(y);
    T* planes[3] = {s.row<T>(kPlaneOf[0], y), s.row<T>(kPlaneOf[1], y), s.row<T>(kPlaneOf[2], y)};
    for (int32_t x = first; x < end; ++x) {
      const float* a = flare.at(x, y);
      if (!Reaches(a)) continue;
      float rgb[3], d[3];
      for (int c = 0; c < 3; ++c) rgb[c] = static_cast<float>(planes[c][x]) / max;
      Change(mode, rgb, a, d);
      for (int c = 0; c < 3; ++c) Nudge(planes[c][x], d[c] * max, max);
    }
  }
}

// The frame's conversion between stored values and R', G', B', its divisions
// made multiplications once a frame (most of a composite's time went to them).
struct YuvMath {
  float max, kr, kb, kg, toGreen;
  float lumaOffset, lumaSpan, toLuma;
  float chromaOffset, chromaSpan, toChroma;
  float blueWeight, redWeight;   // 2 (1 - kb), 2 (1 - kr)
  float toPb, toPr;              // their inverses

  explicit YuvMath(const VideoSamples& s) {
    const SampleColour& k = s.colour();
    max = static_cast<float>(s.layout().maxValue());
    kr = static_cast<float>(k.kr), kb = static_cast<float>(k.kb), kg = 1.0f - kr - kb;
    toGreen = 1.0f / kg;
    lumaOffset = static_cast<float>(k.lumaOffset), lumaSpan = static_cast<float>(k.lumaSpan), toLuma = 1.0f / lumaSpan;
    chromaOffset = static_cast<float>(k.chromaOffset), chromaSpan = static_cast<float>(k.chromaSpan);
    toChroma = 1.0f / chromaSpan;
    blueWeight = 2.0f * (1.0f - kb), redWeight = 2.0f * (1.0f - kr);
    toPb = 1.0f / blueWeight, toPr = 1.0f / redWeight;
  }
};

// One chroma sample's block of luma pixels, columns bx0..bx1 and rows y0..y1:
// each reached pixel's luma takes its change, the chroma sample the mean.
template <class T>
void CompositeBlock(VideoSamples& s, const YuvMath& m, const FlareAmounts& flare, CompositeMode mode, int32_t cx,
                    int32_t cy, int32_t bx0, int32_t bx1, int32_t y0, int32_t y1) {
  T& cb = s.row<T>(1, cy)[cx];
  T& cr = s.row<T>(2, cy)[cx];
  const float pb = (static_cast<float>(cb) - m.chromaOffset) * m.toChroma;
  const float pr = (static_cast<float>(cr) - m.chromaOffset) * m.toChroma;
  float sumPb = 0, sumPr = 0;
  for (int32_t y = y0; y < y1; ++y) {
    T* luma = s.row<T>(0, y);
    for (int32_t x = std::max(bx0, flare.span(y).first); x < std::min(bx1, flare.span(y).second); ++x) {
      const float* a = flare.at(x, y);
      if (!Reaches(a)) continue;
      const float yv = (static_cast<float>(luma[x]) - m.lumaOffset) * m.toLuma;
      float rgb[3], d[3];
      rgb[0] = yv + m.redWeight * pr;
      rgb[2] = yv + m.blueWeight * pb;
      rgb[1] = (yv - m.kr * rgb[0] - m.kb * rgb[2]) * m.toGreen;
      Change(mode, rgb, a, d);
      const float dy = m.kr * d[0] + m.kg * d[1] + m.kb * d[2];
      sumPb += (d[2] - dy) * m.toPb;
      sumPr += (d[0] - dy) * m.toPr;
      Nudge(luma[x], dy * m.lumaSpan, m.max);
    }
  }
  if (sumPb == 0.0f && sumPr == 0.0f) return;
  const float pixels = static_cast<float>((bx1 - bx0) * (y1 - y0));
  Nudge(cb, sumPb / pixels * m.chromaSpan, m.max);
  Nudge(cr, sumPr / pixels * m.chromaSpan, m.max);
}

template <class T>
void CompositeYuv(VideoSamples& s, const FlareAmounts& flare, CompositeMode mode) {
  const int32_t sx = s.layout().chromaShiftX, sy = s.layout().chromaShiftY;
  const int32_t rowsEnd = flare.firstRow + flare.rows();
  const YuvMath math(s);
  for (int32_t cy = flare.firstRow >> sy; cy < s.planeHeight(1) && (cy << sy) < rowsEnd; ++cy) {
    const int32_t y0 = cy << sy, y1 = std::min(y0 + (1 << sy), rowsEnd);
    int32_t first = s.width(), end = 0;
    for (int32_t y = y0; y < y1; ++y) {
      if (flare.span(y).first >= flare.span(y).second) continue;
      first = std::min(first, flare.span(y).first);
      end = std::max(end, flare.span(y).second);
    }
    for (int32_t cx = first >> sx; end > first && cx <= (end - 1) >> sx; ++cx) {
      const int32_t bx0 = cx << sx, bx1 = std::min(bx0 + (1 << sx), s.width());
      CompositeBlock<T>(s, math, flare, mode, cx, cy, bx0, bx1, y0, y1);
    }
  }
}

}  // namespace

void AmountsOf(const FlareLayer& layer, int32_t weight, const PlateLook& look, int32_t firstRow, int32_t endRow,
               FlareAmounts& flare) {
  flare.width = layer.width();
  flare.height = layer.height();
  flare.firstRow = firstRow;
  flare.spans.assign(static_cast<size_t>(endRow - firstRow), {0, 0});
  flare.starts.assign(static_cast<size_t>(endRow - firstRow), 0);
  flare.rgb.clear();
  // Video samples are display values: no exposure reaches them.
  const float scale = LayerScale(weight, 0.0);
  const bool full = layer.precision == FlarePrecision::Full;
  for (int32_t y = firstRow; y < endRow; ++y) {
    const uint8_t* bytes = full ? nullptr : layer.exact.row(y);
    const float* floats = full ? layer.full.row(y) : nullptr;
    auto lit = [&](int32_t x) { return layer.lit(x, y); };
    int32_t first = 0, end = flare.width;
    while (first < end && !lit(first)) ++first;
    while (end > first && !lit(end - 1)) --end;
    if (first == end || scale == 0.0f) continue;
    const size_t row = static_cast<size_t>(y - firstRow);
    flare.spans[row] = {first, end};
    flare.starts[row] = flare.rgb.size() / 3;
    flare.rgb.resize(flare.rgb.size() + 3 * static_cast<size_t>(end - first));
    float* amounts = flare.rgb.data() + 3 * flare.starts[row];
    if (full) {
      look.Amounts(floats + 3 * first, end - first, scale, amounts);
    } else {
      look.Amounts(bytes + 4 * first, end - first, scale, amounts);
    }
    // A conversion may lift black a little; where the layer is black there is no flare.
    for (int32_t x = first; x < end; ++x) {
      if (!lit(x)) std::fill_n(amounts + 3 * (x - first), 3, 0.0f);
    }
  }
}

FlareAmounts AmountsOf(const FlareLayer& layer, int32_t weight, const PlateLook& look) {
  FlareAmounts flare;
  AmountsOf(layer, weight, look, 0, layer.height(), flare);
  return flare;
}

void CompositeFlare(VideoSamples& samples, const FlareAmounts& flare, CompositeMode mode) {
  if (flare.width != samples.width() || flare.height != samples.height()) {
    throw HostError("a flare of " + std::to_string(flare.width) + "x" + std::to_string(flare.height) + " for a frame of " +
                    std::to_string(samples.width()) + "x" + std::to_string(samples.height()));
  }
  const bool wide = samples.layout().sampleBytes() == 2;
  if (samples.layout().rgb) return wide ? CompositeRgb<uint16_t>(samples, flare, mode) : CompositeRgb<uint8_t>(samples, flare, mode);
  wide ? CompositeYuv<uint16_t>(samples, flare, mode) : CompositeYuv<uint8_t>(samples, flare, mode);
}

void CompositeFlare(VideoSamples& samples, const FlareLayer& layer, int32_t weight, const PlateLook& look) {
  // Whole chroma rows a band; 16 luma rows of 1080p floats are under 400 KB.
  const int32_t band = 16 << samples.layout().chromaShiftY;
  thread_local FlareAmounts amounts;
  for (int32_t y = 0; y < layer.height(); y += band) {
    AmountsOf(layer, weight, look, y, std::min(y + band, layer.height()), amounts);
    CompositeFlare(samples, amounts, look.mode());
  }
}

}  // namespace lfhost
