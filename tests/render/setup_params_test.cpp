#include <gtest/gtest.h>

#include <cstring>

#include "shell/commands.h"
#include "tests/support/fake_shell_host.h"

namespace {

int32_t SetupParamsCommand(FakeShellHost& shell) {
  return FilterMain(kCmdParamsSetup, &shell.host.in, &shell.out, nullptr, nullptr);
}

// Every byte the table does not set is 0.
bool OnlyTheseValueBytesSet(const ParamRecord& record, size_t setBytes) {
  for (size_t i = setBytes; i < kParamValueBytes; ++i)
    if (record.value.bytes[i] != 0) return false;
  for (uint8_t byte : record.reserved0)
    if (byte != 0) return false;
  for (uint8_t byte : record.reserved1)
    if (byte != 0) return false;
  return true;
}

TEST(SetupParamsTest, FourControlsWithIds1243) {
  FakeShellHost shell;
  shell.StartModule();
  shell.out.numParams = -1;
  ASSERT_EQ(SetupParamsCommand(shell), 0);
  EXPECT_EQ(shell.out.numParams, 5);
  ASSERT_EQ(shell.params.size(), 4u);

  const ParamRecord& center = shell.params[0];
  EXPECT_EQ(center.id, 1);
  EXPECT_EQ(center.paramKind, 6);
  EXPECT_STREQ(center.name, "Flare Center");
  EXPECT_EQ(center.value.point.x, 0x280000);
  EXPECT_EQ(center.value.point.y, 0x280000);
  EXPECT_EQ(center.value.point.flag, 0);
  EXPECT_EQ(center.value.point.defaultX, 0x280000);
  EXPECT_EQ(center.value.point.defaultY, 0x280000);
  EXPECT_TRUE(OnlyTheseValueBytesSet(center, 20));
  for (uint8_t byte : center.value.point.reserved) EXPECT_EQ(byte, 0);

  const ParamRecord& brightness = shell.params[1];
  const FloatSliderValue& slider = brightness.value.floatSlider;
  EXPECT_EQ(brightness.id, 2);
  EXPECT_EQ(brightness.paramKind, 10);
  EXPECT_STREQ(brightness.name, "Flare Brightness");
  EXPECT_EQ(slider.value, 100.0);
  EXPECT_EQ(slider.validMin, 0.0f);
  EXPECT_EQ(slider.validMax, 300.0f);
  EXPECT_EQ(slider.sliderMin, 0.0f);
  EXPECT_EQ(slider.sliderMax, 300.0f);
  EXPECT_EQ(slider.defaultValue, 100.0f);
  EXPECT_EQ(slider.precision, 0);
  EXPECT_EQ(slider.displayFlags, 1);
  EXPECT_TRUE(OnlyTheseValueBytesSet(brightness, 72));
  for (uint8_t byte : slider.reserved) EXPECT_EQ(byte, 0);

  const ParamRecord& lensType = shell.params[2];
  EXPECT_EQ(lensType.id, 4);
  EXPECT_EQ(lensType.paramKind, 7);
  EXPECT_STREQ(lensType.name, "Lens Type");
  EXPECT_EQ(lensType.value.popup.value, 1);
  EXPECT_EQ(lensType.value.popup.numChoices, 3);
  EXPECT_EQ(lensType.value.popup.defaultChoice, 1);
  // The host's own text, not a copy.
  EXPECT_EQ(lensType.value.popup.choices, shell.lastString[4]);
  EXPECT_STREQ(lensType.value.popup.choices, "50-300mm Zoom|35mm Prime|105mm Prime");
  EXPECT_TRUE(OnlyTheseValueBytesSet(lensType, 16));

  const ParamRecord& blend = shell.params[3];
  const FixedSliderValue& fixed = blend.value.fixedSlider;
  EXPECT_EQ(blend.id, 3);
  EXPECT_EQ(blend.paramKind, 2);
  EXPECT_STREQ(blend.name, "Blend With Original");
  EXPECT_EQ(fixed.value, 0);
  EXPECT_EQ(fixed.validMin, 0);
  EXPECT_EQ(fixed.validMax, 0x640000);
  EXPECT_EQ(fixed.sliderMin, 0);
  EXPECT_EQ(fixed.sliderMax, 0x640000);
  EXPECT_EQ(fixed.defaultValue, 0);
  EXPECT_EQ(fixed.precision, 0);
  EXPECT_EQ(fixed.displayFlags, 1);
  EXPECT_TRUE(OnlyTheseValueBytesSet(blend, 92));
  for (uint8_t byte : fixed.reserved) EXPECT_EQ(byte, 0);

  for (const ParamRecord& record : shell.params) {
    size_t nameLength = std::strlen(record.name);
    for (size_t i = nameLength; i < sizeof record.name; ++i) EXPECT_EQ(record.name[i], 0);
  }
}

TEST(SetupParamsTest, RefusalStopsTheDeclarations) {
  for (int32_t refuseAt : {0, 2, 3}) {
    FakeShellHost shell;
    shell.StartModule();
    shell.refuseParamAt = refuseAt;
    shell.refuseCode = -1701;
    shell.out.numParams = -1;
    EXPECT_EQ(SetupParamsCommand(shell), -1701) << refuseAt;
    EXPECT_EQ(shell.params.size(), static_cast<size_t>(refuseAt + 1));
    EXPECT_EQ(shell.out.numParams, -1);
  }
}

}  // namespace
