// The render command through the real module: how host faults, aborts and the
// low-brightness fade reach the result, the passes and the final blend.
#include <gtest/gtest.h>

#include <algorithm>

#include "host/core/builtin_frame.h"
#include "host/core/seams/fault_plan.h"
#include "tests/host/module_fixture.h"

namespace {

using lfhost::CommandResult;
using lfhost::FaultPlan;
using lfhost::ImageBuffer;
using lfhost::ParamValues;

constexpr int32_t kW = 160, kH = 90;

ParamValues Values(int32_t lens = 1, double brightness = 100.0, Fix16 blend = 0) {
  ParamValues v;
  v.centerX = 50 << 16;
  v.centerY = 30 << 16;
  v.brightness = brightness;
  v.lensType = lens;
  v.blend = blend;
  return v;
}

int CountEntries(const std::vector<std::string>& log, const std::string& prefix) {
  return static_cast<int>(std::count_if(log.begin(), log.end(), [&](const std::string& s) { return s.rfind(prefix, 0) == 0; }));
}

// iterate's result reaches the command through the 16-bit status: 1 reads as an
// abort, 4 brings the out-of-memory message, anything else is sign-extended.
TEST(RenderCommandTest, IterateFailureMapsTheSixteenBitStatus) {
  struct Case { int32_t iterateError, code; };
  for (const Case& c : {Case{1, 517}, Case{4, 4}, Case{517, 517}, Case{0x12345, 0x2345}, Case{0x18000, -32768},
                        Case{-2, -2}}) {
    auto effect = lftest::StartedEffect();
    FaultPlan f;
    f.failIterateFromCall = 1;
    f.iterateError = c.iterateError;
    lfhost::FaultInjector faults(effect->host(), effect->Validate());
    faults.SetPlan(f);
    const ImageBuffer input = lfhost::MakeDarkFrame(kW, kH);
    ImageBuffer output(kW, kH);
    const CommandResult r = effect->Render(input, output, effect->Check(Values()));
    EXPECT_EQ(r.code, c.code) << c.iterateError;
    EXPECT_EQ(r.hasMessage() ? r.message : "", c.code == 4 ? "Not enough memory to execute Lens Flare." : "");
    const std::vector<std::string> log = effect->Validate().callLog();
    EXPECT_EQ(CountEntries(log, "worldPass 1"), 1);
    EXPECT_EQ(CountEntries(log, "worldPass 0"), 0);   // no closing pass after a failure
    EXPECT_EQ(CountEntries(log, "blend"), 1);         // the blend happens in every case
    EXPECT_EQ(effect->Shutdown(), lftest::kNoFaults);
  }
}

TEST(RenderCommandTest, AbortAtAnyPointGives517AndStillBlends) {
  for (int64_t polls : {0, 1, 40}) {
    auto effect = lftest::StartedEffect();
    FaultPlan f;
    f.abortAfterPolls = polls;
    lfhost::FaultInjector faults(effect->host(), effect->Validate());
    faults.SetPlan(f);
    const ImageBuffer input = lftest::OpaqueFrame(kW, kH);
    ImageBuffer output(kW, kH);
    const CommandResult r = effect->Render(input, output, effect->Check(Values(3)));
    EXPECT_EQ(r.code, 517) << polls;
    EXPECT_FALSE(r.hasMessage());
    EXPECT_EQ(lfhost::DescribeResult(r), "cancelled");
    const std::vector<std::string> log = effect->Validate().callLog();
    EXPECT_EQ(CountEntries(log, "worldPass 0"), 0) << polls;
    EXPECT_EQ(CountEntries(log, "blend"), 1) << polls;
    EXPECT_EQ(effect->Shutdown(), lftest::kNoFaults);
  }
}

// Faults that end the render early: a failing world pass comes back unchanged,
// and only a failure before the render pass leaves the plain copy unblended; no
// memory for the sequence data gives the localized message and a plain copy.
TEST(RenderCommandTest, EarlyFaultsReturnTheirCodeAndLeaveAPlainCopyOrABlend) {
  struct Case { int64_t failWorldPassAt; int32_t error; int64_t failNewHandleAt; int32_t code; int blends; };
  for (const Case& c : {Case{1, 55, 0, 55, 0}, Case{2, -66, 0, -66, 1}, Case{0, 0, 2, 4, 0}}) {
    auto effect = lftest::StartedEffect();
    FaultPlan f;
    f.failWorldPassAtCall = c.failWorldPassAt;
    f.worldPassError = c.error;
    f.failNewHandleAtCall = c.failNewHandleAt;
    lfhost::FaultInjector faults(effect->host(), effect->Validate());
    faults.SetPlan(f);
    const ImageBuffer input = lfhost::MakeDarkFrame(kW, kH);
    ImageBuffer output(kW, kH);
    const CommandResult r = effect->Render(input, output, effect->Check(Values()));
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(lfhost::DescribeResult(r), c.code == 4 ? "Not enough memory to execute Lens Flare."
                                                     : "host error " + std::to_string(c.code));
    EXPECT_EQ(effect->Validate().counts().blend, c.blends) << c.code;
    if (c.blends == 0) {
      EXPECT_EQ(output.ToRGBA(), input.ToRGBA()) << c.code;   // the plain copy
    }
    EXPECT_EQ(effect->Shutdown(), lftest::kNoFaults);
  }
}

// The ratio reaches the host's blend; its arithmetic is held in blend_ratio_test.cpp.
TEST(RenderCommandTest, BlendRatioFollowsBrightnessFadeAndBlendControl) {
  struct Case { double brightness; Fix16 blend; const char* expectedBlend; };
  for (const Case& c : {Case{0.0, 50 << 16, "blend 65536"}, Case{5.0, 0, "blend 32768"},
                        Case{10.0, 3276800, "blend 32768"}, Case{100.0, 0, "blend 0"}}) {
    auto effect = lftest::StartedEffect();
    const ImageBuffer input = lfhost::MakeDarkFrame(kW, kH);
    ImageBuffer output(kW, kH);
    ASSERT_EQ(effect->Render(input, output, effect->Check(Values(1, c.brightness, c.blend))).code, 0);
    EXPECT_EQ(CountEntries(effect->Validate().callLog(), c.expectedBlend), 1) << c.brightness << " " << c.blend;
    if (c.brightness == 0.0) {
      EXPECT_EQ(output.ToRGBA(), input.ToRGBA());
    }
    EXPECT_EQ(effect->Shutdown(), lftest::kNoFaults);
  }
}

// A caller that wrote the input into the output itself has the render's
// copy skipped (the module still asks for it), and gets the same bytes, blend
// with the original included; the white output shows the copy was not made.
TEST(RenderCommandTest, AnOutputHoldingTheInputSkipsTheCopyAndRendersTheSameBytes) {
  struct Case { int32_t lens; double brightness; Fix16 blend; };
  for (const Case& c : {Case{1, 100.0, 0}, Case{2, 5.0, 0}, Case{3, 150.0, 40 << 16}}) {
    auto effect = lftest::StartedEffect();
    const lfhost::CheckedParams values = effect->Check(Values(c.lens, c.brightness, c.blend));
    const ImageBuffer input = lfhost::MakeDarkFrame(kW, kH);
    ImageBuffer copied(kW, kH), held = input.Clone(), white(kW, kH);
    white.Fill(255, 255, 255, 255);
    ASSERT_EQ(effect->Render(input, copied, values).code, 0);
    ASSERT_EQ(effect->Render(input, held, values, {}, lfhost::OutputStart::InputCopy).code, 0);
    ASSERT_EQ(effect->Render(input, white, values, {}, lfhost::OutputStart::InputCopy).code, 0);
    EXPECT_EQ(held.ToRGBA(), copied.ToRGBA()) << c.lens;
    EXPECT_NE(white.ToRGBA(), copied.ToRGBA()) << c.lens;
    EXPECT_EQ(effect->Validate().counts().copyWorld, 3) << c.lens;
    EXPECT_EQ(effect->Shutdown(), lftest::kNoFaults);
  }
}

TEST(RenderCommandTest, RenderBeforeSequenceSetupCreatesTheBlockAndMatchesASetUpRender) {
  const ImageBuffer input = lfhost::MakeDarkFrame(kW, kH);
  ImageBuffer direct(kW, kH), prepared(kW, kH);
  auto first = lftest::StartedEffect();
  ASSERT_EQ(first->Render(input, direct, first->Check(Values(2))).code, 0);
  EXPECT_NE(first->sequenceData(), nullptr);
  EXPECT_EQ(first->Validate().counts().newHandle, 2);
  auto second = lftest::StartedEffect();
  ASSERT_EQ(second->SequenceSetup().code, 0);
  ASSERT_EQ(second->Render(input, prepared, second->Check(Values(2))).code, 0);
  EXPECT_EQ(direct.ToRGBA(), prepared.ToRGBA());
  EXPECT_NE(direct.ToRGBA(), input.ToRGBA());
  EXPECT_EQ(first->Shutdown(), lftest::kNoFaults);
  EXPECT_EQ(second->Shutdown(), lftest::kNoFaults);
}

}  // namespace
