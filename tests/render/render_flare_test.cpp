#include "render/render_flare.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "render/profile_allocation.h"
#include "tests/support/fake_host.h"
#include "tests/support/flare_render_harness.h"

namespace {

constexpr Fix16 kPixel = 65536;

// Lens 1 over a black frame; context keeps what RenderFlare left in it.
int16_t Render(FakeHost& host, int32_t width, int32_t height, double brightness, Fix16 x, Fix16 y,
               FlareContext& context) {
  std::vector<uint8_t> frame(static_cast<size_t>(HostRowBytes(width)) * height, 0);
  return RenderWholeFrame(host, {1, brightness, x, y, 0}, frame, width, height, context);
}

// A lens program polls abort at its start; answering "stop" there leaves the frame
// as RenderFlare prepared it and shows that a program ran (one poll).
TEST(RenderFlareTest, FrameGeometryAndProfileLength) {
  const struct {
    int32_t width, height, aspectNum;
    uint32_t aspectDen;
    double brightness;
    Fix16 x, y;
    int32_t profileLength;
    int16_t squareWidth;
    float frameBrightness, centerX, centerY;
  } cases[] = {
      {1920, 1080, 1, 1, 0.0, 0, 0, 30720, 1920, 0.1f, 0.0f, 0.0f},        // 0 % draws as 10 %
      {1920, 1080, 1, 1, 100.0, 960 * kPixel, 540 * kPixel, 30720, 1920, 1.0f, 0.5f, 0.5f},
      {1920, 1080, 1, 1, 101.0, 0, 0, 19392, 1920, 1.01f, 0.0f, 0.0f},     // 10 x W x b above 100 %
      {1920, 1080, 1, 1, 300.0, 0, 0, 57600, 1920, 3.0f, 0.0f, 0.0f},
      {720, 480, 2, 1, 100.0, 1440 * kPixel, -48 * kPixel, 11520, 1440, 1.0f, 2.0f, -0.1f},
      {720, 576, 16, 15, 100.0, 180 * kPixel, 144 * kPixel, 11520, 768, 1.0f, 0.25f, 0.25f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " at " << c.brightness << " %");
    FakeHost host;
    host.SetPixelAspect(c.aspectNum, c.aspectDen);
    host.abortAfterPolls = 0;
    FlareContext context{};
    EXPECT_EQ(Render(host, c.width, c.height, c.brightness, c.x, c.y, context), kStatusAborted);

    // The frame's layout itself is pinned by the whole-render checksums.
    EXPECT_EQ(context.profileLength, c.profileLength);
    EXPECT_EQ(context.frame.squareWidth, c.squareWidth);
    EXPECT_EQ(context.frame.brightness, c.frameBrightness);
    EXPECT_FLOAT_EQ(context.frame.centerX, c.centerX);
    EXPECT_FLOAT_EQ(context.frame.centerY, c.centerY);
    EXPECT_EQ(host.abortPolls, 1);
  }
}

// A recording allocator in place of malloc and free: call number failAt answers null.
struct AllocationLog {
  int failAt = -1;
  std::vector<size_t> sizes;
  std::vector<void*> obtained, released;
} gLog;

TEST(RenderFlareTest, ProfileBuffersAndAllocationFailure) {
  const ProfileAllocation saved = gProfileAllocation;
  gProfileAllocation.allocate = [](size_t bytes) -> void* {
    gLog.sizes.push_back(bytes);
    if (static_cast<int>(gLog.sizes.size()) - 1 == gLog.failAt) return nullptr;
    return gLog.obtained.emplace_back(std::malloc(bytes));
  };
  gProfileAllocation.release = [](void* block) {
    gLog.released.push_back(block);
    std::free(block);
  };
  for (int failAt : {-1, 0, 1, 2}) {
    SCOPED_TRACE(testing::Message() << "allocation " << failAt << " fails");
    gLog = AllocationLog{};
    gLog.failAt = failAt;
    FakeHost host;
    host.abortAfterPolls = 0;
    FlareContext context{};
    context.frame.width = -1;  // untouched on failure
    Render(host, 720, 480, 200.0, 0, 0, context);
    EXPECT_EQ(gLog.released, gLog.obtained);  // the same blocks, in the order obtained
    if (failAt < 0) {
      EXPECT_EQ(gLog.sizes, (std::vector<size_t>{14400, 14400, 14400}));  // 720 x 2 x 10
      EXPECT_EQ(gLog.obtained, (std::vector<void*>{context.profileRed, context.profileGreen, context.profileBlue}));
      EXPECT_EQ(host.abortPolls, 1);
    } else {
      EXPECT_EQ(context.status, -108);  // the module's out-of-memory code
      EXPECT_EQ(gLog.sizes.size(), static_cast<size_t>(failAt + 1));
      EXPECT_EQ(context.frame.width, -1);
      EXPECT_EQ(host.abortPolls, 0);  // no lens program ran
    }
  }
  gProfileAllocation = saved;
}

}  // namespace
