#include "host/media/sample_composite.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include <immintrin.h>

#include "host/core/host_error.h"
#include "render/rgb_lanes_avx2.h"

namespace lfhost {
namespace {

// What the flare changes of a pixel of colour (r, g, b): screen p + (1 - p) a
// or add p + a, less p.
inline void Change(CompositeMode mode, const float* rgb, const float* a, float* d) {
  for (int c = 0; c < 3; ++c) d[c] = mode == CompositeMode::Screen ? (1.0f - rgb[c]) * a[c] : a[c];
}

// A sample moved by `by`: clamp(nearbyint(sample + by), 0, max). The value is
// held to 0..max first (the same result), where adding and taking away 2^23
// rounds it to the nearest whole number, ties to even, as nearbyint does in
// the program's rounding mode, without a library call for every sample.
template <class T>
inline void Nudge(T& sample, float by, float max) {
  const float held = std::clamp(static_cast<float>(sample) + by, 0.0f, max);
  sample = static_cast<T>((held + 0x1.0p23f) - 0x1.0p23f);
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

// Where a run of pixels' amounts (a row of a span, from pixel 0 on) come from.
// FloatRun: made beforehand (FlareAmounts), three floats a pixel.
struct FloatRun {
  const float* a;
  FloatRun From(int32_t i) const { return {a + 3 * static_cast<ptrdiff_t>(i)}; }
  void Get(int32_t i, float* rgb) const { std::copy_n(a + 3 * static_cast<ptrdiff_t>(i), 3, rgb); }
};

// ByteRun: the exact layer's A, R, G, B bytes, read as the composite goes:
// each its share of full scale times `scale`, which is what PlateLook::Amounts
// makes of them for samples it does not convert, without the floats between.
struct ByteRun {
  const uint8_t* p;
  float scale;
  ByteRun From(int32_t i) const { return {p + 4 * static_cast<ptrdiff_t>(i), scale}; }
  void Get(int32_t i, float* rgb) const {
    for (int c = 0; c < 3; ++c) rgb[c] = ByteShare(p[4 * static_cast<ptrdiff_t>(i) + 1 + c]) * scale;
  }
};

// FullRun: a full-precision layer's R, G, B floats times `scale`, which is
// what PlateLook::Amounts makes of them for samples it does not convert.
struct FullRun {
  const float* a;
  float scale;
  FullRun From(int32_t i) const { return {a + 3 * static_cast<ptrdiff_t>(i), scale}; }
  void Get(int32_t i, float* rgb) const {
    for (int c = 0; c < 3; ++c) rgb[c] = a[3 * static_cast<ptrdiff_t>(i) + c] * scale;
  }
};

// Eight pixels' amounts of a run, as `Get` gives them one at a time: their 24
// floats are the run's next ones.
__attribute__((target("avx2"))) inline void GetEight(const FloatRun& run, int32_t i, __m256& r, __m256& g, __m256& b) {
  const Channels8 v = LoadChannels(run.a + 3 * static_cast<ptrdiff_t>(i));
  r = v.red, g = v.green, b = v.blue;
}

__attribute__((target("avx2"))) inline void GetEight(const FullRun& run, int32_t i, __m256& r, __m256& g, __m256& b) {
  GetEight(FloatRun{run.a}, i, r, g, b);
  const __m256 scale = _mm256_set1_ps(run.scale);
  r = _mm256_mul_ps(r, scale);
  g = _mm256_mul_ps(g, scale);
  b = _mm256_mul_ps(b, scale);
}

__attribute__((target("avx2"))) inline __m256 ShareTimes(__m256i bytes, __m256 scale) {
  return _mm256_mul_ps(_mm256_div_ps(_mm256_cvtepi32_ps(bytes), _mm256_set1_ps(255.0f)), scale);
}

__attribute__((target("avx2"))) inline void GetEight(const ByteRun& run, int32_t i, __m256& r, __m256& g, __m256& b) {
  // A pixel's four bytes as one little-endian word: A | R << 8 | G << 16 | B << 24.
  const __m256i argb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(run.p + 4 * static_cast<ptrdiff_t>(i)));
  const __m256i low = _mm256_set1_epi32(0xFF);
  const __m256 scale = _mm256_set1_ps(run.scale);
  r = ShareTimes(_mm256_and_si256(_mm256_srli_epi32(argb, 8), low), scale);
  g = ShareTimes(_mm256_and_si256(_mm256_srli_epi32(argb, 16), low), scale);
  b = ShareTimes(_mm256_srli_epi32(argb, 24), scale);
}

// What the flare does to a run of `count` luma pixels of one row, all within
// its span: each reached pixel's luma takes its change (dy), and its share of
// the change of the chroma sample covering it goes to cPb and cPr; a pixel
// the flare does not reach keeps its luma and adds 0 (its shares are set to 0). pb and pr are each
// pixel's chroma as R' - Y' and B' - Y' weights (its chroma sample's).
template <class T, class Run>
void PixelChanges(T* luma, const float* pb, const float* pr, Run run, int32_t count, const YuvMath& m,
                  CompositeMode mode, float* cPb, float* cPr) {
  for (int32_t i = 0; i < count; ++i) {
    float a[3];
    run.Get(i, a);
    if (!Reaches(a)) {
      cPb[i] = cPr[i] = 0.0f;
      continue;
    }
    const float yv = (static_cast<float>(luma[i]) - m.lumaOffset) * m.toLuma;
    float rgb[3], d[3];
    rgb[0] = yv + m.redWeight * pr[i];
    rgb[2] = yv + m.blueWeight * pb[i];
    rgb[1] = (yv - m.kr * rgb[0] - m.kb * rgb[2]) * m.toGreen;
    Change(mode, rgb, a, d);
    const float dy = m.kr * d[0] + m.kg * d[1] + m.kb * d[2];
    cPb[i] = (d[2] - dy) * m.toPb;
    cPr[i] = (d[0] - dy) * m.toPr;
    Nudge(luma[i], dy * m.lumaSpan, m.max);
  }
}

// The same, eight pixels a step with AVX2, in the same operations in the same
// order (no fused multiply-add), so every result is the scalar loop's bit for
// bit; the last few pixels go through the scalar loop.
template <class T, class Run>
__attribute__((target("avx2"))) void PixelChangesAvx2(T* luma, const float* pb, const float* pr, Run run,
                                                      int32_t count, const YuvMath& m, CompositeMode mode, float* cPb,
                                                      float* cPr) {
  const __m256 zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1.0f), max = _mm256_set1_ps(m.max);
  const __m256 lumaOffset = _mm256_set1_ps(m.lumaOffset), toLuma = _mm256_set1_ps(m.toLuma);
  const __m256 redWeight = _mm256_set1_ps(m.redWeight), blueWeight = _mm256_set1_ps(m.blueWeight);
  const __m256 kr = _mm256_set1_ps(m.kr), kg = _mm256_set1_ps(m.kg), kb = _mm256_set1_ps(m.kb);
  const __m256 toGreen = _mm256_set1_ps(m.toGreen), toPb = _mm256_set1_ps(m.toPb), toPr = _mm256_set1_ps(m.toPr);
  const __m256 lumaSpan = _mm256_set1_ps(m.lumaSpan);
  const bool screen = mode == CompositeMode::Screen;
  int32_t i = 0;
  for (; i + 8 <= count; i += 8) {
    __m256 ar, ag, ab;
    GetEight(run, i, ar, ag, ab);
    // Reached: any amount other than 0 (NaN included, as `!=` has it).
    const __m256 reached = _mm256_or_ps(_mm256_or_ps(_mm256_cmp_ps(ar, zero, _CMP_NEQ_UQ), _mm256_cmp_ps(ag, zero, _CMP_NEQ_UQ)),
                                        _mm256_cmp_ps(ab, zero, _CMP_NEQ_UQ));
    if (_mm256_movemask_ps(reached) == 0) {
      _mm256_storeu_ps(cPb + i, zero);
      _mm256_storeu_ps(cPr + i, zero);
      continue;
    }
    __m256i stored;
    if constexpr (sizeof(T) == 1) {
      stored = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(luma + i)));
    } else {
      stored = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(luma + i)));
    }
    const __m256 value = _mm256_cvtepi32_ps(stored);
    const __m256 yv = _mm256_mul_ps(_mm256_sub_ps(value, lumaOffset), toLuma);
    const __m256 r = _mm256_add_ps(yv, _mm256_mul_ps(redWeight, _mm256_loadu_ps(pr + i)));
    const __m256 b = _mm256_add_ps(yv, _mm256_mul_ps(blueWeight, _mm256_loadu_ps(pb + i)));
    const __m256 g = _mm256_mul_ps(_mm256_sub_ps(_mm256_sub_ps(yv, _mm256_mul_ps(kr, r)), _mm256_mul_ps(kb, b)), toGreen);
    const __m256 dr = screen ? _mm256_mul_ps(_mm256_sub_ps(one, r), ar) : ar;
    const __m256 dg = screen ? _mm256_mul_ps(_mm256_sub_ps(one, g), ag) : ag;
    const __m256 db = screen ? _mm256_mul_ps(_mm256_sub_ps(one, b), ab) : ab;
    const __m256 dy = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(kr, dr), _mm256_mul_ps(kg, dg)), _mm256_mul_ps(kb, db));
    _mm256_storeu_ps(cPb + i, _mm256_blendv_ps(zero, _mm256_mul_ps(_mm256_sub_ps(db, dy), toPb), reached));
    _mm256_storeu_ps(cPr + i, _mm256_blendv_ps(zero, _mm256_mul_ps(_mm256_sub_ps(dr, dy), toPr), reached));
    // clamp(nearbyint(value + dy x span), 0, max), kept as it was where not reached.
    __m256 nudged = _mm256_round_ps(_mm256_add_ps(value, _mm256_mul_ps(dy, lumaSpan)), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    nudged = _mm256_blendv_ps(value, _mm256_min_ps(_mm256_max_ps(nudged, zero), max), reached);
    const __m256i whole = _mm256_cvttps_epi32(nudged);
    const __m128i words = _mm_packus_epi32(_mm256_castsi256_si128(whole), _mm256_extracti128_si256(whole, 1));
    if constexpr (sizeof(T) == 1) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(luma + i), _mm_packus_epi16(words, words));
    } else {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(luma + i), words);
    }
  }
  PixelChanges(luma + i, pb + i, pr + i, run.From(i), count - i, m, mode, cPb + i, cPr + i);
}

