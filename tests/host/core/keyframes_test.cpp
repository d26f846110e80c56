// Animated controls: the interpolations between keys with holds outside them,
// stepping lens type, the command line's "F=V:I" form and --keys files with
// their errors.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "host/cli/render_media.h"
#include "host/core/host_error.h"
#include "host/core/keyframes.h"
#include "host/media/keys_file.h"
#include "tests/host/module_fixture.h"

namespace {

using lfhost::AnimatedControls;
using lfhost::CenterPoint;
using lfhost::Coordinate;

CenterPoint Pixels(double x, double y) { return {{x, false}, {y, false}}; }

using lftest::ErrorOf;

TEST(KeyframesTest, NumbersInterpolateLinearlyLensTypeStepsAndBothHoldOutsideTheKeys) {
  AnimatedControls c;
  c.brightness.keys = {{10, 50.0}, {20, 100.0}, {40, 0.0}};
  c.lensType.keys = {{12, 2}, {19, 3}, {30, 1}};
  c.blend.constant = 25;
  // Between 10 and 20 the brightness climbs 5 per frame, between 20 and 40 it falls 5.
  struct Case { int64_t frame; double brightness; int32_t lens; };
  for (const Case& k : std::vector<Case>{{0, 50, 2}, {10, 50, 2}, {11, 55, 2}, {18, 90, 2}, {19, 95, 3}, {20, 100, 3},
                                          {29, 55, 3}, {30, 50, 1}, {39, 5, 1}, {40, 0, 1}, {99999, 0, 1}}) {
    const auto at = c.At(k.frame, 100, 100);
    EXPECT_DOUBLE_EQ(*at.brightness, k.brightness) << "frame " << k.frame;
    EXPECT_EQ(*at.lensType, k.lens) << "frame " << k.frame;
    EXPECT_EQ(*at.blendPercent, 25);
    EXPECT_FALSE(at.centerX.has_value());   // a control not given stays unset
  }
}

TEST(KeyframesTest, CentreInterpolatesPerAxisAndMixedKindsMeetInPixels) {
  struct Case { CenterPoint from, to; Coordinate halfwayX, halfwayY; };
  // Frames 0 and 10 of a 400 x 200 frame, read at frame 5.
  for (const Case& k : std::vector<Case>{
           {Pixels(200, 300), Pixels(1700, 800), {950, false}, {550, false}},
           // Percent keys stay percent, so the centre follows the frame's size.
           {{{0, true}, {10, true}}, {{50, true}, {10, true}}, {25, true}, {10, true}},
           // 100 pixels to 50 % of 400 = 200 pixels: halfway is 150 pixels.
           {{{100, false}, {0, false}}, {{50, true}, {0, false}}, {150, false}, {0, false}}}) {
    AnimatedControls c;
    c.center.keys = {{0, k.from}, {10, k.to}};
    const auto mid = c.At(5, 400, 200);
    EXPECT_EQ(std::pair(mid.centerX->value, mid.centerX->percent), std::pair(k.halfwayX.value, k.halfwayX.percent));
    EXPECT_EQ(std::pair(mid.centerY->value, mid.centerY->percent), std::pair(k.halfwayY.value, k.halfwayY.percent));
    // On a key the key's own value is used as given.
    EXPECT_EQ(c.At(10, 400, 200).centerX->percent, k.to.x.percent);
  }
}

// Keys 0, 50, 100, 100 at frames 0, 10, 20, 30; the key at 10 takes each
// interpolation in turn.
TEST(KeyframesTest, EachInterpolationBetweenTwoKeys) {
  using I = lfhost::Interpolation;
  struct Case { I how; std::vector<std::pair<int64_t, double>> values; };
  const Case cases[] = {
      {I::Linear, {{12, 60}, {15, 75}, {20, 100}}},
      {I::Hold, {{12, 50}, {19, 50}, {20, 100}}},
      {I::Ease, {{12, 55.2}, {15, 75}, {18, 94.8}}},
      {I::EaseIn, {{12, 52}, {15, 62.5}}},
      {I::EaseOut, {{12, 68}, {15, 87.5}}},
      // Leaving 10 at the slope from 0 to 20 (5 a frame), arriving flat at the
      // rest that follows 20.
      {I::Smooth, {{12, 61.6}, {15, 81.25}, {20, 100}}},
  };
  for (const Case& c : cases) {
    AnimatedControls a;
    a.brightness.keys = {{0, 0.0}, {10, 50.0}, {20, 100.0}, {30, 100.0}};
    a.brightness.interpolation[10] = c.how;
    for (const auto& [frame, value] : c.values) {
      EXPECT_NEAR(*a.At(frame, 100, 100).brightness, value, 1e-9) << static_cast<int>(c.how) << " frame " << frame;
    }
    EXPECT_DOUBLE_EQ(*a.At(5, 100, 100).brightness, 25);   // the key at 0 stays linear
  }
  // Smooth never overshoots: resting at 0 before a climb, it stays at 0 where a
  // plain Catmull-Rom curve would dip below.
  AnimatedControls rest;
  rest.brightness.keys = {{0, 0.0}, {10, 0.0}, {20, 100.0}};
  rest.brightness.interpolation = {{0, I::Smooth}, {10, I::Smooth}};
  EXPECT_EQ(*rest.At(5, 100, 100).brightness, 0);
  EXPECT_DOUBLE_EQ(*rest.At(15, 100, 100).brightness, 50);
}

TEST(KeyframesTest, AConstantAndKeysForOneControlCannotBeMixed) {
  lfhost::Track<double> keyed;
  keyed.origin = "--brightness";
  lfhost::AddTrackValue(keyed, int64_t{0}, 0.0);
  EXPECT_NE(ErrorOf([&] { lfhost::AddTrackValue(keyed, std::nullopt, 10.0); }).find("cannot be mixed with keyframes"),
            std::string::npos);
  lfhost::Track<double> flat;
  flat.origin = "--blend";
  lfhost::AddTrackValue(flat, std::nullopt, 10.0);
  EXPECT_EQ(ErrorOf([&] { lfhost::AddTrackValue(flat, std::nullopt, 20.0); }), "--blend: given twice without a frame");
  EXPECT_NE(ErrorOf([&] { lfhost::AddTrackValue(flat, int64_t{3}, 20.0); }).find("cannot be mixed"), std::string::npos);
  lfhost::Track<double> eased;
  eased.origin = "--blend 5:hold";
  EXPECT_EQ(ErrorOf([&] { lfhost::AddTrackValue(eased, std::nullopt, 5.0, lfhost::Interpolation::Hold); }),
            "--blend 5:hold: an interpolation belongs to a keyframe, as in 24=150:smooth");
}

TEST(KeyframesTest, KeyFileGivesTheSameTracksAsTheCommandLine) {
  const auto effect = lftest::StartedEffect();
  const lfhost::ControlReader reader(effect->controls());
  const AnimatedControls c = lfhost::ParseKeyframeJson(R"({
    "center": {"0": [200, "30%"], "96": "1700,800"},
    "brightness": {"0": 0, "24": {"value": 150, "ease": "smooth"}, "30": {"value": "70%", "ease": "hold"}, "40": 0},
    "lens": {"48": "105mm", "60": 2},
    "blend": 25
  })", "shot.json", reader);
  AnimatedControls typed;
  for (const auto& [option, text] : std::vector<std::pair<std::string, std::string>>{
           {"--center", "0=200,30%"}, {"--center", "96=1700,800"}, {"--brightness", "0=0"},
           {"--brightness", "24=150:smooth"}, {"--brightness", "30=70%:hold"}, {"--brightness", "40=0"},
           {"--lens", "48=105mm"}, {"--lens", "60=2"}, {"--blend", "25"}}) {
    lfcli::AddControlOption(typed, reader, option, text);
  }
  for (int64_t frame = 0; frame <= 100; ++frame) {
    const lfhost::ControlSettings a = c.At(frame, 1920, 1080), b = typed.At(frame, 1920, 1080);
    ASSERT_EQ(std::tuple(a.centerX->value, a.centerX->percent, a.centerY->value, a.centerY->percent, *a.brightness,
                         *a.lensType, *a.blendPercent),
              std::tuple(b.centerX->value, b.centerX->percent, b.centerY->value, b.centerY->percent, *b.brightness,
                         *b.lensType, *b.blendPercent)) << "frame " << frame;
  }
  EXPECT_EQ(*c.At(35, 1920, 1080).brightness, 70);   // held
  EXPECT_EQ(*c.At(0, 1920, 1080).lensType, 3);
  EXPECT_TRUE(c.At(0, 1920, 1080).centerY->percent);
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
      {"{\"brigthness\": 5}", "k.json: unknown field \"brigthness\" (the fields are center, brightness, lens, blend and exposure)"},
      {"{\"brightness\": {\"-1\": 5}}", "k.json: \"brightness\": \"-1\" is not a frame number"},
      {"{\"brightness\": {}}", "k.json: \"brightness\": no keyframes"},
      {"{\"center\": {\"track\": 5}}", "k.json: \"center\" \"track\": expected a file name, got 5"},
      {"{\"center\": {\"track\": \"t.csv\", \"y-up\": true}}", "k.json: \"center\" \"y-up\": unknown key"},
      {"{\"center\": {\"track\": \"t.csv\", \"frame_offset\": 1.5}}", "k.json: \"center\" \"frame_offset\": expected a whole"},
      {"{\"blend\": 1, \"blend\": 2}", "k.json: \"blend\": the key is given twice"},
      {"{\"blend\": {\"0\": 1, \"0\": 2}}", "k.json: \"blend\" at frame 0: the key is given twice"},
      {"{\"blend\": {\"7\": 1, \"007\": 2}}", "k.json \"blend\": frame 7 is given twice"},
      {"{\"blend\": {\"7\": {\"value\": 1, \"ease\": \"bounce\"}}}",
       "k.json: \"blend\" at frame 7: \"ease\": \"bounce\" is not an interpolation (linear, hold, ease, ease-in"},
      {"{\"blend\": {\"7\": {\"ease\": \"hold\"}}}", "k.json: \"blend\" at frame 7: no \"value\""},
      {"{\"blend\": {\"7\": {\"value\": 1, \"curve\": 2}}}", "k.json: \"blend\" at frame 7: unknown field \"curve\""},
      {"{\"lens\": {\"7\": {\"value\": 1, \"ease\": \"hold\"}}}",
       "k.json \"lens\" at frame 7: Lens Type steps at each keyframe and takes no interpolation"},
      {"{\"brightness\": {\"3\": 1e309}}", "k.json: \"brightness\" at frame 3: 1e309 is too large for a number"},
      {std::string(64, '[') + std::string(64, ']'), "k.json: the top level must be an object"},
      {std::string(65, '[') + std::string(65, ']'), "k.json: nested more than 64 levels deep"},
      {std::string(100000, '['), "k.json: nested more than 64 levels deep"},
  };
  const auto effect = lftest::StartedEffect();
  const lfhost::ControlReader reader(effect->controls());
  for (const Case& c : cases) {
    const std::string error = ErrorOf([&] { lfhost::ParseKeyframeJson(c.text, "k.json", reader); });
    EXPECT_EQ(error.rfind(c.message, 0), 0u) << "got: " << error << "\nexpected: " << c.message;
  }
  EXPECT_EQ(ErrorOf([&] { lfhost::LoadKeyframeFile("/nonexistent/keys.json", reader); }),
            "/nonexistent/keys.json: no such file");
}

