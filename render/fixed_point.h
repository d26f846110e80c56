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
inline int32_t FastHypot(const HypotTable& table, int32_t a, int32_t b) {
  int32_t x = a < 0 ? -a : a;
  int32_t y = b < 0 ? -b : b;
  int32_t hi = x > y ? x : y;
  int32_t lo = x > y ? y : x;
  if (hi == 0) return 0;
  int32_t i = (lo * 256) / hi;
  return static_cast<int32_t>((static_cast<uint32_t>(table.entry[i]) * static_cast<uint32_t>(hi)) >> 14);
}