bool HasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

// FloatSource: amounts made beforehand. LayerSource: a band of the layer's
// rows, read as the composite goes (ByteRun for the exact layer, FullRun for
// the full-precision one), each row's span the pixels from its first lit one
// to its last (AmountsOf's spans).
struct FloatSource {
  const FlareAmounts& amounts;
  int32_t firstRow;
  int32_t rows() const { return amounts.rows(); }
  const std::pair<int32_t, int32_t>& span(int32_t y) const { return amounts.span(y); }
  FloatRun at(int32_t x, int32_t y) const { return {amounts.at(x, y)}; }
};

// Whether either of two exact layer pixels has any R, G or B (their eight
// bytes as one little-endian word, alpha in the low byte of each half).
inline bool LitPair(const uint8_t* pixels) {
  uint64_t word;
  std::memcpy(&word, pixels, sizeof word);
  return (word & 0xFFFFFF00FFFFFF00u) != 0;
}

// The span of row y's lit pixels (FlareLayer::lit), the first to the last;
// an exact layer's black row ends go two pixels a step, as a flare often
// lights only the middle of a row. Every composite onto samples takes these.
std::pair<int32_t, int32_t> LitSpan(const FlareLayer& layer, int32_t y) {
  int32_t first = 0, end = layer.width();
  if (layer.precision == FlarePrecision::Exact) {
    const uint8_t* row = layer.exact.row(y);
    while (first + 2 <= end && !LitPair(row + 4 * static_cast<ptrdiff_t>(first))) first += 2;
    while (end - 2 >= first && !LitPair(row + 4 * static_cast<ptrdiff_t>(end - 2))) end -= 2;
  }
  while (first < end && !layer.lit(first, y)) ++first;
  while (end > first && !layer.lit(end - 1, y)) --end;
  return {first, end};
}

