// The fixed-point and noise kit: 2.30 sines and cosines of 16.16 angles, the
// 2.30 product, the deterministic hash noise and the table-driven distance.
#pragma once

#include <cstdint>

#include "render/flare_context.h"

Frac30 FracCos30(Fix16 angle);
Frac30 FracSin30(Fix16 angle);
int32_t FracMul30(int32_t a, int32_t b);
float HashNoise(uint32_t n);

// Approximate sqrt(a^2 + b^2) for 16-bit a, b, never rounding up. Runs once per
// pixel of every stamp and streak: one division, one table read, no floating point.
// The arguments are 16-bit quantities: they are narrowed to 16 bits first, which
// changes nothing for 16-bit values and keeps any other input free of overflow
// (magnitudes stay at most 32768, so lo x 256 and entry x hi fit in 32 bits).
inline int32_t FastHypot(const HypotTable& table, int32_t a, int32_t b) {
  const int32_t a16 = static_cast<int16_t>(a);
  const int32_t b16 = static_cast<int16_t>(b);
  int32_t x = a16 < 0 ? -a16 : a16;
  int32_t y = b16 < 0 ? -b16 : b16;
  int32_t hi = x > y ? x : y;
  int32_t lo = x > y ? y : x;
  if (hi == 0) return 0;
  int32_t i = (lo * 256) / hi;
  return static_cast<int32_t>((static_cast<uint32_t>(table.entry[i]) * static_cast<uint32_t>(hi)) >> 14);
}
