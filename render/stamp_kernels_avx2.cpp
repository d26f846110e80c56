// AVX2 row kernels of the stampers, eight pixels at a time. Only these functions
// are compiled for AVX2; the stampers call them only when the processor has it.
//
// Eight pixels are read and written as the 32 bytes from the red byte of the
// first one: R, G, B of each pixel and the alpha byte of the next. A packed
// sample's fourth byte is 0 and a layer byte of 0 leaves the stored byte as it
// is, so every alpha byte is written back with the value just read from it. The
// 32 bytes reach the alpha of the pixel after the eighth, so a chunk is taken
// only while that pixel is still inside the box (its row belongs to the same
// worker); the remaining pixels of a row go through the scalar kernel.
#if defined(__x86_64__)

#include <immintrin.h>

#include <cstdlib>

#include "render/rgb_lanes_avx2.h"
#include "render/stamp_kernels.h"
#include "render/truncate.h"

namespace {

// FastHypot of eight pairs of 16-bit magnitudes. The index (lo x 256) / hi is
// taken from a single-precision division: both operands are exact in a float
// (at most 2^23 and 2^15) and the division rounds correctly, so truncating it
// could only go wrong by rounding a quotient that lies just below an integer up
// to it. Such a quotient lies at least 1 / hi >= 2^-15 below the integer, and
// floats below 256 are at most 2^-16 apart, so the rounded quotient stays within
// 2^-17 of the true one and never reaches the integer (the tests check every
// pair). hi = 0 divides by 1 instead and gives entry 0 x 0 = 0, as the scalar
// early return does.
__attribute__((target("avx2"))) inline __m256i Hypot8(__m256i x, __m256i y, const uint32_t* table) {
  const __m256i hi = _mm256_max_epi32(x, y);
  const __m256i lo = _mm256_min_epi32(x, y);
  const __m256i numerator = _mm256_slli_epi32(lo, 8);
  const __m256i divisor = _mm256_max_epi32(hi, _mm256_set1_epi32(1));
  const __m256i index =
      _mm256_cvttps_epi32(_mm256_div_ps(_mm256_cvtepi32_ps(numerator), _mm256_cvtepi32_ps(divisor)));
  const __m256i entry = _mm256_i32gather_epi32(reinterpret_cast<const int*>(table), index, 4);
  return _mm256_srli_epi32(_mm256_mullo_epi32(entry, hi), 14);
}

// The integer screen on 16-bit lanes: (255 - a) x (255 - b) + 128 is at most
// 65153 and q + (q >> 8) at most 65407, so nothing leaves 16 bits.
__attribute__((target("avx2"))) inline __m256i Screen16(__m256i layer, __m256i stored) {
  const __m256i c255 = _mm256_set1_epi16(255);
  const __m256i q = _mm256_add_epi16(
      _mm256_mullo_epi16(_mm256_sub_epi16(c255, layer), _mm256_sub_epi16(c255, stored)), _mm256_set1_epi16(128));
  return _mm256_sub_epi16(c255, _mm256_srli_epi16(_mm256_add_epi16(q, _mm256_srli_epi16(q, 8)), 8));
}

// Screens the eight packed samples over the 32 bytes at `pixel`.
__attribute__((target("avx2"))) inline void ScreenEight(uint8_t* pixel, __m256i samples) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i stored = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pixel));
  const __m256i low = Screen16(_mm256_unpacklo_epi8(samples, zero), _mm256_unpacklo_epi8(stored, zero));
  const __m256i high = Screen16(_mm256_unpackhi_epi8(samples, zero), _mm256_unpackhi_epi8(stored, zero));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(pixel), _mm256_packus_epi16(low, high));
}