inline ByteRun RunAt(const ImageBuffer& layer, int32_t x, int32_t y, float scale) {
  return {layer.row(y) + 4 * static_cast<ptrdiff_t>(x), scale};
}
inline FullRun RunAt(const FullFlare& layer, int32_t x, int32_t y, float scale) {
  return {layer.row(y) + 3 * static_cast<ptrdiff_t>(x), scale};
}

template <class Layer>
struct LayerSource {
  const Layer& layer;   // the flare's exact or full part
  float scale;
  int32_t firstRow;
  std::vector<std::pair<int32_t, int32_t>>& spans;

  LayerSource(const FlareLayer& flare, const Layer& layer, float scale, int32_t firstRow, int32_t endRow,
              std::vector<std::pair<int32_t, int32_t>>& spans)
      : layer(layer), scale(scale), firstRow(firstRow), spans(spans) {
    spans.assign(static_cast<size_t>(endRow - firstRow), {0, 0});
    for (int32_t y = firstRow; y < endRow && scale != 0.0f; ++y) spans[static_cast<size_t>(y - firstRow)] = LitSpan(flare, y);
  }
  int32_t rows() const { return static_cast<int32_t>(spans.size()); }
  const std::pair<int32_t, int32_t>& span(int32_t y) const { return spans[static_cast<size_t>(y - firstRow)]; }
  auto at(int32_t x, int32_t y) const { return RunAt(layer, x, y, scale); }
};

