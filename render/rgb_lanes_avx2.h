// Eight pixels of R, G, B floats (24 floats, pixel after pixel) as three
// vectors of one channel each, and back: the stampers' float canvas and the
// composite's full-precision layer are laid out so. Pixels 0 to 3 go to the
// low half of each vector and 4 to 7 to the high one; StoreChannels puts them
// back in the same order. Plain loads and shuffles: no gather.
#pragma once

#if defined(__x86_64__)

#include <immintrin.h>

struct Channels8 {
  __m256 red, green, blue;
};

__attribute__((target("avx2"))) inline Channels8 LoadChannels(const float* pixel) {
  __m256 m03 = _mm256_castps128_ps256(_mm_loadu_ps(pixel));       // r0 g0 b0 r1
  __m256 m14 = _mm256_castps128_ps256(_mm_loadu_ps(pixel + 4));   // g1 b1 r2 g2
  __m256 m25 = _mm256_castps128_ps256(_mm_loadu_ps(pixel + 8));   // b2 r3 g3 b3
  m03 = _mm256_insertf128_ps(m03, _mm_loadu_ps(pixel + 12), 1);   // r4 g4 b4 r5
  m14 = _mm256_insertf128_ps(m14, _mm_loadu_ps(pixel + 16), 1);   // g5 b5 r6 g6
  m25 = _mm256_insertf128_ps(m25, _mm_loadu_ps(pixel + 20), 1);   // b6 r7 g7 b7
  const __m256 rg = _mm256_shuffle_ps(m14, m25, _MM_SHUFFLE(2, 1, 3, 2));  // r2 g2 r3 g3
  const __m256 gb = _mm256_shuffle_ps(m03, m14, _MM_SHUFFLE(1, 0, 2, 1));  // g0 b0 g1 b1
  return {_mm256_shuffle_ps(m03, rg, _MM_SHUFFLE(2, 0, 3, 0)), _mm256_shuffle_ps(gb, rg, _MM_SHUFFLE(3, 1, 2, 0)),
          _mm256_shuffle_ps(gb, m25, _MM_SHUFFLE(3, 0, 3, 1))};
}

__attribute__((target("avx2"))) inline void StoreChannels(float* pixel, const Channels8& v) {
  const __m256 rb = _mm256_shuffle_ps(v.red, v.green, _MM_SHUFFLE(2, 0, 2, 0));   // r0 r2 g0 g2
  const __m256 gb = _mm256_shuffle_ps(v.green, v.blue, _MM_SHUFFLE(3, 1, 3, 1));  // g1 g3 b1 b3
  const __m256 br = _mm256_shuffle_ps(v.blue, v.red, _MM_SHUFFLE(3, 1, 2, 0));    // b0 b2 r1 r3
  const __m256 p03 = _mm256_shuffle_ps(rb, br, _MM_SHUFFLE(2, 0, 2, 0));          // r0 g0 b0 r1
  const __m256 p14 = _mm256_shuffle_ps(gb, rb, _MM_SHUFFLE(3, 1, 2, 0));          // g1 b1 r2 g2
  const __m256 p25 = _mm256_shuffle_ps(br, gb, _MM_SHUFFLE(3, 1, 3, 1));          // b2 r3 g3 b3
  _mm_storeu_ps(pixel, _mm256_castps256_ps128(p03));
  _mm_storeu_ps(pixel + 4, _mm256_castps256_ps128(p14));
  _mm_storeu_ps(pixel + 8, _mm256_castps256_ps128(p25));
  _mm_storeu_ps(pixel + 12, _mm256_extractf128_ps(p03, 1));
  _mm_storeu_ps(pixel + 16, _mm256_extractf128_ps(p14, 1));
  _mm_storeu_ps(pixel + 20, _mm256_extractf128_ps(p25, 1));
}

#endif  // __x86_64__
