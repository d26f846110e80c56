// The four parameter declarations and the exported string table, as a host sees
// them through addParam and registerStrings.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>

#include "host/core/seams/fault_plan.h"
#include "host/core/seams/send_as_is.h"
#include "tests/host/module_fixture.h"

namespace {

using lfhost::DeclaredParam;
using lftest::TestModule;
using lftest::TestPool;

constexpr Fix16 k40 = 40 << 16;
constexpr Fix16 k100 = 100 << 16;

// Each definition as it must arrive: every byte not named here is zero.
ParamRecord ExpectedDefinition(int position, const char* choicesPointer) {
  ParamRecord r;
  std::memset(&r, 0, sizeof r);
  switch (position) {
    case 1:
      r.id = 1;
      r.paramKind = kParamPoint;
      std::strcpy(r.name, "Flare Center");
      r.value.point.x = r.value.point.y = k40;
      r.value.point.defaultX = r.value.point.defaultY = k40;
      break;
    case 2:
      r.id = 2;
      r.paramKind = kParamFloatSlider;
      std::strcpy(r.name, "Flare Brightness");
      r.value.floatSlider.value = 100.0;
      r.value.floatSlider.validMin = r.value.floatSlider.sliderMin = 0.0f;
      r.value.floatSlider.validMax = r.value.floatSlider.sliderMax = 300.0f;
      r.value.floatSlider.defaultValue = 100.0f;
      r.value.floatSlider.precision = 0;
      r.value.floatSlider.displayFlags = 1;
      break;
    case 3:
      r.id = 4;
      r.paramKind = kParamPopup;
      std::strcpy(r.name, "Lens Type");
      r.value.popup.value = 1;
      r.value.popup.numChoices = 3;
      r.value.popup.defaultChoice = 1;
      r.value.popup.choices = choicesPointer;
      break;
    case 4:
      r.id = 3;
      r.paramKind = kParamFixedSlider;
      std::strcpy(r.name, "Blend With Original");
      r.value.fixedSlider.validMin = r.value.fixedSlider.sliderMin = 0;
      r.value.fixedSlider.validMax = r.value.fixedSlider.sliderMax = k100;
      r.value.fixedSlider.precision = 0;
      r.value.fixedSlider.displayFlags = 1;
      break;
  }
  return r;
}

TEST(SetupParamsTest, DeclaresFourParametersByteForByteAndFiveInAll) {
  auto effect = std::make_unique<lfhost::EffectInstance>(TestModule(), TestPool());
  effect->Validate();
  ASSERT_EQ(effect->GlobalSetup().code, 0);
  CommandOutput out;
  ASSERT_EQ(effect->Send(kCmdParamsSetup, out).code, 0);
  EXPECT_EQ(out.numParams, 5);
  const std::vector<DeclaredParam>& declared = effect->host().declaredParams();
  ASSERT_EQ(declared.size(), 4u);
  for (int position = 1; position <= 4; ++position) {
    const DeclaredParam& d = declared[static_cast<size_t>(position - 1)];
    EXPECT_EQ(d.index, -1) << position;
    const ParamRecord expected = ExpectedDefinition(position, d.record.value.popup.choices);
    EXPECT_EQ(std::memcmp(&d.record, &expected, sizeof expected), 0) << "parameter " << position << " (" << d.record.name << ")";
  }
  EXPECT_EQ(declared[2].choicesText, "50-300mm Zoom|35mm Prime|105mm Prime");
  // The choices pointer is the registered string itself, valid while registered.
  EXPECT_STREQ(declared[2].record.value.popup.choices, "50-300mm Zoom|35mm Prime|105mm Prime");
  EXPECT_EQ(effect->Shutdown(), lftest::kNoFaults);
}

TEST(SetupParamsTest, RefusalOfTheThirdDeclarationStopsAndLeavesNumParams) {
  auto effect = std::make_unique<lfhost::EffectInstance>(TestModule(), TestPool());
  effect->Validate();
  ASSERT_EQ(effect->GlobalSetup().code, 0);
  lfhost::FaultPlan f;
  f.failAddParamAt = 3;
  f.addParamError = -9;
  lfhost::FaultInjector faults(effect->host(), effect->Validate());
  faults.SetPlan(f);
  CommandOutput out{};
  out.globalData = effect->globalData();
  out.numParams = 1234;
  const lfhost::CommandResult r = lfhost::SendAsIs(*effect, kCmdParamsSetup, out);
  EXPECT_EQ(r.code, -9);
  EXPECT_EQ(out.numParams, 1234);
  EXPECT_EQ(effect->Validate().counts().addParam, 3);
  ASSERT_EQ(effect->host().declaredParams().size(), 2u);
  EXPECT_EQ(effect->host().declaredParams()[1].record.id, 2);
}

TEST(StringTableTest, ExportedRecordHoldsSevenEntriesAndTheTerminator) {
  void* library = dlopen(LF_TEST_PLUGIN_PATH, RTLD_NOW | RTLD_NOLOAD);
  TestModule();
  if (!library) library = dlopen(LF_TEST_PLUGIN_PATH, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(library, nullptr);
  auto* symbol = static_cast<const StringTableRecord* const*>(dlsym(library, "NRVN_Lens_Flare_G_zref"));
  ASSERT_NE(symbol, nullptr);
  const StringTableRecord* record = *symbol;
  EXPECT_STREQ(record->tableName, "NRVN_Lens_Flare");
  ASSERT_EQ(record->entryCount, 8u);
  const char* const keys[7] = {
      "$$$/VX/Lens_Flare/LStr/0000=Lens Flare, v%ld.%ld#{cr}#{cr}Generate a synthetic lens flare.",
      "$$$/VX/Lens_Flare/LStr/0001=Flare Brightness",
      "$$$/VX/Lens_Flare/LStr/0002=Flare Center",
      "$$$/VX/Lens_Flare/LStr/0003=Lens Type",
      "$$$/VX/Lens_Flare/LStr/0004=50-300mm Zoom|35mm Prime|105mm Prime",
      "$$$/VX/Lens_Flare/LStr/0005=Not enough memory to execute Lens Flare.",
      "$$$/VX/Lens_Flare/LStr/0006=Blend With Original"};
  for (int i = 0; i < 7; ++i) {
    EXPECT_STREQ(record->entries[i].text, keys[i]) << i;
    EXPECT_EQ(record->entries[i].field1 | record->entries[i].field2 | record->entries[i].field3, 0u) << i;
  }
  const StringEntry& end = record->entries[7];
  EXPECT_EQ(end.text, nullptr);
  EXPECT_EQ(end.field1, ~uint64_t{0});
  EXPECT_EQ(end.field2, ~uint64_t{0});
  EXPECT_EQ(end.field3, 0u);
  dlclose(library);
}

}  // namespace