// Profile rows are symmetric about the stamp's centre (ProfileRowTask::mirror),
// and within a row a pixel's samples depend on its |dx| alone, so the samples
// of a chunk of eight columns may come from the chunk that mirrors it, reversed.
// Returns the first column of that chunk when it was taken earlier in this row
// (it lies in [begin, c), whose samples the kernel has kept) and its |dx|,
// reversed, equal `here`, the |dx| of columns c .. c + 7; -1 otherwise.
__attribute__((target("avx2"))) inline int32_t MirroredChunk(const int32_t* absDx, int32_t mirror, int32_t begin,
                                                            int32_t c, __m256i here) {
  const int32_t mirrored = mirror - c - 7;
  if (mirrored < begin || mirrored + 8 > c) return -1;
  const __m256i there = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(absDx + mirrored));
  const __m256i reversed = _mm256_permutevar8x32_epi32(there, _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0));
  return _mm256_movemask_epi8(_mm256_cmpeq_epi32(here, reversed)) == -1 ? mirrored : -1;
}

// The eight 32-bit words from `words`, in reverse order.
__attribute__((target("avx2"))) inline __m256i LoadReversed(const void* words) {
  return _mm256_permutevar8x32_epi32(_mm256_loadu_si256(static_cast<const __m256i*>(words)),
                                     _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0));
}

// The packed samples of columns c .. c + 7 of a profile row, mirrored or
// computed, kept in task.samples.
__attribute__((target("avx2"))) inline __m256i ProfileSamples8(const ProfileRowTask& task, int32_t c,
                                                              __m256i absDy) {
  const __m256i absDx = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(task.absDx + c));
  const int32_t mirrored = MirroredChunk(task.absDx, task.mirror, task.begin, c, absDx);
  __m256i samples;
  if (mirrored >= 0) {
    samples = LoadReversed(task.samples + mirrored);
  } else {
    const __m256i d = Hypot8(absDx, absDy, task.table);
    samples = _mm256_i32gather_epi32(reinterpret_cast<const int*>(task.packed), d, 4);
  }
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(task.samples + c), samples);
  return samples;
}

}  // namespace

__attribute__((target("avx2"))) void ScreenProfileRowAvx2(const ProfileRowTask& task) {
  if (task.pixelBytes != 4) {
    ScreenProfileRowPortable(task);
    return;
  }
  const __m256i absDy = _mm256_set1_epi32(task.absDy);
  int32_t c = task.begin;
  for (; c < task.end && c + 8 < task.columns; c += 8) {
    const __m256i samples = ProfileSamples8(task, c, absDy);
    if (_mm256_testz_si256(samples, samples)) continue;  // all eight unchanged
    ScreenEight(task.pixels + static_cast<ptrdiff_t>(c) * 4, samples);
  }
  if (c < task.end) {
    ProfileRowTask rest = task;
    rest.begin = c;
    ScreenProfileRowPortable(rest);
  }
}

// Eight draws of rand(), two a pixel in pixel order.
__attribute__((target("avx2"))) inline void DrawEight(uint32_t* firstDraws, uint32_t* secondDraws) {
  for (int k = 0; k < 8; ++k) {
    firstDraws[k] = static_cast<uint32_t>(std::rand());
    secondDraws[k] = static_cast<uint32_t>(std::rand());
  }
}

// The jittered index trunc(m / reach + d) in single precision: the conversions,
// the division and the addition round exactly as the scalar ones do. A sum of
// 2^31 or more, which the conversion would turn into INT32_MIN, reads the last
// sample as the scalar saturation does; a sum of -1 or less truncates below 0
// and leaves the pixel unchanged. A NaN sum (reach 0 or NaN) would differ, so
// callers exclude those reaches. Returns the lanes to screen, with their
// indices in `index`.
__attribute__((target("avx2"))) inline __m256i JitteredIndex8(const uint32_t* firstDraws, const uint32_t* secondDraws,
                                                             __m256i d, __m256i mask, __m256 reach, __m256i lastIndex,
                                                             __m256i& index) {
  const __m256i first = _mm256_load_si256(reinterpret_cast<const __m256i*>(firstDraws));
  const __m256i second = _mm256_load_si256(reinterpret_cast<const __m256i*>(secondDraws));
  const __m256i j = _mm256_and_si256(_mm256_add_epi32(_mm256_slli_epi32(first, 16), second), mask);
  const __m256i m = _mm256_mullo_epi32(j, d);
  const __m256 sum = _mm256_add_ps(_mm256_div_ps(_mm256_cvtepi32_ps(m), reach), _mm256_cvtepi32_ps(d));
  const __m256i beyond = _mm256_castps_si256(_mm256_cmp_ps(sum, _mm256_set1_ps(2147483648.0f), _CMP_GE_OQ));
  index = _mm256_blendv_epi8(_mm256_min_epi32(_mm256_cvttps_epi32(sum), lastIndex), lastIndex, beyond);
  return _mm256_castps_si256(_mm256_cmp_ps(sum, _mm256_set1_ps(-1.0f), _CMP_GT_OQ));
}

