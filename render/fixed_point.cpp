#include "render/fixed_point.h"

#include <cmath>

namespace {

constexpr double kFrac30One = 1073741824.0;  // 2^30
constexpr double kFix16One = 65536.0;

// Saturating conversion to 2.30: values at or beyond +-2.0 pin to the extremes,
// so the cast below only ever sees values strictly inside the int32 range.
Frac30 SaturateFrac30(double r) {
  if (r >= 2.0) return INT32_MAX;
  if (r <= -2.0) return INT32_MIN;
  if (r != r) return 0;  // unreachable from the finite inputs of this kit
  return static_cast<Frac30>(r * kFrac30One);
}

}  // namespace

Frac30 FracCos30(Fix16 angle) { return SaturateFrac30(std::cos(angle / kFix16One)); }

Frac30 FracSin30(Fix16 angle) { return SaturateFrac30(std::sin(angle / kFix16One)); }

// Both operands are read as 2.30; the double product is exact unless a x b needs
// more than 53 significant bits, where it rounds once.
int32_t FracMul30(int32_t a, int32_t b) {
  return SaturateFrac30((a / kFrac30One) * (b / kFrac30One));
}

float HashNoise(uint32_t n) {
  const uint32_t x = n ^ (n << 13);
  const uint32_t h = ((x * x * 15731u + 789221u) * x - 771171059u) & 0x7FFFFFFFu;
  return static_cast<float>(1.0 - h * 9.313225746154785e-10);
}
