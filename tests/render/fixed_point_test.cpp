#include "render/fixed_point.h"

#include <gtest/gtest.h>

#include "render/hypot_table.h"

namespace {

TEST(FracMul30, TruncatesTowardZeroAndSaturates) {
  const struct {
    int32_t a, b, product;
  } cases[] = {
      {0x40000000, 0x40000000, 0x40000000},    // 1.0 x 1.0
      {6553600, 0x40000000, 6553600},          // Fix16 100 x 1.0
      {-0x40000000, 0x20000000, -0x20000000},  // -1.0 x 0.5
      {0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF},    // just under 4.0 saturates
      {INT32_MIN, 0x40000000, INT32_MIN},      // -2.0 x 1.0 = -2.0 pins low
      {INT32_MIN, INT32_MIN, 0x7FFFFFFF},      // -2.0 x -2.0 = 4.0 pins high
      {3, 0x20000000, 1},                      // 1.5 units truncates down
      {-3, 0x20000000, -1},                    // -1.5 units truncates toward zero
      {-1, 1, 0},                              {65536 * 7, -0x40000000, -65536 * 7},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FracMul30(c.a, c.b), c.product) << c.a << " x " << c.b;
}

TEST(FracSinCos30, StatedValues) {
  EXPECT_EQ(FracCos30(0), 0x40000000);
  EXPECT_EQ(FracSin30(0), 0);
  EXPECT_EQ(FracSin30(102944), 0x3FFFFFFF);  // just above pi/2: truncates below 1.0
  // 205887 / 65536 is 6.3e-6 below pi: cos lies 2e-11 above -1, i.e. 0.02 units
  // above -2^30 in 2.30, and truncation toward zero keeps -0x3FFFFFFF.
  EXPECT_EQ(FracCos30(205887), -0x3FFFFFFF);
  // sin(1/8 rad) x 2^30 = 133868475.63...
  EXPECT_EQ(FracSin30(8192), 133868475);
  EXPECT_EQ(FracSin30(-8192), -133868475);
}

TEST(HashNoise, StatedValues) {
  const std::pair<uint32_t, float> cases[] = {
      {0, -0.28179097f}, {1, -0.22637305f}, {2, 0.29363289f}, {100, 0.85012025f}};
  for (const auto& [n, noise] : cases) EXPECT_FLOAT_EQ(HashNoise(n), noise) << n;
  // h(0) = 1376312589 exactly: 1 - h / 2^30 rounded once to float.
  EXPECT_EQ(HashNoise(0), static_cast<float>(1.0 - 1376312589.0 / 1073741824.0));
}

TEST(FastHypot, NeverRoundsUp) {
  HypotTable table;
  FillHypotTable(table);
  const struct {
    int32_t a, b, distance;
  } cases[] = {
      {3, 4, 5},         {300, 400, 500},       {1, 1, 1},           {100, 100, 141},
      {7, 24, 24},       {32767, 32767, 46338}, {-5, 0, 5},          {-32768, -32768, 46340},
      {0, 0, 0},         {0, -1234, 1234},      {32767, 0, 32767},   {-32768, 0, 32768},
      {24, -7, 24},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FastHypot(table, c.a, c.b), c.distance) << c.a << ", " << c.b;
  // Arguments are 16-bit: 65536 + 3 reads as 3.
  EXPECT_EQ(FastHypot(table, 65539, 4), 5);
}

}  // namespace
