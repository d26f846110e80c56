#include "render/profiles.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "tests/support/fake_host.h"

namespace {

constexpr int32_t kLength = 64;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Sample {
  int channel, index, value;  // channel 0 red, 1 green, 2 blue
};

struct ProfileCase {
  const char* name;
  uint8_t under;  // every sample before the build
  void (*build)(FlareContext&);
  std::vector<uint8_t> redHead;  // when given: the whole red profile, zeros after it
  std::vector<Sample> samples;
};

// The shapes themselves are pinned by the whole-render checksums; these are the
// edges those renders never reach.
TEST(Profiles, EdgeCases) {
  const ProfileCase cases[] = {
      // size 3: n = 12, flat to sample 4, then a = 223 ... 31; 300 saturates.
      {"disc", 0x77, [](FlareContext& c) { BuildDiscProfile(3.0f, 255, 256, 300, 0, c); },
       {254, 254, 254, 254, 254, 222, 190, 158, 126, 94, 62, 30}, {{1, 5, 223}, {1, 11, 31}, {2, 0, 255}}},
      {"disc below eight samples starts on the ramp", 0x77,
       [](FlareContext& c) { BuildDiscProfile(1.0f, 256, 0, 0, 0, c); }, {127, 95, 63, 31}, {}},
      {"disc size 0 clears", 0x77, [](FlareContext& c) { BuildDiscProfile(0.0f, 255, 255, 255, 0, c); }, {0}, {}},
      {"NaN size reads as 0", 0x77, [](FlareContext& c) { BuildDiscProfile(kNaN, 255, 0, 0, 0, c); }, {0}, {}},
      {"soft disc size 0", 0x77, [](FlareContext& c) { BuildSoftDiscProfile(0.0f, 255, 255, 255, 0, 8, c); },
       {0}, {}},
      {"ring size 0", 0x77, [](FlareContext& c) { BuildRingProfile(0.0f, 255, 255, 255, 0, 8, c); }, {0}, {}},
      // Glow and rim disc keep four samples at size 0: ch (4 - k - 1)^2 / 16 and ch (k + 1)^2 / 16.
      {"glow size 0", 0x77, [](FlareContext& c) { BuildGlowProfile(0.0f, 200, 0, 0, 0, c); }, {112, 50, 12, 0}, {}},
      {"rim disc size 0", 0x77, [](FlareContext& c) { BuildRimDiscProfile(0.0f, 160, 0, 0, c); },
       {10, 40, 90, 160}, {}},
      // R = 4 x 3 - 8 = 4; a 0 channel is stored as 1 inside R; 10 / 16 truncates to 0.
      {"rim disc", 0x77, [](FlareContext& c) { BuildRimDiscProfile(3.0f, 160, 0, 10, c); },
       {10, 40, 90, 160, 159, 139, 119, 99, 79, 59, 39, 19}, {{1, 3, 1}, {1, 4, 0}, {2, 0, 0}}},
      {"rim disc saturates", 0x77, [](FlareContext& c) { BuildRimDiscProfile(3.0f, 300, 0, 0, c); }, {},
       {{0, 0, 18}, {0, 3, 255}}},
      // Cut at the profile end; the ring's peak moves in to L - w so its outer foot stays at L.
      {"disc past the end", 0x77, [](FlareContext& c) { BuildDiscProfile(100.0f, 256, 0, 0, 0, c); }, {},
       {{0, 56, 255}, {0, 57, 223}, {0, 63, 31}}},
      {"ring past the end", 0x77, [](FlareContext& c) { BuildRingProfile(100.0f, 256, 0, 0, 0, 8, c); }, {},
       {{0, 56, 255}, {0, 52, 127}, {0, 63, 31}}},
      // R = 10.5: samples 0..10 are written, set mode clears from 10 on.
      {"fractional ring", 0x77, [](FlareContext& c) { BuildRingProfile(2.625f, 255, 0, 0, 0, 4, c); }, {},
       {{0, 10, 30}, {0, 11, 0}}},
      {"fractional glow", 0x77, [](FlareContext& c) { BuildGlowProfile(2.625f, 32767, 0, 0, 0, c); }, {},
       {{0, 10, 74}, {0, 11, 0}}},  // 32767 x (0.25 / 10.5) / 10.5
      {"fractional soft disc", 0x77, [](FlareContext& c) { BuildSoftDiscProfile(2.625f, 256, 0, 0, 0, 4, c); },
       {}, {{0, 9, 95}, {0, 10, 31}, {0, 11, 0}}},  // e = 2.5, 3.5: 255 - 64e
      // Integer screen with the truncated complement: v = 254.0039 over 100 gives
      // 255, not the 254 of screening trunc(v); outside the shape the profile stays.
      {"combine screens", 100, [](FlareContext& c) { BuildDiscProfile(3.0f, 255, 256, 0, 1, c); }, {},
       {{0, 0, 255}, {0, 12, 100}}},
      {"combine rounds the product", 128, [](FlareContext& c) { BuildDiscProfile(1.0f, 256, 0, 0, 1, c); }, {},
       {{0, 0, 191}}},  // v = 127: 255 - round(127 x 128 / 255)
      // The glow screens in float: v = 112.5 over 100 gives trunc(168.38), not 169.
      {"glow screens in float", 100, [](FlareContext& c) { BuildGlowProfile(1.0f, 200, 0, 0, 1, c); }, {},
       {{0, 0, 168}, {0, 4, 100}}},
  };
  for (const ProfileCase& c : cases) {
    FakeHost host;
    TestCanvas canvas(4, 4, host, kLength);
    canvas.SetProfile(c.under);
    c.build(canvas.context);
    if (!c.redHead.empty()) {
      std::vector<uint8_t> expected = c.redHead;
      expected.resize(kLength, 0);
      EXPECT_EQ(canvas.profile[0], expected) << c.name;
    }
    for (const Sample& s : c.samples)
      EXPECT_EQ(canvas.profile[s.channel][s.index], s.value) << c.name << ": " << s.channel << "/" << s.index;
  }
}

TEST(Profiles, WidthBelowFourBehavesAsFour) {
  FakeHost host;
  TestCanvas canvas(4, 4, host, kLength);
  using Builder = void (*)(float, int16_t, int16_t, int16_t, uint8_t, int16_t, FlareContext&);
  for (Builder build : {Builder{&BuildRingProfile}, Builder{&BuildSoftDiscProfile}}) {
    build(6.0f, 256, 9, 77, 0, 4, canvas.context);
    const std::vector<uint8_t> four = canvas.profile[0];
    for (int16_t width : {1, 2, 3, -5}) {
      build(6.0f, 256, 9, 77, 0, width, canvas.context);
      EXPECT_EQ(canvas.profile[0], four) << width;
    }
  }
}

TEST(Profiles, BrokenSizesStayInsideTheProfile) {
  // Guard samples past the profile's length must survive every builder.
  FakeHost host;
  TestCanvas canvas(4, 4, host, kLength + 16);
  canvas.SetProfile(0x5A);
  canvas.context.profileLength = kLength;
  for (float size : {-3.0f, kNaN, std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                     3e38f}) {
    BuildDiscProfile(size, 255, 255, 255, 0, canvas.context);
    BuildSoftDiscProfile(size, 255, 255, 255, 1, 8, canvas.context);
    BuildRingProfile(size, 255, 255, 255, 1, 8, canvas.context);
    BuildGlowProfile(size, 255, 255, 255, 1, canvas.context);
    BuildRimDiscProfile(size, 255, 255, 255, canvas.context);
  }
  for (const auto& p : canvas.profile)
    EXPECT_EQ(std::vector<uint8_t>(p.begin() + kLength, p.end()), std::vector<uint8_t>(16, 0x5A));
}

}  // namespace
