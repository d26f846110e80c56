// Animated controls: linear interpolation with holds outside the keys, stepping
// lens type, the command line's "F=V" form and --keys files with their errors.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "host/host_error.h"
#include "host/keyframes.h"
#include "tests/host/module_fixture.h"

namespace {

using lfhost::AnimatedControls;
using lfhost::CenterPoint;
using lfhost::Coordinate;

CenterPoint Pixels(double x, double y) { return {{x, false}, {y, false}}; }

std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const lfhost::HostError& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(KeyframesTest, NumbersInterpolateLinearlyAndHoldOutsideTheKeys) {
  AnimatedControls c;
  c.brightness.keys = {{10, 50.0}, {20, 100.0}, {40, 0.0}};
  struct Case { int64_t frame; double brightness; };
  // Between 10 and 20 the value climbs 5 per frame, between 20 and 40 it falls 5.
  for (const Case& k : std::vector<Case>{{0, 50}, {9, 50}, {10, 50}, {11, 55}, {15, 75}, {19, 95}, {20, 100},
                                          {30, 50}, {39, 5}, {40, 0}, {1000, 0}}) {
    EXPECT_DOUBLE_EQ(*c.At(k.frame, 100, 100).brightness, k.brightness) << "frame " << k.frame;
  }
  EXPECT_FALSE(c.At(15, 100, 100).lensType.has_value());   // a control not given stays unset
  c.blend.constant = 25;
  EXPECT_EQ(*c.At(0, 100, 100).blendPercent, 25);
  EXPECT_EQ(*c.At(99999, 100, 100).blendPercent, 25);
}

TEST(KeyframesTest, LensTypeStepsAtEachKey) {
  AnimatedControls c;
  c.lensType.keys = {{12, 2}, {48, 3}, {60, 1}};
  struct Case { int64_t frame; int32_t lens; };
  for (const Case& k : std::vector<Case>{{0, 2}, {12, 2}, {47, 2}, {48, 3}, {59, 3}, {60, 1}, {500, 1}}) {
    EXPECT_EQ(*c.At(k.frame, 10, 10).lensType, k.lens) << "frame " << k.frame;
  }
}

TEST(KeyframesTest, CentreInterpolatesPerAxisAndMixedKindsMeetInPixels) {
  AnimatedControls c;
  c.center.keys = {{0, Pixels(200, 300)}, {96, Pixels(1700, 800)}};
  const auto mid = c.At(48, 1920, 1080);
  EXPECT_DOUBLE_EQ(mid.centerX->value, 950);
  EXPECT_DOUBLE_EQ(mid.centerY->value, 550);
  EXPECT_FALSE(mid.centerX->percent);

  // Percent keys stay percent, so the centre follows the frame's size.
  c.center.keys = {{0, {{0, true}, {10, true}}}, {10, {{50, true}, {10, true}}}};
  const auto quarter = c.At(5, 400, 200);
  EXPECT_DOUBLE_EQ(quarter.centerX->value, 25);
  EXPECT_TRUE(quarter.centerX->percent);
  EXPECT_DOUBLE_EQ(quarter.centerY->value, 10);

  // 100 pixels to 50 % of 400 = 200 pixels: halfway is 150 pixels.
  c.center.keys = {{0, {{100, false}, {0, false}}}, {10, {{50, true}, {0, false}}}};
  const auto mixed = c.At(5, 400, 200);
  EXPECT_DOUBLE_EQ(mixed.centerX->value, 150);
  EXPECT_FALSE(mixed.centerX->percent);
  // On a key the key's own value is used as given.
  EXPECT_TRUE(c.At(10, 400, 200).centerX->percent);
}

TEST(KeyframesTest, CommandLineValuesAndTheirMistakes) {
  const auto keyed = lfhost::SplitKeyedText("--center", "96=1700,800");
  EXPECT_EQ(keyed.frame, 96);
  EXPECT_EQ(keyed.value, "1700,800");
  const auto constant = lfhost::SplitKeyedText("--brightness", "150");
  EXPECT_FALSE(constant.frame.has_value());
  EXPECT_EQ(constant.value, "150");
  EXPECT_EQ(ErrorOf([] { lfhost::SplitKeyedText("--brightness", "-2=5"); }),
            "--brightness: \"-2\" in \"-2=5\" is not a frame number (a whole number from 0 up)");

  lfhost::Track<double> track;
  track.origin = "--brightness";
  lfhost::AddTrackValue(track, int64_t{0}, 0.0);
  lfhost::AddTrackValue(track, int64_t{24}, 150.0);
  EXPECT_NE(ErrorOf([&] { lfhost::AddTrackValue(track, std::nullopt, 10.0); }).find("cannot be mixed with keyframes"),
            std::string::npos);
  lfhost::Track<double> flat;
  flat.origin = "--blend";
  lfhost::AddTrackValue(flat, std::nullopt, 10.0);
  EXPECT_EQ(ErrorOf([&] { lfhost::AddTrackValue(flat, std::nullopt, 20.0); }), "--blend: given twice without a frame");
  EXPECT_NE(ErrorOf([&] { lfhost::AddTrackValue(flat, int64_t{3}, 20.0); }).find("cannot be mixed"), std::string::npos);
}

TEST(KeyframesTest, KeyFileGivesTheSameTracksAsTheCommandLine) {
  const AnimatedControls c = lfhost::ParseKeyframeJson(R"({
    "center": {"0": [200, "30%"], "96": "1700,800"},
    "brightness": {"0": 0, "24": 150},
    "lens": {"48": "105mm", "60": 2},
    "blend": 25
  })", "shot.json");
  EXPECT_EQ(c.brightness.keys.size(), 2u);
  EXPECT_DOUBLE_EQ(*c.At(12, 1920, 1080).brightness, 75);
  EXPECT_EQ(*c.At(0, 1920, 1080).lensType, 3);
  EXPECT_EQ(*c.At(60, 1920, 1080).lensType, 2);
  EXPECT_EQ(*c.At(7, 1920, 1080).blendPercent, 25);
  const auto start = c.At(0, 1920, 1080);
  EXPECT_EQ(start.centerX->value, 200);
  EXPECT_FALSE(start.centerX->percent);
  EXPECT_EQ(start.centerY->value, 30);
  EXPECT_TRUE(start.centerY->percent);
  // 30 % of 1080 is 324 pixels; halfway to 800 is 562.
  EXPECT_DOUBLE_EQ(c.At(48, 1920, 1080).centerY->value, 562);
  EXPECT_EQ(c.brightness.origin, "shot.json \"brightness\"");