// A chroma row's samples, each moved by the mean of its block's shares
// (cPb, cPr: `rows` rows of `n`, from pixel x0 on), summed row by row in the
// block's order.
template <class T>
struct ChromaRow {
  T* cb;
  T* cr;
  const float* cPb;
  const float* cPr;
  int32_t n, rows, x0, sx, width;

  void Blocks(int32_t c0, int32_t c1, const YuvMath& m) const {
    for (int32_t cx = c0; cx < c1; ++cx) {
      const int32_t bx0 = cx << sx, bx1 = std::min(bx0 + (1 << sx), width);
      float sumPb = 0, sumPr = 0;
      for (int32_t r = 0; r < rows; ++r) {
        for (int32_t x = bx0; x < bx1; ++x) {
          sumPb += cPb[static_cast<ptrdiff_t>(r) * n + (x - x0)];
          sumPr += cPr[static_cast<ptrdiff_t>(r) * n + (x - x0)];
        }
      }
      if (sumPb == 0.0f && sumPr == 0.0f) continue;
      const float pixels = static_cast<float>((bx1 - bx0) * rows);
      Nudge(cb[cx], sumPb / pixels * m.chromaSpan, m.max);
      Nudge(cr[cx], sumPr / pixels * m.chromaSpan, m.max);
    }
  }

  // Blocks two pixels wide, eight a step with AVX2 in the same operations in
  // the same order (a sample moved by nothing stays as it is, so none is passed
  // over); returns the first block left to Blocks.
  __attribute__((target("avx2"))) int32_t PairsAvx2(int32_t c0, int32_t c1, const YuvMath& m) const {
    const __m256 pixels = _mm256_set1_ps(static_cast<float>(2 * rows)), span = _mm256_set1_ps(m.chromaSpan);
    const __m256 zero = _mm256_setzero_ps(), max = _mm256_set1_ps(m.max);
    int32_t cx = c0;
    for (; cx + 8 <= c1 && 2 * (cx + 8) <= width; cx += 8) {
      const ptrdiff_t at = 2 * static_cast<ptrdiff_t>(cx) - x0;
      Nudge8(cb + cx, _mm256_mul_ps(_mm256_div_ps(Sum8(cPb + at), pixels), span), zero, max);
      Nudge8(cr + cx, _mm256_mul_ps(_mm256_div_ps(Sum8(cPr + at), pixels), span), zero, max);
    }
    return cx;
  }

