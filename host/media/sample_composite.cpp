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
  for (int32_t y = 0; y < s.height(); ++y) {
    const auto [first, end] = flare.spans[y];
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

// One chroma sample's block of luma pixels, columns bx0..bx1 and rows y0..y1:
// each reached pixel's luma takes its change, the chroma sample the mean.
template <class T>
void CompositeBlock(VideoSamples& s, const FlareAmounts& flare, CompositeMode mode, int32_t cx, int32_t cy,
                    int32_t bx0, int32_t bx1, int32_t y0, int32_t y1) {
  const SampleColour& k = s.colour();
  const float max = static_cast<float>(s.layout().maxValue());
  const float kr = static_cast<float>(k.kr), kb = static_cast<float>(k.kb), kg = 1.0f - kr - kb;
  const float lumaOffset = static_cast<float>(k.lumaOffset), lumaSpan = static_cast<float>(k.lumaSpan);
  const float chromaOffset = static_cast<float>(k.chromaOffset), chromaSpan = static_cast<float>(k.chromaSpan);
  T& cb = s.row<T>(1, cy)[cx];
  T& cr = s.row<T>(2, cy)[cx];
  const float pb = (static_cast<float>(cb) - chromaOffset) / chromaSpan;
  const float pr = (static_cast<float>(cr) - chromaOffset) / chromaSpan;
  float sumPb = 0, sumPr = 0;
  for (int32_t y = y0; y < y1; ++y) {
    T* luma = s.row<T>(0, y);
    for (int32_t x = std::max(bx0, flare.spans[y].first); x < std::min(bx1, flare.spans[y].second); ++x) {
      const float* a = flare.at(x, y);
      if (!Reaches(a)) continue;
      const float yv = (static_cast<float>(luma[x]) - lumaOffset) / lumaSpan;
      float rgb[3], d[3];
      rgb[0] = yv + 2.0f * (1.0f - kr) * pr;
      rgb[2] = yv + 2.0f * (1.0f - kb) * pb;
      rgb[1] = (yv - kr * rgb[0] - kb * rgb[2]) / kg;
      Change(mode, rgb, a, d);
      const float dy = kr * d[0] + kg * d[1] + kb * d[2];
      sumPb += (d[2] - dy) / (2.0f * (1.0f - kb));
      sumPr += (d[0] - dy) / (2.0f * (1.0f - kr));
      Nudge(luma[x], dy * lumaSpan, max);
    }
  }
  if (sumPb == 0.0f && sumPr == 0.0f) return;
  const float pixels = static_cast<float>((bx1 - bx0) * (y1 - y0));
  Nudge(cb, sumPb / pixels * chromaSpan, max);
  Nudge(cr, sumPr / pixels * chromaSpan, max);
}

template <class T>
void CompositeYuv(VideoSamples& s, const FlareAmounts& flare, CompositeMode mode) {
  const int32_t sx = s.layout().chromaShiftX, sy = s.layout().chromaShiftY;
  for (int32_t cy = 0; cy < s.planeHeight(1); ++cy) {
    const int32_t y0 = cy << sy, y1 = std::min(y0 + (1 << sy), s.height());
    int32_t first = s.width(), end = 0;
    for (int32_t y = y0; y < y1; ++y) {
      if (flare.spans[y].first >= flare.spans[y].second) continue;
      first = std::min(first, flare.spans[y].first);
      end = std::max(end, flare.spans[y].second);
    }
    for (int32_t cx = first >> sx; end > first && cx <= (end - 1) >> sx; ++cx) {
      const int32_t bx0 = cx << sx, bx1 = std::min(bx0 + (1 << sx), s.width());
      CompositeBlock<T>(s, flare, mode, cx, cy, bx0, bx1, y0, y1);
    }
  }
}

}  // namespace

FlareAmounts AmountsOf(const FlareLayer& layer, int32_t weight, const PlateLook& look) {
  FlareAmounts flare;
  flare.width = layer.width();
  flare.height = layer.height();
  flare.spans.assign(static_cast<size_t>(flare.height), {0, 0});
  flare.starts.assign(static_cast<size_t>(flare.height), 0);
  const float share = FlareShare(weight);
  std::vector<uint8_t> black;
  for (int32_t y = 0; y < flare.height; ++y) {
    int32_t first = 0, end = flare.width;
    while (first < end && !layer.lit(first, y)) ++first;
    while (end > first && !layer.lit(end - 1, y)) --end;
    if (first == end || share == 0.0f) continue;
    flare.spans[y] = {first, end};
    flare.starts[y] = flare.rgb.size() / 3;
    flare.rgb.resize(flare.rgb.size() + 3 * static_cast<size_t>(end - first));
    float* amounts = flare.rgb.data() + 3 * flare.starts[y];
    black.resize(static_cast<size_t>(end - first));
    LayerAmounts(layer, look, y, first, end - first, share, amounts, black.data());
    // A conversion may lift black a little; where the layer is black there is no flare.
    for (int32_t i = 0; i < end - first; ++i) {
      if (black[i]) std::fill_n(amounts + 3 * i, 3, 0.0f);
    }
  }
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

}  // namespace lfhost