  // A control given on the command line replaces the file's track for it.
  AnimatedControls fromFile = c;
  AnimatedControls fromOptions;
  fromOptions.brightness.constant = 10;
  fromFile.OverrideWith(fromOptions);
  EXPECT_EQ(*fromFile.At(24, 1920, 1080).brightness, 10);
  EXPECT_EQ(*fromFile.At(0, 1920, 1080).lensType, 3);
}

TEST(KeyframesTest, BadKeyFilesNameTheLineOrTheField) {
  struct Case { std::string text, message; };
  const std::vector<Case> cases = {
      {"{\n  \"brightness\": {\"0\": 10,\n  }\n}", "k.json: line 3: not valid JSON (syntax error"},
      {"{\"brightness\": {\"0\": 10}", "k.json: line 1: not valid JSON"},
      {"[1, 2]", "k.json: the top level must be an object"},
      {"{\"brigthness\": 5}", "k.json: unknown field \"brigthness\" (the fields are center, brightness, lens and blend)"},
      {"{\"brightness\": {\"ten\": 5}}", "k.json: \"brightness\": \"ten\" is not a frame number"},
      {"{\"brightness\": {\"-1\": 5}}", "k.json: \"brightness\": \"-1\" is not a frame number"},
      {"{\"brightness\": {\"24\": \"150\"}}", "k.json: \"brightness\" at frame 24: expected a number, got \"150\""},
      {"{\"brightness\": {}}", "k.json: \"brightness\": no keyframes"},
      {"{\"lens\": {\"5\": 4}}", "k.json: \"lens\" at frame 5: 4 is not a lens"},
      {"{\"lens\": \"fisheye\"}", "k.json: \"lens\": \"fisheye\" is not a lens"},
      {"{\"center\": {\"0\": [1]}}", "k.json: \"center\" at frame 0: expected [x, y] or \"x,y\", got [1]"},
      {"{\"center\": [\"4o%\", 2]}", "k.json: \"center\": expected pixels (a number) or a percentage"},
      {"{\"center\": \"1;2\"}", "k.json: \"center\": expected [x, y] or \"x,y\""},
      {"{\"blend\": null}", "k.json: \"blend\": expected a number, got null"},
  };
  for (const Case& c : cases) {
    const std::string error = ErrorOf([&] { lfhost::ParseKeyframeJson(c.text, "k.json"); });
    EXPECT_EQ(error.rfind(c.message, 0), 0u) << "got: " << error << "\nexpected: " << c.message;
  }
  EXPECT_EQ(ErrorOf([] { lfhost::LoadKeyframeFile("/nonexistent/keys.json"); }),
            "/nonexistent/keys.json: cannot open the keyframe file");
}

TEST(KeyframesTest, EveryKeyIsCheckedAgainstTheDeclaredRanges) {
  const auto effect = lftest::StartedEffect();
  AnimatedControls c;
  c.brightness.origin = "--brightness";
  c.brightness.keys = {{0, 0.0}, {24, 300.0}};
  c.lensType.origin = "--lens";
  c.lensType.keys = {{0, 1}, {10, 3}};
  c.center.origin = "--center";
  c.center.constant = Pixels(-500, 4000);   // off the frame is a valid flare
  EXPECT_EQ(lfhost::CheckAnimatedControls(c, effect->controls(), 64, 48), std::nullopt);
  c.brightness.keys[24] = 300.5;
  EXPECT_EQ(lfhost::CheckAnimatedControls(c, effect->controls(), 64, 48),
            "--brightness at frame 24: Flare Brightness 300.5 is outside 0 to 300");
  c.brightness.keys[24] = 100;
  c.blend.origin = "--blend 101";
  c.blend.constant = 101;
  const auto blend = lfhost::CheckAnimatedControls(c, effect->controls(), 64, 48);
  ASSERT_TRUE(blend.has_value());
  EXPECT_EQ(blend->rfind("--blend 101: Blend With Original 101 is outside 0 to 100", 0), 0u) << *blend;
}

}  // namespace