// Every key is checked against the declared ranges (a key out of range is in
// the command line's error table); a centre off the frame is a valid flare.
TEST(KeyframesTest, EveryKeyIsCheckedAgainstTheDeclaredRanges) {
  const auto effect = lftest::StartedEffect();
  AnimatedControls c;
  c.brightness.keys = {{0, 0.0}, {24, 300.0}};
  c.lensType.keys = {{0, 1}, {10, 3}};
  c.center.constant = Pixels(-500, 4000);
  EXPECT_NO_THROW(lfhost::CheckedControls(c, effect->controls(), 64, 48));
  c.blend.origin = "--blend 101";
  c.blend.constant = 101;
  try {
    lfhost::CheckedControls(c, effect->controls(), 64, 48);
    ADD_FAILURE() << "blend 101 was accepted";
  } catch (const lfhost::HostError& e) {
    EXPECT_EQ(std::string(e.what()), "--blend 101: Blend With Original 101 is outside 0 to 100");
  }
}

// The host's exposure is keyed and checked as the module's controls are, and
// each frame's checked values carry it: at the keys and between them.
TEST(KeyframesTest, ExposureIsKeyedAndCheckedAsTheControlsAre) {
  const auto effect = lftest::StartedEffect();
  AnimatedControls c;
  c.exposure.origin = "--exposure";
  c.exposure.keys = {{10, 0.0}, {20, 2.0}, {30, -1.0}};
  c.exposure.interpolation[20] = lfhost::Interpolation::Hold;
  const lfhost::CheckedControls checked(c, effect->controls(), 64, 48);
  struct Case { int64_t frame; double stops; };
  for (const Case& k : std::vector<Case>{{0, 0}, {10, 0}, {15, 1}, {19, 1.8}, {20, 2}, {29, 2}, {30, -1}, {900, -1}}) {
    EXPECT_DOUBLE_EQ(checked.At(k.frame).exposure(), k.stops) << "frame " << k.frame;
  }
  EXPECT_EQ(lfhost::CheckedControls({}, effect->controls(), 64, 48).At(5).exposure(), 0);
  c.exposure.keys[40] = -20.5;
  EXPECT_EQ(ErrorOf([&] { lfhost::CheckedControls(c, effect->controls(), 64, 48); }),
            "--exposure at frame 40: Exposure -20.5 is outside -20 to 20 stops");
}

}  // namespace
