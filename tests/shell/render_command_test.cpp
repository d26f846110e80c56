// The render command through the real module: how host faults, aborts and the
// low-brightness fade reach the result, the passes and the final blend.
#include <gtest/gtest.h>

#include <algorithm>

#include "host/builtin_frame.h"
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

struct StatusCase {
  const char* name;
  int32_t iterateError;
  int32_t expectedCode;
  bool expectMessage;
};

class IterateFailureTest : public testing::TestWithParam<StatusCase> {};

// iterate's result reaches the command through the 16-bit status: 1 reads as an
// abort, 4 brings the out-of-memory message, anything else is sign-extended.
TEST_P(IterateFailureTest, MapsTheSixteenBitStatus) {
  const StatusCase& c = GetParam();
  auto effect = lftest::StartedEffect();
  FaultPlan f;
  f.failIterateFromCall = 1;
  f.iterateError = c.iterateError;
  effect->SetFaultPlan(f);
  const ImageBuffer input = lfhost::MakeDarkFrame(kW, kH);
  ImageBuffer output(kW, kH);
  const CommandResult r = effect->Render(input, output, Values());
  EXPECT_EQ(r.code, c.expectedCode);
  EXPECT_EQ(r.hasMessage(), c.expectMessage);
  if (c.expectMessage) {
    EXPECT_EQ(r.message, "Not enough memory to execute Lens Flare.");
  }
  const std::vector<std::string> log = effect->host().callLog();
  EXPECT_EQ(CountEntries(log, "worldPass 1"), 1);
  EXPECT_EQ(CountEntries(log, "worldPass 0"), 0);   // no closing pass after a failure
  EXPECT_EQ(CountEntries(log, "blend"), 1);         // the blend happens in every case
  EXPECT_EQ(effect->Shutdown(), lftest::kNoFaults);
}

