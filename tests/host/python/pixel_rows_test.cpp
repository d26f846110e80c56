// The Python package's row conversions: the vectorised versions give the bytes
// of the one-pixel-at-a-time ones for every width and remainder, into both
// worlds on the way in, and write nothing past the row.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "host/python/pixel_rows.h"

namespace {

using RowFn = void (*)(const uint8_t*, uint8_t*, int32_t, int32_t);

// The two worlds of a row on the way in, one after the other in `d`, each
// followed by the 32 guard bytes below.
size_t WorldSpan(int32_t width) { return static_cast<size_t>(width) * 4 + 32; }
void ToWorldsScalar(const uint8_t* s, uint8_t* d, int32_t width, int32_t channels) {
  lfpython::RowToWorldsScalar(s, d, d + WorldSpan(width), width, channels);
}
void ToWorldsAvx2(const uint8_t* s, uint8_t* d, int32_t width, int32_t channels) {
  lfpython::RowToWorldsAvx2(s, d, d + WorldSpan(width), width, channels);
}

TEST(PixelRowsTest, VectorisedRowsGiveTheScalarBytes) {
  if (!lfpython::HaveAvx2Rows()) GTEST_SKIP() << "no AVX2 on this processor";
  struct Case {
    const char* name;
    RowFn reference, fast;
    int sourceBytes, destinationBytes;   // per pixel, given the channels
    int destinations;
  };
  std::mt19937 rng(20261206);
  for (const int32_t channels : {3, 4}) {
    const Case cases[] = {
        {"to worlds", &ToWorldsScalar, &ToWorldsAvx2, channels, 4, 2},
        {"from world", &lfpython::RowFromWorldScalar, &lfpython::RowFromWorldAvx2, 4, channels, 1},
    };
    for (const Case& c : cases) {
      for (int32_t width = 1; width <= 530; width += width < 40 ? 1 : 61) {
        std::vector<uint8_t> source(static_cast<size_t>(width) * c.sourceBytes);
        for (uint8_t& b : source) b = static_cast<uint8_t>(rng());
        // 32 guard bytes after the row, which no version may touch.
        const size_t span = static_cast<size_t>(width) * c.destinationBytes + 32;
        std::vector<uint8_t> expected(span * c.destinations, 0xA5);
        std::vector<uint8_t> got(expected);
        c.reference(source.data(), expected.data(), width, channels);
        c.fast(source.data(), got.data(), width, channels);
        ASSERT_EQ(got, expected) << c.name << ", " << channels << " channels, width " << width;
        for (int i = 1; i <= c.destinations; ++i) EXPECT_EQ(expected[span * i - 1], 0xA5);
        if (c.destinations == 2) {
          EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + span, expected.begin() + span)) << width;
        }
      }
    }
  }
}

// The scalar rows themselves against pixels written out by hand.
TEST(PixelRowsTest, ScalarRowsMoveChannelsToAndFromTheWorldsOrder) {
  const uint8_t rgb[] = {1, 2, 3, 4, 5, 6};
  const uint8_t rgba[] = {1, 2, 3, 9, 4, 5, 6, 8};
  uint8_t world[8], copy[8];
  lfpython::RowToWorlds(rgb, world, copy, 2, 3);
  EXPECT_EQ(std::vector<uint8_t>(world, world + 8), (std::vector<uint8_t>{255, 1, 2, 3, 255, 4, 5, 6}));
  EXPECT_EQ(std::vector<uint8_t>(copy, copy + 8), std::vector<uint8_t>(world, world + 8));
  lfpython::RowToWorlds(rgba, world, copy, 2, 4);
  EXPECT_EQ(std::vector<uint8_t>(world, world + 8), (std::vector<uint8_t>{9, 1, 2, 3, 8, 4, 5, 6}));
  EXPECT_EQ(std::vector<uint8_t>(copy, copy + 8), std::vector<uint8_t>(world, world + 8));
  uint8_t back[8];
  lfpython::RowFromWorld(world, back, 2, 4);
  EXPECT_EQ(std::vector<uint8_t>(back, back + 8), std::vector<uint8_t>(rgba, rgba + 8));
  lfpython::RowFromWorld(world, back, 2, 3);
  EXPECT_EQ(std::vector<uint8_t>(back, back + 6), std::vector<uint8_t>(rgb, rgb + 6));
}

}  // namespace
