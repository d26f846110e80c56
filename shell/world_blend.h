// The arithmetic of the host's blend callback (HostCallbacks::blend), per byte
// of all four channels: (s1 x (65536 - ratio) + s2 x ratio + 32768) >> 16,
// ratio clamped to 0..65536, so ratio 0 gives s1 and 65536 gives s2 exactly.
// The module's render command ends with this blend; the host computes it, and
// whatever checks a render computes it here too.
#pragma once

#include <algorithm>
#include <cstdint>

// With the ratio already within 0..65536: 255 x 65536 + 32768 < 2^32, so
// unsigned 32-bit arithmetic holds it exactly (and a loop over it vectorises).
inline uint8_t BlendWeighted(uint32_t source1, uint32_t source2, uint32_t ratio) {
  return static_cast<uint8_t>((source1 * (65536u - ratio) + source2 * ratio + 32768u) >> 16);
}

inline uint8_t BlendByte(uint8_t source1, uint8_t source2, int32_t ratio16_16) {
  return BlendWeighted(source1, source2, static_cast<uint32_t>(std::clamp<int32_t>(ratio16_16, 0, 65536)));
}