__attribute__((target("avx2"))) void ScreenRayRowAvx2(const RayRowTask& task) {
  if (task.pixelBytes != 4) {
    ScreenRayRowPortable(task);
    return;
  }
  const __m256i absDy = _mm256_set1_epi32(task.absDy);
  const __m256i mask = _mm256_set1_epi32(static_cast<int>(task.jitterMask));
  const __m256 reach = _mm256_set1_ps(task.reach);
  const __m256i lastIndex = _mm256_set1_epi32(task.length - 1);
  int32_t c = 0;
  for (; c + 8 < task.columns; c += 8) {
    const __m256i dx = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(task.dx + c));
    const __m256i d = Hypot8(_mm256_abs_epi32(dx), absDy, task.table);
    alignas(32) uint32_t firstDraws[8];
    alignas(32) uint32_t secondDraws[8];
    DrawEight(firstDraws, secondDraws);
    __m256i index;
    const __m256i take = JitteredIndex8(firstDraws, secondDraws, d, mask, reach, lastIndex, index);
    if (_mm256_testz_si256(take, take)) continue;
    const __m256i samples = _mm256_mask_i32gather_epi32(
        _mm256_setzero_si256(), reinterpret_cast<const int*>(task.packed), index, take, 4);
    if (_mm256_testz_si256(samples, samples)) continue;
    ScreenEight(task.pixels + static_cast<ptrdiff_t>(c) * 4, samples);
  }
  if (c < task.columns) {
    RayRowTask rest = task;
    rest.pixels = task.pixels + static_cast<ptrdiff_t>(c) * 4;
    rest.columns = task.columns - c;
    rest.dx = task.dx + c;
    ScreenRayRowPortable(rest);
  }
}

// s + a (1 - s) in the scalar kernel's order where the layer is not 0; other
// lanes kept as they were.
__attribute__((target("avx2"))) inline __m256 ScreenShare8(__m256 layer, __m256 stored) {
  const __m256 screened = _mm256_add_ps(stored, _mm256_mul_ps(layer, _mm256_sub_ps(_mm256_set1_ps(1.0f), stored)));
  return _mm256_blendv_ps(stored, screened, _mm256_cmp_ps(layer, _mm256_setzero_ps(), _CMP_NEQ_UQ));
}

// The R, G, B layers of columns c .. c + 7 of a full-precision profile row,
// mirrored or computed, kept in task.samples.
__attribute__((target("avx2"))) inline Channels8 FullProfileSamples8(const FullProfileRowTask& task, int32_t c,
                                                                    __m256i absDy, __m256i count) {
  const __m256 zero = _mm256_setzero_ps();
  const __m256i absDx = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(task.absDx + c));
  const int32_t mirrored = MirroredChunk(task.absDx, task.mirror, task.begin, c, absDx);
  float* kept[3] = {task.samples, task.samples + task.columns, task.samples + 2 * static_cast<ptrdiff_t>(task.columns)};
  Channels8 layer{zero, zero, zero};
  if (mirrored >= 0) {
    layer = {_mm256_castsi256_ps(LoadReversed(kept[0] + mirrored)), _mm256_castsi256_ps(LoadReversed(kept[1] + mirrored)),
             _mm256_castsi256_ps(LoadReversed(kept[2] + mirrored))};
  } else {
    const __m256i d = Hypot8(absDx, absDy, task.table);
    // Lanes at or beyond `count` read nothing and get a layer of 0.
    const __m256 take = _mm256_castsi256_ps(_mm256_cmpgt_epi32(count, d));
    if (!_mm256_testz_ps(take, take)) {
      layer = {_mm256_mask_i32gather_ps(zero, task.sample[0], d, take, 4),
               _mm256_mask_i32gather_ps(zero, task.sample[1], d, take, 4),
               _mm256_mask_i32gather_ps(zero, task.sample[2], d, take, 4)};
    }
  }
  _mm256_storeu_ps(kept[0] + c, layer.red);
  _mm256_storeu_ps(kept[1] + c, layer.green);
  _mm256_storeu_ps(kept[2] + c, layer.blue);
  return layer;
}

