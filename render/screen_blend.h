// The integer screen blend: 255 - round((255 - a) x (255 - b) / 255) without a
// division. Every pixel write of the stampers and streaks and every integer
// combine of a profile sample goes through it.
#pragma once

#include <cstdint>

// Screen given the two complements (255 - a) and (255 - b). Unsigned 32-bit
// arithmetic: a complement outside 0..255 (a streak layer value above 255) wraps
// the way the 8-bit store of the result expects.
inline uint32_t ScreenComplements(uint32_t complementA, uint32_t complementB) {
  const uint32_t q = complementA * complementB + 128u;
  return 255u - ((q + (q >> 8)) >> 8);
}

// Screen of a layer byte over a stored byte: 0 leaves it, 255 makes it 255.
inline uint8_t ScreenByte(uint8_t layer, uint8_t stored) {
  return static_cast<uint8_t>(ScreenComplements(255u - layer, 255u - stored));
}
