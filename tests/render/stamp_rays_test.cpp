#include "render/stamp_rays.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "render/fixed_point.h"
#include "tests/support/fake_host.h"

namespace {

// Sample i = i mod 251, so a drawn byte names the index it came from (below 251).
void IndexProfile(TestCanvas& canvas) {
  FlareContext& c = canvas.context;
  for (int32_t i = 0; i < c.profileLength; ++i)
    c.profileRed[i] = c.profileGreen[i] = c.profileBlue[i] = static_cast<uint8_t>(i % 251);
}

TEST(JitterMaskFor, LargestMaskNotAboveAWidthTwelfth) {
  const std::pair<int32_t, uint32_t> cases[] = {
      {720, 31},  {1280, 63}, {1920, 127}, {3840, 255}, {7680, 511}, {12, 1},
      {35, 1},    {36, 3},    {11, 0},     {0, 0},
      {-12, 0xFFFFFFFFu},  // -1 compares unsigned as the largest value
  };
  for (const auto& [width, mask] : cases) EXPECT_EQ(JitterMaskFor(width), mask) << width;
}

TEST(StampRays, NarrowFrameMatchesStampProfileExceptTheAllowance) {
  // Width 10: no jitter. left 2.5, right 12.5: the profile stamp keeps column 9
  // (right 10.9), the ray stamp stops at 10 and leaves it.
  FakeHost host;
  TestCanvas rays(10, 10, host);
  TestCanvas profile(10, 10, host);
  IndexProfile(rays);
  IndexProfile(profile);
  StampRays(7.5f, 5.0f, 3.0f, rays.context.frame, rays.context);
  StampProfile(7.5f, 5.0f, 3.0f, profile.context.frame, profile.context);
  for (int32_t y = 0; y < 10; ++y)
    for (int32_t x = 0; x < 10; ++x)
      for (int ch = 1; ch <= 3; ++ch) {
        if (x == 9) {
          EXPECT_EQ(rays.At(x, y, ch), 0);
          EXPECT_NE(profile.At(x, y, ch), 0);
        } else {
          EXPECT_EQ(rays.At(x, y, ch), profile.At(x, y, ch)) << x << "," << y;
        }
      }
  ASSERT_EQ(host.iterates.size(), 2u);
  EXPECT_EQ(host.iterates[0].count, 1);  // one invocation, one thread
}

TEST(StampRays, RightEdgeWithoutAllowance) {
  FakeHost host;
  TestCanvas canvas(100, 20, host);
  canvas.SetProfile(200);
  StampRays(97.5f, 10.0f, 5.0f, canvas.context.frame, canvas.context);  // left 90.5, right 100
  EXPECT_EQ(canvas.At(89, 10, 1), 0);
  EXPECT_EQ(canvas.At(90, 10, 1), 200);
  EXPECT_EQ(canvas.At(98, 10, 1), 200);
  EXPECT_EQ(canvas.At(99, 10, 1), 0);
  EXPECT_TRUE(canvas.PaddingIntact());
}

TEST(StampRays, JitterPushesSamplesOutwardByTwoDrawsPerPixel) {
  // Width 1920: mask 127; radius 98: reach 100. The box is 200 x 200 from
  // (900, 10), centre (1000, 110), so (centerQx, centerQy) = (400, 400).
  FakeHost host;
  TestCanvas canvas(1920, 220, host);
  IndexProfile(canvas);
  std::srand(1234);
  StampRays(1000.0f, 110.0f, 98.0f, canvas.context.frame, canvas.context);
  EXPECT_EQ(LoadStatus(canvas.context), 0);
  const int next = std::rand();

  // Exactly 2 x 200 x 200 draws were made.
  std::srand(1234);
  const int firstDraw = std::rand();
  const int secondDraw = std::rand();
  for (int i = 2; i < 2 * 200 * 200; ++i) std::rand();
  EXPECT_EQ(std::rand(), next);

  // The box's first pixel lies FastHypot(400, 400) = 565 quarters out; only the
  // second draw's low seven bits reach the mask (the first is shifted by 16).
  (void)firstDraw;
  const uint32_t j = static_cast<uint32_t>(secondDraw) & 127u;
  const int32_t expectedIndex = static_cast<int32_t>(static_cast<float>(j * 565) / 100.0f + 565.0f);
  EXPECT_EQ(canvas.At(900, 10, 1), expectedIndex % 251);

  int jittered = 0;
  HypotTable& table = canvas.context.hypotTable;
  for (int32_t r = 0; r < 200; ++r)
    for (int32_t c = 0; c < 200; ++c) {
      const int32_t d = FastHypot(table, 400 - 4 * c, 400 - 4 * r);
      const int32_t highest = d + 127 * d / 100;
      if (highest >= 251) continue;
      const int32_t got = canvas.At(900 + c, 10 + r, 1);
      ASSERT_GE(got, d) << c << "," << r;
      ASSERT_LE(got, highest) << c << "," << r;
      if (d == 0) {
        EXPECT_EQ(got, 0);
      }
      if (got > d) ++jittered;
    }
  EXPECT_GT(jittered, 100);
}

TEST(StampRays, CancelStopsPartWay) {
  FakeHost host;
  host.abortAfterPolls = 2;
  TestCanvas canvas(40, 40, host);
  canvas.SetProfile(200);
  StampRays(20.0f, 20.0f, 8.0f, canvas.context.frame, canvas.context);  // rows 10..29
  EXPECT_EQ(LoadStatus(canvas.context), 517);
  EXPECT_EQ(canvas.At(20, 11, 1), 200);
  EXPECT_EQ(canvas.At(20, 12, 1), 0);
}

}  // namespace