  // Eight blocks' sums: each row's left and right pixel in turn.
  __attribute__((target("avx2"))) __m256 Sum8(const float* shares) const {
    __m256 sum = _mm256_setzero_ps();
    for (int32_t r = 0; r < rows; ++r) {
      const float* row = shares + static_cast<ptrdiff_t>(r) * n;
      const __m256 lo = _mm256_loadu_ps(row), hi = _mm256_loadu_ps(row + 8);
      const __m256 left = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(lo, hi, 0x88)), 0xD8));
      const __m256 right = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(lo, hi, 0xDD)), 0xD8));
      sum = _mm256_add_ps(_mm256_add_ps(sum, left), right);
    }
    return sum;
  }

  __attribute__((target("avx2"))) static void Nudge8(T* samples, __m256 by, __m256 zero, __m256 max) {
    __m256i stored;
    if constexpr (sizeof(T) == 1) {
      stored = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(samples)));
    } else {
      stored = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(samples)));
    }
    const __m256 held = _mm256_min_ps(_mm256_max_ps(_mm256_add_ps(_mm256_cvtepi32_ps(stored), by), zero), max);
    const __m256i whole = _mm256_cvttps_epi32(_mm256_round_ps(held, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
    const __m128i words = _mm_packus_epi32(_mm256_castsi256_si128(whole), _mm256_extracti128_si256(whole, 1));
    if constexpr (sizeof(T) == 1) {
      _mm_storel_epi64(reinterpret_cast<__m128i*>(samples), _mm_packus_epi16(words, words));
    } else {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(samples), words);
    }
  }
};

// A chroma row at a time: every chroma sample the flare's spans reach in rows
// y0..y1 gets its block's luma changed pixel by pixel (PixelChanges) and then
// the mean of their shares, summed in the block's order, row by row.
template <class T, class Source>
void CompositeYuv(VideoSamples& s, const Source& flare, CompositeMode mode, bool vectorised) {
  using Run = decltype(flare.at(0, 0));
  const int32_t sx = s.layout().chromaShiftX, sy = s.layout().chromaShiftY;
  const int32_t rowsEnd = flare.firstRow + flare.rows();
  const YuvMath m(s);
  const auto changes = vectorised && HasAvx2() ? PixelChangesAvx2<T, Run> : PixelChanges<T, Run>;
  thread_local std::vector<float> scratch;
  for (int32_t cy = flare.firstRow >> sy; cy < s.planeHeight(1) && (cy << sy) < rowsEnd; ++cy) {
    const int32_t y0 = cy << sy, y1 = std::min(y0 + (1 << sy), rowsEnd), rows = y1 - y0;
    int32_t first = s.width(), end = 0;
    for (int32_t y = y0; y < y1; ++y) {
      if (flare.span(y).first >= flare.span(y).second) continue;
      first = std::min(first, flare.span(y).first);
      end = std::max(end, flare.span(y).second);
    }
    if (end <= first) continue;
    const int32_t c0 = first >> sx, c1 = ((end - 1) >> sx) + 1;   // the chroma samples reached
    const int32_t x0 = c0 << sx, x1 = std::min(c1 << sx, s.width()), n = x1 - x0;
    const size_t need = static_cast<size_t>(n) * (2 + 2 * static_cast<size_t>(rows));
    if (scratch.size() < need) scratch.resize(need);
    float* pb = scratch.data();
    float* pr = pb + n;
    float* cPb = pr + n;              // rows x n shares, then the same for Cr
    float* cPr = cPb + static_cast<ptrdiff_t>(rows) * n;
    T* cb = s.row<T>(1, cy);
    T* cr = s.row<T>(2, cy);
    for (int32_t x = x0; x < x1; ++x) {
      pb[x - x0] = (static_cast<float>(cb[x >> sx]) - m.chromaOffset) * m.toChroma;
      pr[x - x0] = (static_cast<float>(cr[x >> sx]) - m.chromaOffset) * m.toChroma;
    }
    for (int32_t r = 0; r < rows; ++r) {
      const int32_t a = std::clamp(flare.span(y0 + r).first, x0, x1);
      const int32_t b = std::clamp(flare.span(y0 + r).second, a, x1);
      // Pixels of the blocks outside this row's span add nothing.
      const ptrdiff_t row = static_cast<ptrdiff_t>(r) * n, at = row + (a - x0);
      for (float* shares : {cPb, cPr}) {
        std::fill(shares + row, shares + at, 0.0f);
        std::fill(shares + row + (b - x0), shares + row + n, 0.0f);
      }
      if (a == b) continue;
      changes(s.row<T>(0, y0 + r) + a, pb + (a - x0), pr + (a - x0), flare.at(a, y0 + r), b - a, m, mode, cPb + at, cPr + at);
    }
    const ChromaRow<T> chroma{cb, cr, cPb, cPr, n, rows, x0, sx, s.width()};
    const int32_t done = vectorised && HasAvx2() && sx == 1 ? chroma.PairsAvx2(c0, c1, m) : c0;
    chroma.Blocks(done, c1, m);
  }
}

