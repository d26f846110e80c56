#include "render/hypot_table.h"

#include <cmath>

// Entry i is the hypotenuse over the longer side for a shorter/longer ratio of
// i/256, scaled by 2^14: from 16384 (ratio 0) to 23170 (sqrt 2, ratio 1). No entry
// lies halfway between two integers, so the rounding mode never matters.
void FillHypotTable(HypotTable& table) {
  for (int i = 0; i < kHypotTableSize; ++i) {
    double ratio = i / 256.0;
    table.entry[i] = static_cast<uint16_t>(std::lround(16384.0 * std::sqrt(1.0 + ratio * ratio)));
  }
}
