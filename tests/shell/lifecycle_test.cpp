// Global and sequence lifecycle of the real module, driven by the host library,
// with the host's fault injection standing in for a host that runs out of
// memory or refuses.
#include <gtest/gtest.h>

#include <cstring>

#include "host/core/seams/fault_plan.h"
#include "host/core/seams/send_as_is.h"
#include "tests/host/module_fixture.h"

namespace {

using lfhost::CommandResult;
using lfhost::EffectInstance;
using lfhost::FaultPlan;
using lftest::TestModule;
using lftest::TestPool;

const char kInitFailure[] = "Lens Flare could not be initialized.";
const char kOutOfMemory[] = "Not enough memory to execute Lens Flare.";

TEST(GlobalSetupTest, SucceedsWithVersionFlagsAndOneRegisteredTable) {
  EffectInstance effect(TestModule(), TestPool());
  effect.Validate();
  CommandOutput out;
  const CommandResult r = effect.Send(kCmdGlobalSetup, out);
  ASSERT_EQ(r.code, 0);
  EXPECT_EQ(out.version, 0x80600u);
  EXPECT_EQ(out.outFlags, 0x40u);
  EXPECT_NE(out.globalData, nullptr);
  EXPECT_EQ(effect.commandInput().globalData, out.globalData);
  EXPECT_EQ(effect.host().RegisteredStringTables(), 1u);
  EXPECT_EQ(effect.host().RegisteredTableName(), "NRVN_Lens_Flare");
  const std::vector<std::string> log = effect.Validate().callLog();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[0], "registerStrings 4158");
  EXPECT_EQ(effect.host().BlockSize(out.globalData), sizeof(void*));
  EXPECT_EQ(effect.Shutdown(), lftest::kNoFaults);
  EXPECT_EQ(effect.host().LiveHandleCount(), 0u);
}

TEST(GlobalSetupTest, FailureReleasesStringsAndReportsTheFixedMessage) {
  struct Case { int64_t failNewHandleAt; int32_t stringsError, code; int64_t newHandleCalls; };
  for (const Case& c : {Case{1, 0, 4, 1}, Case{0, -50, -50, 0}, Case{0, 1234, 1234, 0}}) {
    EffectInstance effect(TestModule(), TestPool());
    effect.Validate();
  effect.Validate();
    FaultPlan f;
    f.failNewHandleAtCall = c.failNewHandleAt;
    f.registerStringsError = c.stringsError;
    lfhost::FaultInjector faults(effect.host(), effect.Validate());
    faults.SetPlan(f);
    CommandOutput out;
    const CommandResult r = effect.Send(kCmdGlobalSetup, out);
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.outFlags, 0x100u);   // OR-ed into a cleared record; 0x40 not written
    EXPECT_EQ(out.version, 0u);
    EXPECT_EQ(r.message, kInitFailure);
    EXPECT_EQ(out.globalData, nullptr);
    EXPECT_EQ(effect.host().RegisteredStringTables(), 0u);
    EXPECT_EQ(effect.Validate().counts().releaseStrings, 1);
    EXPECT_EQ(effect.Validate().counts().newHandle, c.newHandleCalls);
    EXPECT_EQ(effect.Shutdown(), lftest::kNoFaults);
  }
}

TEST(SequenceSetupTest, OutOfMemoryGivesCodeFourAndTheLocalizedMessage) {
  for (int32_t command : {kCmdSequenceSetup, kCmdSequenceResetup}) {
    auto effect = lftest::StartedEffect();
    FaultPlan f;
    f.failNewHandleAtCall = 2;   // the first was GlobalData
    lfhost::FaultInjector faults(effect->host(), effect->Validate());
    faults.SetPlan(f);
    CommandOutput out;
    const CommandResult r = effect->Send(command, out);
    EXPECT_EQ(r.code, 4) << command;
    EXPECT_EQ(r.message, kOutOfMemory);
    EXPECT_EQ(r.outFlags & 0x100u, 0x100u);
    EXPECT_EQ(out.sequenceData, nullptr);
    EXPECT_EQ(effect->Shutdown(), lftest::kNoFaults);
  }
}

TEST(SequenceSetupTest, ResetupDisposesTheOldBlockAndLocksTheNewOneOnlyWhileFilling) {
  auto effect = lftest::StartedEffect();
  ASSERT_EQ(effect->SequenceSetup().code, 0);
  const Handle first = effect->sequenceData();
  ASSERT_TRUE(effect->host().IsLiveHandle(first));
  ASSERT_EQ(effect->SequenceResetup().code, 0);
  // The host frees a disposed block, so the new one may take its address.
  EXPECT_EQ(effect->Validate().counts().disposeHandle, 1);
  EXPECT_EQ(effect->host().LiveHandleCount(), 2u);
  EXPECT_TRUE(effect->host().IsLiveHandle(effect->sequenceData()));
  EXPECT_FALSE(effect->host().IsLockedHandle(effect->sequenceData()));
  EXPECT_EQ(effect->Validate().counts().lockHandle, 2);
  EXPECT_EQ(effect->Validate().counts().unlockHandle, 2);
  ASSERT_EQ(effect->SequenceFlatten().code, 0);
  EXPECT_EQ(effect->sequenceData(), nullptr);
  EXPECT_EQ(effect->host().LiveHandleCount(), 1u);   // GlobalData only
  EXPECT_EQ(effect->Shutdown(), lftest::kNoFaults);   // global setdown
  EXPECT_EQ(effect->host().LiveHandleCount(), 0u);
  EXPECT_EQ(effect->host().RegisteredStringTables(), 0u);
}

TEST(SequenceSetupTest, FlattenAndSetdownWithoutSequenceDataMakeNoCallback) {
  for (int32_t command : {kCmdSequenceFlatten, kCmdSequenceSetdown}) {
    auto effect = lftest::StartedEffect();
    const int64_t before = effect->Validate().counts().Total();
    CommandOutput out;
    EXPECT_EQ(effect->Send(command, out).code, 0);
    EXPECT_EQ(effect->Validate().counts().Total(), before) << command;
    EXPECT_EQ(effect->Shutdown(), lftest::kNoFaults);
  }
}

TEST(CommandDispatchTest, UnhandledCommandsReturnZeroAndTouchNothing) {
  auto effect = lftest::StartedEffect();
  ASSERT_EQ(effect->SequenceSetup().code, 0);
  for (int32_t command : {2, 9, 10, 12, 255, -1}) {
    CommandOutput out;
    std::memset(&out, 0x5A, sizeof out);
    const CommandOutput before = out;
    const CommandInput inBefore = effect->commandInput();
    const int64_t calls = effect->Validate().counts().Total();
    const CommandResult r = lfhost::SendAsIs(*effect, command, out);
    EXPECT_EQ(r.code, 0) << command;
    EXPECT_EQ(std::memcmp(&out, &before, sizeof out), 0) << command;
    EXPECT_EQ(effect->Validate().counts().Total(), calls) << command;
    EXPECT_EQ(effect->commandInput().sequenceData, inBefore.sequenceData) << command;
  }
  EXPECT_EQ(effect->Shutdown(), lftest::kNoFaults);
}

TEST(AboutTest, FormatsVersionOneZeroWithLineBreaksAndNoFlag) {
  auto effect = lftest::StartedEffect();
  const CommandResult r = effect->About();
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.outFlags, 0u);
  EXPECT_EQ(r.message, "Lens Flare, v1.0#{cr}#{cr}Generate a synthetic lens flare.");
  EXPECT_EQ(effect->AboutText(), "Lens Flare, v1.0\n\nGenerate a synthetic lens flare.");
}

}  // namespace