__attribute__((target("avx2"))) void ScreenFullProfileRowAvx2(const FullProfileRowTask& task) {
  const __m256i absDy = _mm256_set1_epi32(task.absDy);
  const __m256i count = _mm256_set1_epi32(task.count);
  const __m256 zero = _mm256_setzero_ps();
  int32_t c = task.begin;
  // The 24 floats of eight pixels all lie in the box's row.
  for (; c + 8 <= task.end; c += 8) {
    const Channels8 layer = FullProfileSamples8(task, c, absDy, count);
    const __m256 any =
        _mm256_or_ps(_mm256_or_ps(_mm256_cmp_ps(layer.red, zero, _CMP_NEQ_UQ), _mm256_cmp_ps(layer.green, zero, _CMP_NEQ_UQ)),
                     _mm256_cmp_ps(layer.blue, zero, _CMP_NEQ_UQ));
    if (_mm256_testz_ps(any, any)) continue;  // all eight unchanged
    float* pixel = task.pixels + 3 * static_cast<ptrdiff_t>(c);
    Channels8 v = LoadChannels(pixel);
    v.red = ScreenShare8(layer.red, v.red);
    v.green = ScreenShare8(layer.green, v.green);
    v.blue = ScreenShare8(layer.blue, v.blue);
    StoreChannels(pixel, v);
  }
  if (c < task.end) {
    FullProfileRowTask rest = task;
    rest.begin = c;
    ScreenFullProfileRowPortable(rest);
  }
}

// The rays over the float canvas: the exact kernel's draws and indices, the
// profile kernel's screen.
__attribute__((target("avx2"))) void ScreenFullRayRowAvx2(const FullRayRowTask& task) {
  const __m256i absDy = _mm256_set1_epi32(task.absDy);
  const __m256i mask = _mm256_set1_epi32(static_cast<int>(task.jitterMask));
  const __m256 reach = _mm256_set1_ps(task.reach);
  const __m256i lastIndex = _mm256_set1_epi32(task.length - 1);
  const __m256 zero = _mm256_setzero_ps();
  int32_t c = 0;
  for (; c + 8 <= task.columns; c += 8) {
    const __m256i dx = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(task.dx + c));
    const __m256i d = Hypot8(_mm256_abs_epi32(dx), absDy, task.table);
    alignas(32) uint32_t firstDraws[8];
    alignas(32) uint32_t secondDraws[8];
    DrawEight(firstDraws, secondDraws);
    __m256i index;
    const __m256 take = _mm256_castsi256_ps(JitteredIndex8(firstDraws, secondDraws, d, mask, reach, lastIndex, index));
    if (_mm256_testz_ps(take, take)) continue;
    const __m256 red = _mm256_mask_i32gather_ps(zero, task.sample[0], index, take, 4);
    const __m256 green = _mm256_mask_i32gather_ps(zero, task.sample[1], index, take, 4);
    const __m256 blue = _mm256_mask_i32gather_ps(zero, task.sample[2], index, take, 4);
    float* pixel = task.pixels + 3 * static_cast<ptrdiff_t>(c);
    Channels8 v = LoadChannels(pixel);
    v.red = ScreenShare8(red, v.red);
    v.green = ScreenShare8(green, v.green);
    v.blue = ScreenShare8(blue, v.blue);
    StoreChannels(pixel, v);
  }
  if (c < task.columns) {
    FullRayRowTask rest = task;
    rest.pixels = task.pixels + 3 * static_cast<ptrdiff_t>(c);
    rest.columns = task.columns - c;
    rest.dx = task.dx + c;
    ScreenFullRayRowPortable(rest);
  }
}

#endif  // __x86_64__
