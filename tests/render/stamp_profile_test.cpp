#include "render/stamp_profile.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "tests/support/fake_host.h"

namespace {

// The drawn rectangle on a black canvas stamped with a uniform profile of 200.
struct Extent {
  int32_t firstColumn, lastColumn, firstRow, lastRow;  // -1 when nothing is drawn
  bool operator==(const Extent&) const = default;
};

Extent DrawnExtent(TestCanvas& canvas) {
  Extent e{-1, -1, -1, -1};
  for (int32_t y = 0; y < canvas.height; ++y)
    for (int32_t x = 0; x < canvas.width; ++x) {
      if (canvas.At(x, y, 1) == 0) continue;
      EXPECT_EQ(canvas.At(x, y, 1), 200);
      if (e.firstColumn < 0 || x < e.firstColumn) e.firstColumn = x;
      if (x > e.lastColumn) e.lastColumn = x;
      if (e.firstRow < 0) e.firstRow = y;
      e.lastRow = y;
    }
  return e;
}

struct BoxCase {
  const char* name;
  float x, y, radius;
  Extent drawn;
  int32_t profileLength = 0;  // 0: 16 x width
};

TEST(StampProfile, BoxClipsAtEveryEdgeWithTheAllowance) {
  const BoxCase cases[] = {
      {"inside", 50.25f, 40.5f, 8.0f, {40, 59, 30, 49}},
      {"left and top", 3.0f, 2.0f, 8.0f, {0, 12, 0, 11}},
      // left 90.5, right 104.5 -> 100.9: ten columns, 90..99; rows likewise.
      {"right and bottom", 97.5f, 77.5f, 5.0f, {90, 99, 70, 79}},
      // left 90.85 (top 70.85) has a fraction within the 0.9 allowance: column 99
      // (row 79) is kept; left 90.95 has one above it: column 99 stays undrawn.
      {"fraction within the allowance", 97.85f, 77.85f, 5.0f, {90, 99, 70, 79}},
      {"fraction above the allowance", 97.95f, 40.0f, 5.0f, {90, 98, 33, 46}},
      {"wholly right", 200.0f, 40.0f, 5.0f, {-1, -1, -1, -1}},
      {"wholly left", -50.0f, 40.0f, 5.0f, {-1, -1, -1, -1}},
      {"wholly below", 50.0f, 300.0f, 5.0f, {-1, -1, -1, -1}},
      // Distances at or past the profile's end read its last sample: the whole box.
      {"short profile", 20.0f, 20.0f, 10.0f, {8, 31, 8, 31}, 16},
      // 40000 quarter pixels away the offsets wrap in 16 bits (to about 25536):
      // the whole frame is within the box and the profile.
      {"offsets past 16 bits", 10000.0f, 10.0f, 10000.0f, {0, 99, 0, 79}, 70000},
  };
  for (const BoxCase& c : cases) {
    FakeHost host;
    TestCanvas canvas(100, 80, host, c.profileLength);
    canvas.SetProfile(200);
    StampProfile(c.x, c.y, c.radius, canvas.context.frame, canvas.context);
    EXPECT_EQ(DrawnExtent(canvas), c.drawn) << c.name;
    EXPECT_EQ(LoadStatus(canvas.context), 0) << c.name;
    EXPECT_TRUE(canvas.PaddingIntact()) << c.name;
    for (int32_t y = 0; y < canvas.height; ++y)
      for (int32_t x = 0; x < canvas.width; ++x) ASSERT_EQ(canvas.At(x, y, 0), 255) << c.name;
  }
}

struct BandCase {
  int32_t rows, count;
  std::vector<std::pair<int32_t, int32_t>> bands;  // [first, last] per index, {-1,-1} for none
};

TEST(StampProfileWorker, SplitsRowsIntoBands) {
  const BandCase cases[] = {
      {10, 4, {{0, 1}, {2, 3}, {4, 5}, {6, 9}}},
      {5, 8, {{-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}, {0, 4}}},
      {7, 1, {{0, 6}}},
  };
  for (const BandCase& c : cases) {
    for (int32_t index = 0; index < c.count; ++index) {
      FakeHost host;
      TestCanvas canvas(4, 12, host);
      canvas.SetProfile(200);
      StampJob job{&canvas.context, &canvas.context.frame, 2, c.rows, 0.0f, 0.0f, 0, 0, 0.0f};
      EXPECT_EQ(StampProfileWorker(&job, 1, index, c.count), 0);
      const Extent drawn = DrawnExtent(canvas);
      EXPECT_EQ(std::make_pair(drawn.firstRow, drawn.lastRow), c.bands[index])
          << c.rows << "/" << c.count << " #" << index;
      EXPECT_EQ(host.abortPolls, 0);  // only thread index 0 polls
    }
  }
}

TEST(StampProfile, BrokenArgumentsNeverEscapeTheFrame) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float args[][3] = {{nan, 5, 5},  {5, nan, 5},  {5, 5, nan},     {inf, 5, 5},      {5, -inf, 5}, {5, 5, inf},
                           {3e9f, 5, 5}, {5, 5, 1e6f}, {-3e9f, 5, 1e9f}, {40000, 5, 9000}, {5, 5, -inf}};
  for (const auto& a : args) {
    FakeHost host;
    TestCanvas canvas(30, 20, host, 64);
    canvas.SetProfile(200);
    StampProfile(a[0], a[1], a[2], canvas.context.frame, canvas.context);
    EXPECT_TRUE(canvas.PaddingIntact());
    EXPECT_EQ(LoadStatus(canvas.context), 0);
  }
}

}  // namespace
