#include <gtest/gtest.h>

#include "shell/command_handlers.h"

namespace {

constexpr Fix16 kPercent = 65536;  // 1 % as the Blend With Original control delivers it

// Ratio = B x (1 - f) / 100 + f x 65536, with f = 1 - brightness / 10 below 10 %.
TEST(BlendRatioTest, BlendWithOriginalAndLowBrightnessFade) {
  struct Case {
    double brightness;
    Fix16 blend;
    int32_t ratio;
  };
  const Case cases[] = {
      {0.0, 0, 65536},                 // no flare at all: the input whatever B says
      {0.0, 100 * kPercent, 65536},
      {5.0, 0, 32768},                 // half flare, half input
      {5.0, 100 * kPercent, 65536},    // 32768 of B plus 32768 of fade
      {2.5, 0, 49152},                 // f = 0.75
      {10.0, 100 * kPercent, 65536},   // exactly 10 %: no fade, B / 100
      {10.0, 50 * kPercent, 32768},
      {10.0, 0, 0},
      {100.0, 25 * kPercent, 16384},
      {300.0, 100 * kPercent, 65536},
      {100.0, 1, 0},                   // 0.01 truncates to 0
  };
  for (const Case& c : cases)
    EXPECT_EQ(BlendRatio(c.blend, LowBrightnessFade(c.brightness)), c.ratio) << c.brightness << " %, B " << c.blend;
}

}  // namespace
