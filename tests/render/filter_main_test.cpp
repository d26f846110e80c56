#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "render/flare_context.h"
#include "render/profile_allocation.h"
#include "shell/commands.h"
#include "shell/string_table.h"
#include "tests/support/fake_shell_host.h"

namespace {

using Log = std::vector<std::string>;

int32_t Command(FakeShellHost& shell, int32_t command, EffectParams params = nullptr,
                PixelWorld* output = nullptr) {
  return FilterMain(command, &shell.host.in, &shell.out, params, output);
}

TEST(FilterMainTest, UnhandledCommandsTouchNothing) {
  for (int32_t command : {2, 9, 10, 12, 255, -1, INT32_MIN}) {
    FakeShellHost shell;
    CommandOutput before;
    std::memcpy(&before, &shell.out, sizeof before);
    EXPECT_EQ(Command(shell, command), 0) << command;
    EXPECT_TRUE(shell.host.log.empty()) << command;
    EXPECT_EQ(std::memcmp(&before, &shell.out, sizeof before), 0) << command;
  }
}

TEST(FilterMainTest, AboutShowsVersionOneZero) {
  FakeShellHost shell;
  shell.StartModule();
  shell.out.outFlags = 0;
  EXPECT_EQ(Command(shell, kCmdAbout), 0);
  EXPECT_STREQ(shell.out.message, "Lens Flare, v1.0#{cr}#{cr}Generate a synthetic lens flare.");
  EXPECT_EQ(shell.out.outFlags, 0u);
}

TEST(FilterMainTest, GlobalSetupKeepsTheHostsStringReference) {
  FakeShellHost shell;
  shell.out.outFlags = 0x1234;
  ASSERT_EQ(Command(shell, kCmdGlobalSetup), 0);
  EXPECT_EQ(shell.registeredRecord, NRVN_Lens_Flare_G_zref);
  EXPECT_EQ(shell.registeredTag, 4158);
  ASSERT_NE(shell.out.globalData, nullptr);
  EXPECT_EQ(shell.host.in.globalData, shell.out.globalData);
  EXPECT_EQ(static_cast<GlobalData*>(*shell.out.globalData)->stringRef, shell.stringRef());
  EXPECT_EQ(shell.out.version, 0x80600u);
  EXPECT_EQ(shell.out.outFlags, 0x40u);  // assigned, not OR-ed

  ASSERT_EQ(Command(shell, kCmdGlobalSetdown), 0);
  EXPECT_EQ(shell.releasedRefs, std::vector<void*>{shell.stringRef()});
  EXPECT_EQ(shell.out.globalData, nullptr);
  EXPECT_EQ(shell.host.in.globalData, nullptr);
  EXPECT_EQ(shell.liveHandles(), 0);
}

TEST(FilterMainTest, GlobalSetupFailures) {
  struct Case {
    int32_t registerResult;
    bool clearSlot, outOfMemory;
    int32_t result;
    size_t releases;
  };
  const Case cases[] = {
      {-30, false, false, -30, 1},  // refused: the slot still holds the table, released
      {-30, true, false, -30, 0},   // refused and the slot emptied: nothing to release
      {0, false, true, 4, 1},       // no memory for GlobalData
  };
  for (const Case& c : cases) {
    FakeShellHost shell;
    shell.registerResult = c.registerResult;
    shell.clearSlotOnFailure = c.clearSlot;
    shell.outOfMemory = c.outOfMemory;
    shell.out.outFlags = 0x1;
    EXPECT_EQ(Command(shell, kCmdGlobalSetup), c.result);
    EXPECT_EQ(shell.releasedRefs.size(), c.releases);
    EXPECT_STREQ(shell.out.message, "Lens Flare could not be initialized.");
    EXPECT_EQ(shell.out.outFlags, 0x101u);
    EXPECT_EQ(shell.out.version, 0u);
    EXPECT_EQ(shell.out.globalData, nullptr);
  }
}

TEST(FilterMainTest, SequenceSetupAlwaysStartsFromAFreshBlock) {
  FakeShellHost shell;
  shell.StartModule();
  ASSERT_EQ(Command(shell, kCmdSequenceSetup), 0);
  Handle first = shell.out.sequenceData;
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(shell.host.in.sequenceData, first);
  EXPECT_EQ(static_cast<SequenceData*>(*first)->context.hypotTable.entry[192], 20480);
  EXPECT_EQ(shell.host.log, (Log{"newHandle", "lockHandle", "unlockHandle"}));

  shell.host.log.clear();
  ASSERT_EQ(Command(shell, kCmdSequenceResetup), 0);
  EXPECT_EQ(shell.host.log, (Log{"disposeHandle", "newHandle", "lockHandle", "unlockHandle"}));
  EXPECT_EQ(shell.liveHandles(), 2);  // GlobalData and the new block

  shell.outOfMemory = true;
  shell.out.outFlags = 0x40;
  EXPECT_EQ(Command(shell, kCmdSequenceResetup), 4);
  EXPECT_STREQ(shell.out.message, "Not enough memory to execute Lens Flare.");
  EXPECT_EQ(shell.out.outFlags, 0x140u);
  EXPECT_EQ(shell.out.sequenceData, nullptr);
}

TEST(FilterMainTest, FlattenAndSetdownDisposeTheBlock) {
  for (int32_t command : {kCmdSequenceFlatten, kCmdSequenceSetdown}) {
    FakeShellHost shell;
    shell.StartModule();
    ASSERT_EQ(Command(shell, kCmdSequenceSetup), 0);
    Handle handle = shell.host.in.sequenceData;
    shell.host.log.clear();
    EXPECT_EQ(Command(shell, command), 0);
    EXPECT_EQ(shell.host.log, Log{"disposeHandle"});
    EXPECT_EQ(shell.out.sequenceData, nullptr);
    EXPECT_EQ(shell.host.in.sequenceData, handle);  // left as the host gave it

    shell.host.in.sequenceData = nullptr;
    shell.host.log.clear();
    EXPECT_EQ(Command(shell, command), 0);
    EXPECT_TRUE(shell.host.log.empty());
  }
}

// A render command's records: input layer, Flare Center, Flare Brightness, Lens Type,
// Blend With Original, and an output world of the same size.
struct RenderRecords {
  RenderRecords(double brightness, Fix16 blendWithOriginal)
      : records(kParamCount), pointers(kParamCount) {
    for (int i = 0; i < kParamCount; ++i) pointers[i] = &records[i];
    PixelWorld& layer = records[kParamInputLayer].value.layer;
    layer.width = output.width = 32;
    layer.height = output.height = 24;
    layer.rowBytes = output.rowBytes = 32 * 4 + 64;
    inputPixels.assign(static_cast<size_t>(layer.rowBytes) * layer.height, 0x5A);
    // Padding bytes alike, image bytes different until the copy.
    outputPixels = inputPixels;
    for (int32_t y = 0; y < layer.height; ++y)
      std::memset(outputPixels.data() + static_cast<size_t>(y) * layer.rowBytes, 0, 32 * 4);
    layer.data = inputPixels.data();
    output.data = outputPixels.data();
    records[kParamFlareCenter].value.point.x = 8 << 16;
    records[kParamFlareCenter].value.point.y = 8 << 16;
    records[kParamFlareBrightness].value.floatSlider.value = brightness;
    records[kParamLensType].value.popup.value = 1;
    records[kParamBlendWithOriginal].value.fixedSlider.value = blendWithOriginal;
  }
  std::vector<ParamRecord> records;
  std::vector<ParamRecord*> pointers;
  std::vector<uint8_t> inputPixels, outputPixels;
  PixelWorld output{};
};

TEST(FilterMainTest, RenderWithoutSequenceDataCreatesItAndBlendsTheInputBack) {
  FakeShellHost shell;
  shell.StartModule();
  shell.host.abortAfterPolls = 0;  // the lens program stops at its first poll
  RenderRecords render(0.0, 50 * 65536);
  EXPECT_EQ(Command(shell, kCmdRender, render.pointers.data(), &render.output), 517);
  ASSERT_NE(shell.host.in.sequenceData, nullptr);
  EXPECT_EQ(shell.host.log, (Log{"newHandle", "lockHandle", "unlockHandle", "copyWorld",
                                 "worldPass 1", "abort", "blend 65536"}));
  EXPECT_EQ(render.outputPixels, render.inputPixels);  // the copy
  EXPECT_EQ(shell.blendSource1, &render.output);
  EXPECT_EQ(shell.blendSource2, &render.records[kParamInputLayer].value.layer);
  EXPECT_EQ(shell.blendDestination, &render.output);
  const FlareContext& context = static_cast<SequenceData*>(*shell.host.in.sequenceData)->context;
  EXPECT_EQ(context.host, &shell.host.in);
}

TEST(FilterMainTest, RenderStopsEarlyOnSetupOrPassFailure) {
  {
    FakeShellHost shell;
    shell.StartModule();
    shell.outOfMemory = true;
    RenderRecords render(100.0, 0);
    EXPECT_EQ(Command(shell, kCmdRender, render.pointers.data(), &render.output), 4);
    EXPECT_EQ(shell.host.log, (Log{"newHandle", "getString 5", "formatString", "copyWorld"}));
    EXPECT_EQ(render.outputPixels, render.inputPixels);
  }
  {
    FakeShellHost shell;
    shell.StartModule();
    shell.worldPassResult[1] = -77;
    RenderRecords render(100.0, 0);
    Command(shell, kCmdSequenceSetup);
    shell.host.log.clear();
    EXPECT_EQ(Command(shell, kCmdRender, render.pointers.data(), &render.output), -77);
    EXPECT_EQ(shell.host.log, (Log{"copyWorld", "worldPass 1"}));
  }
}

TEST(FilterMainTest, ProfileAllocationFailureReturnsMinus108WithoutMessage) {
  FakeShellHost shell;
  shell.StartModule();
  ProfileAllocation saved = gProfileAllocation;
  gProfileAllocation.allocate = [](size_t) -> void* { return nullptr; };
  RenderRecords render(5.0, 0);
  shell.out.outFlags = 0x40;
  int32_t result = Command(shell, kCmdRender, render.pointers.data(), &render.output);
  gProfileAllocation = saved;
  EXPECT_EQ(result, -108);
  EXPECT_EQ(shell.out.outFlags, 0x40u);
  EXPECT_EQ(shell.out.message[0], '\0');
  EXPECT_EQ(shell.blendRatio, 32768);
  EXPECT_EQ(shell.host.log.back(), "blend 32768");
}

// A stamp's iterate error reaches the command through the 16-bit status.
TEST(FilterMainTest, IterateErrorsMapThroughTheStatus) {
  struct Case {
    int32_t iterateResult, result;
    bool message;
  };
  const Case cases[] = {
      {4, 4, true}, {1, 517, false}, {517, 517, false}, {0x12345, 0x2345, false}, {0x1FFFF, -1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.iterateResult);
    FakeShellHost shell;
    shell.StartModule();
    shell.host.iterateFailure = c.iterateResult;
    shell.out.outFlags = 0x40;
    RenderRecords render(100.0, 0);
    EXPECT_EQ(Command(shell, kCmdRender, render.pointers.data(), &render.output), c.result);
    EXPECT_EQ(shell.out.outFlags, c.message ? 0x140u : 0x40u);
    EXPECT_STREQ(shell.out.message, c.message ? "Not enough memory to execute Lens Flare." : "");
    EXPECT_EQ(shell.host.log.back(), "blend 0");
  }
}

TEST(FilterMainTest, CompleteRenderEndsThePass) {
  FakeShellHost shell;
  shell.StartModule();
  shell.worldPassResult[0] = 12;
  RenderRecords render(100.0, 100 * 65536);
  EXPECT_EQ(Command(shell, kCmdRender, render.pointers.data(), &render.output), 12);
  ASSERT_GE(shell.host.log.size(), 2u);
  EXPECT_EQ(shell.host.log[shell.host.log.size() - 2], "worldPass 0");
  EXPECT_EQ(shell.host.log.back(), "blend 65536");
}

}  // namespace