INSTANTIATE_TEST_SUITE_P(Statuses, IterateFailureTest,
                         testing::Values(StatusCase{"Abort", 1, 517, false},
                                         StatusCase{"OutOfMemory", 4, 4, true},
                                         StatusCase{"HostCancel", 517, 517, false},
                                         StatusCase{"WrapsHighBits", 0x12345, 0x2345, false},
                                         StatusCase{"SignExtends", 0x18000, -32768, false},
                                         StatusCase{"Negative", -2, -2, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RenderCommandTest, AbortAtAnyPointGives517AndStillBlends) {
  for (int64_t polls : {0, 1, 40}) {
    auto effect = lftest::StartedEffect();
    FaultPlan f;
    f.abortAfterPolls = polls;
    effect->SetFaultPlan(f);
    const ImageBuffer input = lftest::OpaqueFrame(kW, kH);
    ImageBuffer output(kW, kH);
    const CommandResult r = effect->Render(input, output, Values(3));
    EXPECT_EQ(r.code, 517) << polls;
    EXPECT_FALSE(r.hasMessage());
    EXPECT_EQ(lfhost::DescribeResult(r), "cancelled");
    const std::vector<std::string> log = effect->host().callLog();
    EXPECT_EQ(CountEntries(log, "worldPass 0"), 0) << polls;
    EXPECT_EQ(CountEntries(log, "blend"), 1) << polls;
    EXPECT_EQ(effect->Shutdown(), lftest::kNoFaults);
  }
}

TEST(RenderCommandTest, UserCancelGives517WithoutAMessage) {
  lfhost::CancelToken cancel;
  lfhost::EffectInstance effect(lftest::TestModule(), lftest::TestPool(), &cancel);
  effect.Start();
  cancel.Request();
  const ImageBuffer input = lftest::OpaqueFrame(kW, kH);
  ImageBuffer output(kW, kH);
  const CommandResult r = effect.Render(input, output, Values(2));
  EXPECT_EQ(r.code, 517);
  EXPECT_FALSE(r.hasMessage());
  EXPECT_EQ(effect.Shutdown(), lftest::kNoFaults);
}

TEST(RenderCommandTest, WorldPassErrorsAreReturnedUnchanged) {
  struct Case { int64_t failingCall; int32_t error; bool blended; };
  for (const Case& c : {Case{1, 55, false}, Case{2, -66, true}}) {
    auto effect = lftest::StartedEffect();
    FaultPlan f;
    f.failWorldPassAtCall = c.failingCall;
    f.worldPassError = c.error;
    effect->SetFaultPlan(f);
    const ImageBuffer input = lfhost::MakeDarkFrame(kW, kH);
    ImageBuffer output(kW, kH);
    const CommandResult r = effect->Render(input, output, Values());
    EXPECT_EQ(r.code, c.error);
    EXPECT_EQ(lfhost::DescribeResult(r), "host error " + std::to_string(c.error));
    EXPECT_EQ(CountEntries(effect->host().callLog(), "blend") == 1, c.blended);
    if (!c.blended) {
      EXPECT_EQ(output.ToRGBA(), input.ToRGBA());   // the plain copy
    }
    EXPECT_EQ(effect->Shutdown(), lftest::kNoFaults);
  }
}

TEST(RenderCommandTest, NoMemoryForSequenceDataLeavesAPlainCopy) {
  auto effect = lftest::StartedEffect();
  FaultPlan f;
  f.failNewHandleAtCall = 2;
  effect->SetFaultPlan(f);
  const ImageBuffer input = lfhost::MakeDarkFrame(kW, kH);
  ImageBuffer output(kW, kH);
  const CommandResult r = effect->Render(input, output, Values());
  EXPECT_EQ(r.code, 4);
  EXPECT_EQ(r.message, "Not enough memory to execute Lens Flare.");
  EXPECT_EQ(output.ToRGBA(), input.ToRGBA());
  EXPECT_EQ(effect->host().counts().worldPass, 0);
  EXPECT_EQ(effect->host().counts().blend, 0);
  EXPECT_EQ(effect->Shutdown(), lftest::kNoFaults);
}

// Blend ratio = B x (1 - f) / 100 + f x 65536 with fade f = 1 - brightness / 10
// below 10 %.
TEST(RenderCommandTest, BlendRatioFollowsBrightnessFadeAndBlendControl) {
  struct Case { double brightness; Fix16 blend; const char* expectedBlend; };
  for (const Case& c : {Case{0.0, 0, "blend 65536"}, Case{0.0, 50 << 16, "blend 65536"},
                        Case{5.0, 0, "blend 32768"}, Case{10.0, 100 << 16, "blend 65536"},
                        Case{10.0, 3276800, "blend 32768"}, Case{100.0, 0, "blend 0"}}) {
    auto effect = lftest::StartedEffect();
    const ImageBuffer input = lfhost::MakeDarkFrame(kW, kH);
    ImageBuffer output(kW, kH);
    ASSERT_EQ(effect->Render(input, output, Values(1, c.brightness, c.blend)).code, 0);
    const std::vector<std::string> log = effect->host().callLog();
    EXPECT_EQ(CountEntries(log, c.expectedBlend), 1) << c.brightness << " " << c.blend;
    if (std::string(c.expectedBlend) == "blend 65536") {
      EXPECT_EQ(output.ToRGBA(), input.ToRGBA());
    }
    EXPECT_EQ(effect->Shutdown(), lftest::kNoFaults);
  }
}

TEST(RenderCommandTest, RenderBeforeSequenceSetupCreatesTheBlockAndMatchesASetUpRender) {
  const ImageBuffer input = lfhost::MakeDarkFrame(kW, kH);
  ImageBuffer direct(kW, kH), prepared(kW, kH);
  auto first = lftest::StartedEffect();
  ASSERT_EQ(first->Render(input, direct, Values(2)).code, 0);
  EXPECT_NE(first->sequenceData(), nullptr);
  EXPECT_EQ(first->host().counts().newHandle, 2);
  auto second = lftest::StartedEffect();
  ASSERT_EQ(second->SequenceSetup().code, 0);
  ASSERT_EQ(second->Render(input, prepared, Values(2)).code, 0);
  EXPECT_EQ(direct.ToRGBA(), prepared.ToRGBA());
  EXPECT_NE(direct.ToRGBA(), input.ToRGBA());
  EXPECT_EQ(first->Shutdown(), lftest::kNoFaults);
  EXPECT_EQ(second->Shutdown(), lftest::kNoFaults);
}

}  // namespace
