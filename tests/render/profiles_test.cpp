#include "render/profiles.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "tests/support/fake_host.h"

namespace {

constexpr int32_t kLength = 64;
constexpr uint8_t kStale = 0x77;

class ProfilesTest : public ::testing::Test {
 protected:
  FakeHost host;
  TestCanvas canvas{4, 4, host, kLength};
  FlareContext& context = canvas.context;

  void SetUp() override { canvas.SetProfile(kStale); }
  std::vector<uint8_t> Red() const { return {context.profileRed, context.profileRed + kLength}; }
  std::vector<uint8_t> Green() const { return {context.profileGreen, context.profileGreen + kLength}; }
  // Expected red buffer: `head` then `fill` up to the end.
  static std::vector<uint8_t> Expect(std::vector<uint8_t> head, uint8_t fill) {
    head.resize(kLength, fill);
    return head;
  }
};

TEST_F(ProfilesTest, DiscFlatThenTwoPixelEdge) {
  // size 3: n = 12, flat (a = 255) to sample 4, then a = 223 ... 31.
  BuildDiscProfile(3.0f, 255, 256, 300, 0, context);
  EXPECT_EQ(Red(), Expect({254, 254, 254, 254, 254, 222, 190, 158, 126, 94, 62, 30}, 0));
  EXPECT_EQ(Green(), Expect({255, 255, 255, 255, 255, 223, 191, 159, 127, 95, 63, 31}, 0));
  EXPECT_EQ(context.profileBlue[0], 255);  // 300 saturates
}

TEST_F(ProfilesTest, DiscBelowEightSamplesStartsOnTheRamp) {
  BuildDiscProfile(1.0f, 256, 0, 0, 0, context);  // n = 4: e = 4 .. 7
  EXPECT_EQ(Red(), Expect({127, 95, 63, 31}, 0));
}

TEST_F(ProfilesTest, ShapesAreCutAtTheProfileEnd) {
  BuildDiscProfile(100.0f, 256, 0, 0, 0, context);
  EXPECT_EQ(context.profileRed[56], 255);  // flat up to n - 8
  EXPECT_EQ(context.profileRed[57], 223);
  EXPECT_EQ(context.profileRed[63], 31);
  // The ring's peak moves inward to L - w so that its outer foot stays at L.
  BuildRingProfile(100.0f, 256, 0, 0, 0, 8, context);
  EXPECT_EQ(context.profileRed[56], 255);
  EXPECT_EQ(context.profileRed[52], 127);
  EXPECT_EQ(context.profileRed[63], 31);
}

TEST_F(ProfilesTest, SetModeSizeZero) {
  BuildDiscProfile(0.0f, 255, 255, 255, 0, context);
  EXPECT_EQ(Red(), Expect({}, 0));
  canvas.SetProfile(kStale);
  BuildSoftDiscProfile(0.0f, 255, 255, 255, 0, 8, context);
  EXPECT_EQ(Red(), Expect({}, 0));
  canvas.SetProfile(kStale);
  BuildRingProfile(0.0f, 255, 255, 255, 0, 8, context);
  EXPECT_EQ(Red(), Expect({}, 0));
  // Glow and rim disc keep their four-sample minimum: ch x (4 - k - 1)^2 / 16
  // and ch x (k + 1)^2 / 16.
  canvas.SetProfile(kStale);
  BuildGlowProfile(0.0f, 200, 0, 0, 0, context);
  EXPECT_EQ(Red(), Expect({112, 50, 12, 0}, 0));
  canvas.SetProfile(kStale);
  BuildRimDiscProfile(0.0f, 160, 0, 0, context);
  EXPECT_EQ(Red(), Expect({10, 40, 90, 160}, 0));
}

TEST_F(ProfilesTest, SoftDiscFadesLinearlyOverItsBand) {
  // R = 40, w = 8, step 32: flat to 32, then 255 - 32e.
  BuildSoftDiscProfile(10.0f, 256, 0, 0, 0, 8, context);
  EXPECT_EQ(context.profileRed[0], 255);
  EXPECT_EQ(context.profileRed[32], 255);
  EXPECT_EQ(context.profileRed[33], 223);
  EXPECT_EQ(context.profileRed[36], 127);
  EXPECT_EQ(context.profileRed[39], 31);
  EXPECT_EQ(context.profileRed[40], 0);
}

TEST_F(ProfilesTest, RingIsATriangleAroundItsPeak) {
  BuildRingProfile(10.0f, 255, 256, 0, 0, 8, context);  // peak at 40 - 8 = 32
  EXPECT_EQ(context.profileRed[32], 254);
  EXPECT_EQ(context.profileGreen[28], 127);
  EXPECT_EQ(context.profileGreen[36], 127);
  EXPECT_EQ(context.profileGreen[39], 31);
  EXPECT_EQ(context.profileGreen[24], 0);
  EXPECT_EQ(context.profileGreen[0], 0);
  EXPECT_EQ(context.profileGreen[40], 0);
}

TEST_F(ProfilesTest, WidthBelowFourBehavesAsFour) {
  for (int16_t width : {1, 2, 3, -5}) {
    BuildRingProfile(6.0f, 256, 9, 77, 0, 4, context);
    const std::vector<uint8_t> ring = Red();
    BuildRingProfile(6.0f, 256, 9, 77, 0, width, context);
    EXPECT_EQ(Red(), ring) << width;
    BuildSoftDiscProfile(6.0f, 256, 9, 77, 0, 4, context);
    const std::vector<uint8_t> soft = Red();
    BuildSoftDiscProfile(6.0f, 256, 9, 77, 0, width, context);
    EXPECT_EQ(Red(), soft) << width;
  }
}

TEST_F(ProfilesTest, FractionalRadiusWritesToCeilAndClearsFromTrunc) {
  // R = 10.5: samples 0..10 are written, set mode clears from 10 onwards.
  BuildRingProfile(2.625f, 255, 0, 0, 0, 4, context);
  EXPECT_EQ(context.profileRed[10], 30);  // |10 - 6.5| = 3.5: a = 31
  EXPECT_EQ(context.profileRed[11], 0);
  BuildGlowProfile(2.625f, 32767, 0, 0, 0, context);
  EXPECT_EQ(context.profileRed[10], 74);  // i = 11 > R: 32767 x (0.25 / 10.5) / 10.5
  EXPECT_EQ(context.profileRed[11], 0);
  BuildSoftDiscProfile(2.625f, 256, 0, 0, 0, 4, context);
  EXPECT_EQ(context.profileRed[9], 95);   // e = 9 - 6.5 = 2.5: 255 - 160
  EXPECT_EQ(context.profileRed[10], 31);  // e = 3.5: 255 - 224
  EXPECT_EQ(context.profileRed[11], 0);
}

TEST_F(ProfilesTest, RimDiscOverwritesTheDiscInsideItsRim) {
  BuildRimDiscProfile(3.0f, 160, 0, 10, context);  // R = 4 x 3 - 8 = 4
  EXPECT_EQ(Red(), Expect({10, 40, 90, 160, 159, 139, 119, 99, 79, 59, 39, 19}, 0));
  EXPECT_EQ(Green(), Expect({1, 1, 1, 1}, 0));  // a channel of 0 is stored as 1 inside R
  EXPECT_EQ(context.profileBlue[0], 0);         // 10 / 16 truncates to 0
  BuildRimDiscProfile(3.0f, 300, 0, 0, context);
  EXPECT_EQ(context.profileRed[0], 18);
  EXPECT_EQ(context.profileRed[3], 255);
}

TEST_F(ProfilesTest, CombineWithZeroColourLeavesTheProfile) {
  for (int32_t k = 0; k < kLength; ++k) context.profileRed[k] = static_cast<uint8_t>(k * 7);
  const std::vector<uint8_t> before = Red();
  BuildDiscProfile(8.0f, 0, 0, 0, 1, context);
  BuildSoftDiscProfile(8.0f, 0, 0, 0, 1, 6, context);
  BuildRingProfile(8.0f, 0, 0, 0, 1, 6, context);
  BuildGlowProfile(8.0f, 0, 0, 0, 1, context);
  EXPECT_EQ(Red(), before);
}

TEST_F(ProfilesTest, CombineScreens) {
  // Integer screen with the truncated complement: v = 254.0039 over 100 has the
  // complement trunc(0.996) = 0 and gives 255 (not the 254 of screening trunc(v)).
  canvas.SetProfile(100);
  BuildDiscProfile(3.0f, 255, 256, 0, 1, context);
  EXPECT_EQ(context.profileRed[0], 255);
  EXPECT_EQ(context.profileRed[12], 100);  // outside the shape: kept
  canvas.SetProfile(128);
  BuildDiscProfile(1.0f, 256, 0, 0, 1, context);  // v = 127: 255 - round(127 x 128 / 255)
  EXPECT_EQ(context.profileRed[0], 191);
  // The glow's float screen: v = 112.5 over 100 gives trunc(168.38) = 168 where
  // the integer screen would give 169.
  canvas.SetProfile(100);
  BuildGlowProfile(1.0f, 200, 0, 0, 1, context);
  EXPECT_EQ(context.profileRed[0], 168);
  EXPECT_EQ(context.profileRed[4], 100);
}

TEST_F(ProfilesTest, BrokenSizesStayInsideTheProfile) {
  const float sizes[] = {-3.0f, std::numeric_limits<float>::quiet_NaN(),
                         std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                         3e38f};
  for (float size : sizes) {
    BuildDiscProfile(size, 255, 255, 255, 0, context);
    BuildSoftDiscProfile(size, 255, 255, 255, 1, 8, context);
    BuildRingProfile(size, 255, 255, 255, 1, 8, context);
    BuildGlowProfile(size, 255, 255, 255, 1, context);
    BuildRimDiscProfile(size, 255, 255, 255, context);
  }
  // A NaN size reads as 0: the disc clears everything.
  BuildDiscProfile(std::numeric_limits<float>::quiet_NaN(), 255, 0, 0, 0, context);
  EXPECT_EQ(Red(), Expect({}, 0));
}

}  // namespace
