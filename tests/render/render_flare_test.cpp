#include "render/render_flare.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "render/profile_allocation.h"
#include "tests/support/fake_host.h"

namespace {

constexpr Fix16 kPixel = 65536;

// The five records of a render command and an output world of the given size.
struct RenderInputs {
  RenderInputs(int32_t width, int32_t height, double brightness, Fix16 x, Fix16 y,
               int32_t lensType = 1)
      : records(kParamCount), pointers(kParamCount) {
    for (int i = 0; i < kParamCount; ++i) pointers[i] = &records[i];
    records[kParamFlareCenter].value.point.x = x;
    records[kParamFlareCenter].value.point.y = y;
    records[kParamFlareBrightness].value.floatSlider.value = brightness;
    records[kParamLensType].value.popup.value = lensType;
    output.width = width;
    output.height = height;
    output.rowBytes = width * 4 + 64;
    pixels.assign(static_cast<size_t>(output.rowBytes) * height, 0);
    output.data = pixels.data();
  }
  std::vector<ParamRecord> records;
  std::vector<ParamRecord*> pointers;
  std::vector<uint8_t> pixels;
  PixelWorld output{};
};

// A lens program polls abort at its start; answering "stop" there leaves the frame
// as RenderFlare prepared it and shows that a program ran (one poll).
TEST(RenderFlareTest, FrameGeometryAndProfileLength) {
  struct Case {
    int32_t width, height, aspectNum;
    uint32_t aspectDen;
    double brightness;
    Fix16 x, y;
    int32_t profileLength;
    int16_t squareWidth;
    float frameBrightness, centerX, centerY;
  };
  const Case cases[] = {
      {1920, 1080, 1, 1, 0.0, 0, 0, 30720, 1920, 0.1f, 0.0f, 0.0f},        // 0 % draws as 10 %
      {1920, 1080, 1, 1, 100.0, 960 * kPixel, 540 * kPixel, 30720, 1920, 1.0f, 0.5f, 0.5f},
      {1920, 1080, 1, 1, 101.0, 0, 0, 19392, 1920, 1.01f, 0.0f, 0.0f},     // 10 x W x b above 100 %
      {1920, 1080, 1, 1, 300.0, 0, 0, 57600, 1920, 3.0f, 0.0f, 0.0f},
      {720, 480, 2, 1, 100.0, 1440 * kPixel, -48 * kPixel, 11520, 1440, 1.0f, 2.0f, -0.1f},
      {720, 576, 16, 15, 100.0, 180 * kPixel, 144 * kPixel, 11520, 768, 1.0f, 0.25f, 0.25f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " at " << c.brightness << " %");
    FakeHost host;
    host.SetPixelAspect(c.aspectNum, c.aspectDen);
    host.abortAfterPolls = 0;
    RenderInputs inputs(c.width, c.height, c.brightness, c.x, c.y);
    FlareContext context{};
    context.host = &host.in;
    RenderFlare(inputs.pointers.data(), &inputs.output, context);

    EXPECT_EQ(context.profileLength, c.profileLength);
    const FlareFrame& frame = context.frame;
    EXPECT_EQ(frame.width, c.width);
    EXPECT_EQ(frame.height, c.height);
    EXPECT_EQ(frame.squareWidth, c.squareWidth);
    EXPECT_EQ(frame.brightness, c.frameBrightness);
    EXPECT_FLOAT_EQ(frame.centerX, c.centerX);
    EXPECT_FLOAT_EQ(frame.centerY, c.centerY);
    EXPECT_EQ(frame.rowBytes, c.width * 4 + 64);
    EXPECT_EQ(frame.pixelBytes, 4);
    EXPECT_EQ(frame.pixels, inputs.pixels.data() + 1);
    EXPECT_EQ(host.abortPolls, 1);
    EXPECT_EQ(context.status, kStatusAborted);
  }
}

TEST(RenderFlareTest, EveryLensTypeRunsAProgram) {
  for (int32_t lensType : {1, 2, 3}) {
    FakeHost host;
    host.abortAfterPolls = 0;
    RenderInputs inputs(64, 48, 100.0, 0, 0, lensType);
    FlareContext context{};
    context.host = &host.in;
    RenderFlare(inputs.pointers.data(), &inputs.output, context);
    EXPECT_EQ(host.abortPolls, 1) << "lens type " << lensType;
  }
}

// A recording allocator: call number failAt answers null.
struct AllocationLog {
  int failAt = -1;
  int calls = 0;
  std::vector<size_t> sizes;
  std::vector<void*> obtained, released;
};
AllocationLog* gLog = nullptr;

class ProfileAllocationTest : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = gProfileAllocation;
    gLog = &log_;
    gProfileAllocation.allocate = [](size_t bytes) -> void* {
      gLog->sizes.push_back(bytes);
      if (gLog->calls++ == gLog->failAt) return nullptr;
      void* block = std::malloc(bytes);
      gLog->obtained.push_back(block);
      return block;
    };
    gProfileAllocation.release = [](void* block) {
      gLog->released.push_back(block);
      std::free(block);
    };
  }
  void TearDown() override {
    gProfileAllocation = saved_;
    gLog = nullptr;
  }
  AllocationLog log_;
  ProfileAllocation saved_{};
};

TEST_F(ProfileAllocationTest, FailureReleasesEarlierBuffersInOrderAndRunsNoProgram) {
  for (int failAt : {0, 1, 2}) {
    SCOPED_TRACE(testing::Message() << "allocation " << failAt << " fails");
    log_ = AllocationLog{};
    log_.failAt = failAt;
    FakeHost host;
    RenderInputs inputs(720, 480, 100.0, 0, 0);
    FlareContext context{};
    context.host = &host.in;
    context.frame.width = -1;  // untouched on failure
    RenderFlare(inputs.pointers.data(), &inputs.output, context);

    EXPECT_EQ(context.status, kErrRendererOutOfMemory);
    EXPECT_EQ(log_.calls, failAt + 1);
    EXPECT_EQ(log_.released, log_.obtained);  // the same blocks, in the order obtained
    EXPECT_EQ(context.frame.width, -1);
    EXPECT_EQ(host.abortPolls, 0);
  }
}

TEST_F(ProfileAllocationTest, ThreeBuffersOfProfileLengthReleasedRedGreenBlue) {
  FakeHost host;
  host.abortAfterPolls = 0;
  RenderInputs inputs(720, 480, 200.0, 0, 0);
  FlareContext context{};
  context.host = &host.in;
  RenderFlare(inputs.pointers.data(), &inputs.output, context);

  EXPECT_EQ(log_.sizes, (std::vector<size_t>{14400, 14400, 14400}));  // 720 x 2 x 10
  ASSERT_EQ(log_.obtained.size(), 3u);
  EXPECT_EQ(log_.obtained[0], context.profileRed);
  EXPECT_EQ(log_.obtained[1], context.profileGreen);
  EXPECT_EQ(log_.obtained[2], context.profileBlue);
  EXPECT_EQ(log_.released, log_.obtained);
}

}  // namespace
