// User settings to module values: 16.16 rounding, every form a control takes
// on the command line, in keys files and in preview requests, and the range
// checks against what the module declared.
#include "host/core/effect_params.h"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "host/cli/render_media.h"
#include "host/core/control_values.h"
#include "host/core/host_error.h"
#include "host/media/keys_file.h"
#include "host/web/preview_api.h"
#include "tests/host/module_fixture.h"

namespace {

using lfhost::ParamValues;

TEST(Fix16Test, RoundsToTheNearestStep) {
  struct Case { double value; std::optional<Fix16> expected; };
  for (const Case& c : {Case{625.0, 40960000}, Case{-100.5, -6586368}, Case{37.5, 2457600},
                        Case{1.0 / 65536 * 0.49, 0}, Case{1.0 / 65536 * 0.51, 1}, Case{-1.0 / 65536 * 0.51, -1},
                        Case{32767.99998, 2147483647}, Case{40000.0, std::nullopt}}) {
    EXPECT_EQ(lfhost::ToFix16(c.value), c.expected) << c.value;
  }
}

class ResolveTest : public testing::Test {
 protected:
  void SetUp() override {
    effect_ = lftest::StartedEffect();
  }
  std::unique_ptr<lfhost::EffectInstance> effect_;
};

// One table for the three ways a control arrives: typed after its option, as a
// keys file's value and in a preview request. Each way gives the same answer:
// the values the module receives for a 1920x1080 frame, or the same message
// after its own origin.
TEST_F(ResolveTest, EveryFrontEndReadsAControlAlike) {
  struct Case {
    const char* control;
    const char* typed;      // after --control; nullptr where only JSON can say it
    const char* json;       // a keys file's value and a request's
    std::function<void(ParamValues&)> accepted;   // the values changed from the defaults
    std::string refusal = {};   // the message when refused
  };
  const std::string lenses = " is not one of 1 to 3, zoom, 35mm or 105mm";
  const std::string notXY = " is not x,y (pixels such as 1210,340, or percent of the frame such as 40%,25%)";
  const std::string notPercent = " is not a number (percent, such as 150 or 70%)";
  const Case cases[] = {
      {"center", "1210,340", "[1210, 340]", [](ParamValues& v) { v.centerX = 1210 << 16, v.centerY = 340 << 16; }},
      {"center", "40%,25%", R"(["40%", "25%"])", [](ParamValues& v) { v.centerX = 768 << 16, v.centerY = 270 << 16; }},
      {"center", "625.25,-100.5", R"("625.25,-100.5")", [](ParamValues& v) { v.centerX = 40976384, v.centerY = -6586368; }},
      {"center", "40000,0", "[40000, 0]", nullptr, "Flare Center x 40000 is outside -32768 to 32767.99998 pixels"},
      {"center", "10,5000%", R"([10, "5000%"])", nullptr,
       "Flare Center y 5000% (54000 pixels) is outside -32768 to 32767.99998 pixels"},
      {"center", "1;2", R"("1;2")", nullptr, "Flare Center \"1;2\"" + notXY},
      {"center", nullptr, "[1]", nullptr, "Flare Center [1]" + notXY},
      {"center", nullptr, R"(["4o%", 2])", nullptr, "Flare Center [\"4o%\",2]" + notXY},
      {"brightness", "150", "150", [](ParamValues& v) { v.brightness = 150; }},
      {"brightness", "70%", R"("70%")", [](ParamValues& v) { v.brightness = 70; }},
      {"brightness", "300", R"("300")", [](ParamValues& v) { v.brightness = 300; }},
      {"brightness", "bright", R"("bright")", nullptr, "Flare Brightness \"bright\"" + notPercent},
      {"brightness", "300.001", "300.001", nullptr, "Flare Brightness 300.001 is outside 0 to 300"},
      {"brightness", "-0.5", "-0.5", nullptr, "Flare Brightness -0.5 is outside 0 to 300"},
      {"brightness", nullptr, "null", nullptr, "Flare Brightness null" + notPercent},
      {"blend", "37.5%", "37.5", [](ParamValues& v) { v.blend = 2457600; }},
      {"blend", "100.001", "100.001", nullptr, "Blend With Original 100.001 is outside 0 to 100"},
      {"blend", "1e12", "1e12", nullptr, "Blend With Original 1e+12 is outside 0 to 100"},
      {"lens", "zoom", R"("zoom")", [](ParamValues& v) { v.lensType = 1; }},
      {"lens", "35MM", R"("35mm")", [](ParamValues& v) { v.lensType = 2; }},
      {"lens", "105mm Prime", R"("105mm prime")", [](ParamValues& v) { v.lensType = 3; }},
      {"lens", "2", "2", [](ParamValues& v) { v.lensType = 2; }},
      {"lens", "4", "4", nullptr, "Lens Type 4" + lenses},
      {"lens", "0", R"("0")", nullptr, "Lens Type 0" + lenses},
      {"lens", "2.5", "2.5", nullptr, "Lens Type 2.5" + lenses},
      // The host's exposure leaves the module's values as they are.
      {"exposure", "-2.5", "-2.5", [](ParamValues&) {}},
      {"exposure", "20.5", "20.5", nullptr, "Exposure 20.5 is outside -20 to 20 stops"},
      {"exposure", "bright", R"("bright")", nullptr, "Exposure \"bright\" is not a number (stops, such as 1.5 or -2)"},
      {"lens", "fisheye", R"("fisheye")", nullptr, "Lens Type \"fisheye\"" + lenses},
      {"lens", nullptr, "99999999999", nullptr, "Lens Type 99999999999" + lenses},
      {"lens", nullptr, "true", nullptr, "Lens Type true" + lenses},
  };
  const lfhost::EffectControls& declared = effect_->controls();
  const lfhost::ControlReader reader(declared);
  // Checked and resolved for one frame, as a render does it.
  auto resolve = [&](const lfhost::AnimatedControls& controls) {
    return lfhost::CheckedControls(controls, declared, 1920, 1080).At(0).values();
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.control) + " " + c.json);
    const std::string control = c.control, json = c.json;
    const std::string body = "{\"" + control + "\": " + json + "}";
    std::vector<std::tuple<std::string, std::string, std::function<ParamValues()>>> frontEnds = {
        {"keys", "k.json \"" + control + "\"", [&] { return resolve(lfhost::ParseKeyframeJson(body, "k.json", reader)); }},
        {"request", control, [&] {
           try {
             return lfweb::ParseRenderRequest(body, declared, 1920, 1080).values.values();
           } catch (const lfhost::HostError& e) {
             EXPECT_EQ(e.kind(), lfhost::ErrorKind::Usage);   // answered 422
             throw;
           }
         }}};
    if (c.typed) {
      frontEnds.emplace_back("typed", "--" + control + " " + c.typed, [&] {
        lfhost::AnimatedControls typed;
        lfcli::AddControlOption(typed, reader, "--" + control, c.typed);
        return resolve(typed);
      });
    }
    ParamValues expected = effect_->DefaultValues(1920, 1080);
    if (c.accepted) c.accepted(expected);
    for (const auto& [name, origin, read] : frontEnds) {
      try {
        const ParamValues v = read();
        EXPECT_TRUE(static_cast<bool>(c.accepted)) << name << " accepted it";
        EXPECT_EQ(std::tuple(v.centerX, v.centerY, v.brightness, v.lensType, v.blend),
                  std::tuple(expected.centerX, expected.centerY, expected.brightness, expected.lensType, expected.blend))
            << name;
      } catch (const lfhost::HostError& e) {
        EXPECT_EQ(e.what(), origin + ": " + c.refusal) << name;
        EXPECT_EQ(e.exitStatus(), 2) << name;
      }
    }
  }
}

TEST_F(ResolveTest, RenderRefusesBadValuesAndHugeFramesBeforeAnyModuleCall) {
  const size_t commands = effect_->Validate().commands().size();
  lfhost::ParamValues bad = effect_->DefaultValues(16, 16);
  bad.lensType = 4;
  // Values reach a render only through a check.
  try {
    effect_->Check(bad);
    ADD_FAILURE() << "lens type 4 was accepted";
  } catch (const lfhost::HostError& e) {
    EXPECT_EQ(std::string(e.what()), "Lens Type: 4 is not one of 1 to 3, zoom, 35mm or 105mm");
    EXPECT_EQ(e.kind(), lfhost::ErrorKind::Usage);
  }
  lfhost::ImageBuffer wide(32768, 1), wideOut(32768, 1);
  try {
    effect_->Render(wide, wideOut, effect_->Defaults(32768, 1));
    ADD_FAILURE() << "a 32768-pixel frame was rendered";
  } catch (const lfhost::HostError& e) {
    EXPECT_NE(std::string(e.what()).find("32767"), std::string::npos) << e.what();
  }
  EXPECT_EQ(effect_->Validate().commands().size(), commands);
}

}  // namespace
