// Float-to-integer truncation that is defined for every input. Geometry that
// stays inside the frame's 16-bit limits converts exactly as a plain cast would;
// values a plain cast could not represent saturate instead of being undefined.
#pragma once

#include <cstdint>

// Truncation toward zero; beyond the 32-bit range saturates, NaN gives 0.
inline int32_t TruncToInt32(float v) {
  if (v >= 2147483648.0f) return INT32_MAX;
  if (v >= -2147483648.0f) return static_cast<int32_t>(v);
  return v < 0.0f ? INT32_MIN : 0;
}

// True when trunc(v) is a signed 16-bit value (false for NaN).
inline bool TruncFitsInt16(float v) { return v > -32769.0f && v < 32768.0f; }

// A truncated value kept in 16 bits, low bits as a 16-bit store keeps them.
inline int16_t TruncToInt16(float v) { return static_cast<int16_t>(TruncToInt32(v)); }

// max(0, v) with a NaN giving 0.
inline float MaxZero(float v) { return v > 0.0f ? v : 0.0f; }
