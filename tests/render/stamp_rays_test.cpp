#include "render/stamp_rays.h"

#include <gtest/gtest.h>

#include "render/stamp_profile.h"

#include "tests/support/fake_host.h"

namespace {

// The jitter itself (two rand() draws per pixel, pushing samples outward) is
// pinned by the 105mm whole-render checksums at masks 127 and 31.
TEST(JitterMaskFor, LargestMaskNotAboveAWidthTwelfth) {
  const std::pair<int32_t, uint32_t> cases[] = {
      {720, 31}, {1280, 63}, {1920, 127}, {3840, 255}, {7680, 511}, {12, 1}, {35, 1}, {36, 3}, {11, 0}, {0, 0},
      {-12, 0xFFFFFFFFu},  // -1 compares unsigned as the largest value
  };
  for (const auto& [width, mask] : cases) EXPECT_EQ(JitterMaskFor(width), mask) << width;
}

TEST(StampRays, NarrowFrameMatchesStampProfileExceptTheAllowance) {
  // Width 10: no jitter. left 2.5, right 12.5: the profile stamp keeps column 9
  // (right 10.9), the ray stamp stops at 10 and leaves it.
  FakeHost host;
  TestCanvas rays(10, 10, host), profile(10, 10, host);
  for (TestCanvas* canvas : {&rays, &profile})
    for (auto& p : canvas->profile)
      for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i % 251);  // a byte names its sample
  StampRays(7.5f, 5.0f, 3.0f, rays.context.frame, rays.context);
  StampProfile(7.5f, 5.0f, 3.0f, profile.context.frame, profile.context);
  for (int32_t y = 0; y < 10; ++y)
    for (int32_t x = 0; x < 10; ++x)
      for (int ch = 1; ch <= 3; ++ch) {
        EXPECT_EQ(rays.At(x, y, ch), x == 9 ? 0 : profile.At(x, y, ch)) << x << "," << y;
        if (x == 9) { EXPECT_NE(profile.At(x, y, ch), 0); }
      }
  EXPECT_TRUE(rays.PaddingIntact());
  ASSERT_EQ(host.iterates.size(), 2u);
  EXPECT_EQ(host.iterates[0].count, 1);  // one invocation, one thread
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
