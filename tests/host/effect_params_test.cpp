// User settings to module values: 16.16 rounding, percent defaults and the
// range checks against what the module declared.
#include "host/core/effect_params.h"

#include <gtest/gtest.h>

#include "host/core/host_error.h"
#include "tests/host/module_fixture.h"

namespace {

using lfhost::ControlSettings;
using lfhost::Coordinate;

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

TEST_F(ResolveTest, SettingsConvertAndOutOfRangeValuesAreRefusedByControl) {
  struct Case {
    const char* name;
    ControlSettings settings;
    int refusedParam;     // 0: accepted
    Fix16 centerX;
    Fix16 blend;
  };
  auto with = [](auto edit) { ControlSettings s; edit(s); return s; };
  const std::vector<Case> cases = {
      {"pixels", with([](ControlSettings& s) { s.centerX = Coordinate{625.25, false}; }), 0, 40976384, 0},
      {"percent", with([](ControlSettings& s) { s.centerX = Coordinate{50, true}; }), 0, 960 << 16, 0},
      {"blend", with([](ControlSettings& s) { s.blendPercent = 37.5; }), 0, 768 << 16, 2457600},
      {"blend max", with([](ControlSettings& s) { s.blendPercent = 100; }), 0, 768 << 16, 100 << 16},
      {"brightness max", with([](ControlSettings& s) { s.brightness = 300; }), 0, 768 << 16, 0},
      {"brightness over", with([](ControlSettings& s) { s.brightness = 300.001; }), 2, 0, 0},
      {"brightness under", with([](ControlSettings& s) { s.brightness = -0.5; }), 2, 0, 0},
      {"lens 0", with([](ControlSettings& s) { s.lensType = 0; }), 3, 0, 0},
      {"lens 4", with([](ControlSettings& s) { s.lensType = 4; }), 3, 0, 0},
      {"blend over", with([](ControlSettings& s) { s.blendPercent = 100.001; }), 4, 0, 0},
      {"centre too far", with([](ControlSettings& s) { s.centerY = Coordinate{1e6, false}; }), 1, 0, 0},
  };
  for (const Case& c : cases) {
    const lfhost::ResolvedParams r = lfhost::ResolveParamValues(c.settings, effect_->controls(), 1920, 1080);
    if (c.refusedParam == 0) {
      ASSERT_FALSE(r.error) << c.name << ": " << r.error->detail;
      EXPECT_EQ(r.values.centerX, c.centerX) << c.name;
      EXPECT_EQ(r.values.blend, c.blend) << c.name;
    } else {
      ASSERT_TRUE(r.error) << c.name;
      EXPECT_EQ(r.error->paramIndex, c.refusedParam) << c.name;
    }
  }
}

TEST_F(ResolveTest, RenderRefusesBadValuesAndHugeFramesBeforeAnyModuleCall) {
  const size_t commands = effect_->commandsSent().size();
  lfhost::ParamValues bad = effect_->DefaultValues(16, 16);
  bad.lensType = 4;
  lfhost::ImageBuffer small(16, 16), smallOut(16, 16);
  EXPECT_THROW(effect_->Render(small, smallOut, bad), lfhost::HostError);
  lfhost::ImageBuffer wide(32768, 1), wideOut(32768, 1);
  try {
    effect_->Render(wide, wideOut, effect_->DefaultValues(32768, 1));
    ADD_FAILURE() << "a 32768-pixel frame was rendered";
  } catch (const lfhost::HostError& e) {
    EXPECT_NE(std::string(e.what()).find("32767"), std::string::npos) << e.what();
  }
  EXPECT_EQ(effect_->commandsSent().size(), commands);
}

}  // namespace
