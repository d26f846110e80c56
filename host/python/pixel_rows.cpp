#include "host/python/pixel_rows.h"

#include <immintrin.h>

#include <cstddef>
#include <cstring>

namespace lfpython {

void RowToWorldsScalar(const uint8_t* s, uint8_t* d, uint8_t* c, int32_t width, int32_t channels) {
  for (int32_t x = 0; x < width; ++x) {
    const uint8_t* p = s + static_cast<ptrdiff_t>(channels) * x;
    const uint8_t argb[4] = {channels == 4 ? p[3] : uint8_t{255}, p[0], p[1], p[2]};
    std::memcpy(d + 4 * x, argb, 4);
    std::memcpy(c + 4 * x, argb, 4);
  }
}

void RowFromWorldScalar(const uint8_t* s, uint8_t* d, int32_t width, int32_t channels) {
  if (channels == 4) {
    for (int32_t x = 0; x < width; ++x) {
      d[4 * x] = s[4 * x + 1], d[4 * x + 1] = s[4 * x + 2], d[4 * x + 2] = s[4 * x + 3], d[4 * x + 3] = s[4 * x];
    }
    return;
  }
  for (int32_t x = 0; x < width; ++x) d[3 * x] = s[4 * x + 1], d[3 * x + 1] = s[4 * x + 2], d[3 * x + 2] = s[4 * x + 3];
}

bool HaveAvx2Rows() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

// A shuffle works within each 16-byte half of a register, so every step takes
// four pixels into each half. RGB rows read and write 16 bytes where 12 are
// the step's: the loops stop early enough that neither goes past the row, and
// the pixels left go one at a time.
namespace {

__attribute__((target("avx2"))) inline void StoreTwice(uint8_t* d, uint8_t* c, __m256i pixels) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(d), pixels);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(c), pixels);
}

}  // namespace

__attribute__((target("avx2"))) void RowToWorldsAvx2(const uint8_t* s, uint8_t* d, uint8_t* c, int32_t width,
                                                     int32_t channels) {
  int32_t x = 0;
  if (channels == 4) {
    const __m256i rotate = _mm256_setr_epi8(3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14,  //
                                            3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14);
    for (; x + 8 <= width; x += 8) {
      StoreTwice(d + 4 * x, c + 4 * x, _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 4 * x)), rotate));
    }
  } else {
    const __m256i spread = _mm256_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11,  //
                                            -1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11);
    const __m256i opaque = _mm256_set1_epi32(0xFF);
    for (; x + 10 <= width; x += 8) {
      const __m256i p = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(s + 3 * x + 12),
                                            reinterpret_cast<const __m128i*>(s + 3 * x));
      StoreTwice(d + 4 * x, c + 4 * x, _mm256_or_si256(_mm256_shuffle_epi8(p, spread), opaque));
    }
  }
  RowToWorldsScalar(s + channels * x, d + 4 * x, c + 4 * x, width - x, channels);
}

__attribute__((target("avx2"))) void RowFromWorldAvx2(const uint8_t* s, uint8_t* d, int32_t width, int32_t channels) {
  int32_t x = 0;
  if (channels == 4) {
    const __m256i rotate = _mm256_setr_epi8(1, 2, 3, 0, 5, 6, 7, 4, 9, 10, 11, 8, 13, 14, 15, 12,  //
                                            1, 2, 3, 0, 5, 6, 7, 4, 9, 10, 11, 8, 13, 14, 15, 12);
    for (; x + 8 <= width; x += 8) {
      const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 4 * x));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + 4 * x), _mm256_shuffle_epi8(p, rotate));
    }
  } else {
    const __m256i gather = _mm256_setr_epi8(1, 2, 3, 5, 6, 7, 9, 10, 11, 13, 14, 15, -1, -1, -1, -1,  //
                                            1, 2, 3, 5, 6, 7, 9, 10, 11, 13, 14, 15, -1, -1, -1, -1);
    for (; x + 10 <= width; x += 8) {
      const __m256i p = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 4 * x)), gather);
      // The second store overwrites the first's four spare bytes.
      _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 3 * x), _mm256_castsi256_si128(p));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 3 * x + 12), _mm256_extracti128_si256(p, 1));
    }
  }
  RowFromWorldScalar(s + 4 * x, d + channels * x, width - x, channels);
}

namespace {

using ToWorldsFn = void (*)(const uint8_t*, uint8_t*, uint8_t*, int32_t, int32_t);
using RowFn = void (*)(const uint8_t*, uint8_t*, int32_t, int32_t);
const ToWorldsFn kToWorlds = HaveAvx2Rows() ? &RowToWorldsAvx2 : &RowToWorldsScalar;
const RowFn kFromWorld = HaveAvx2Rows() ? &RowFromWorldAvx2 : &RowFromWorldScalar;

}  // namespace

void RowToWorlds(const uint8_t* source, uint8_t* world, uint8_t* copy, int32_t width, int32_t channels) {
  kToWorlds(source, world, copy, width, channels);
}

void RowFromWorld(const uint8_t* world, uint8_t* destination, int32_t width, int32_t channels) {
  kFromWorld(world, destination, width, channels);
}

}  // namespace lfpython