void CheckSize(const VideoSamples& samples, int32_t width, int32_t height) {
  if (width != samples.width() || height != samples.height()) {
    throw HostError("a flare of " + std::to_string(width) + "x" + std::to_string(height) + " for a frame of " +
                    std::to_string(samples.width()) + "x" + std::to_string(samples.height()));
  }
}

template <class Layer>
void CompositeLayer(VideoSamples& samples, const FlareLayer& flare, const Layer& layer, int32_t weight, CompositeMode mode, int32_t band) {
  thread_local std::vector<std::pair<int32_t, int32_t>> spans;
  const float scale = LayerScale(weight, 0.0);
  const bool wide = samples.layout().sampleBytes() == 2;
  for (int32_t y = 0; y < samples.height(); y += band) {
    const LayerSource<Layer> source(flare, layer, scale, y, std::min(y + band, samples.height()), spans);
    wide ? CompositeYuv<uint16_t>(samples, source, mode, true) : CompositeYuv<uint8_t>(samples, source, mode, true);
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
    const auto [first, end] = LitSpan(layer, y);
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
      if (!layer.lit(x, y)) std::fill_n(amounts + 3 * (x - first), 3, 0.0f);
    }
  }
}

FlareAmounts AmountsOf(const FlareLayer& layer, int32_t weight, const PlateLook& look) {
  FlareAmounts flare;
  AmountsOf(layer, weight, look, 0, layer.height(), flare);
  return flare;
}

void CompositeFlare(VideoSamples& samples, const FlareAmounts& flare, CompositeMode mode, bool vectorised) {
  CheckSize(samples, flare.width, flare.height);
  const bool wide = samples.layout().sampleBytes() == 2;
  if (samples.layout().rgb) return wide ? CompositeRgb<uint16_t>(samples, flare, mode) : CompositeRgb<uint8_t>(samples, flare, mode);
  const FloatSource source{flare, flare.firstRow};
  wide ? CompositeYuv<uint16_t>(samples, source, mode, vectorised) : CompositeYuv<uint8_t>(samples, source, mode, vectorised);
}

void CompositeFlare(VideoSamples& samples, const FlareLayer& layer, int32_t weight, const PlateLook& look) {
  // Whole chroma rows a band; 16 luma rows of 1080p floats are under 400 KB.
  const int32_t band = 16 << samples.layout().chromaShiftY;
  // A layer onto YUV samples it needs no conversion for is read as it is: the
  // same amounts, without a frame of floats made and read back.
  if (!look.converts() && !samples.layout().rgb) {
    CheckSize(samples, layer.width(), layer.height());
    if (layer.precision == FlarePrecision::Full) return CompositeLayer(samples, layer, layer.full, weight, look.mode(), band);
    return CompositeLayer(samples, layer, layer.exact, weight, look.mode(), band);
  }
  thread_local FlareAmounts amounts;
  for (int32_t y = 0; y < layer.height(); y += band) {
    AmountsOf(layer, weight, look, y, std::min(y + band, layer.height()), amounts);
    CompositeFlare(samples, amounts, look.mode());
  }
}

}  // namespace lfhost
