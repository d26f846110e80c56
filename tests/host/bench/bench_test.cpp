// The bench's screen pass on every instruction set the processor offers, against
// the screen formula byte by byte, the stamp coverage it counts, and the blend
// shortcuts the render command's usual call takes.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "host/bench/bench.h"
#include "host/core/host_callbacks.h"
#include "host/core/image_buffer.h"
#include "render/screen_blend.h"
#include "tests/host/module_fixture.h"

namespace {

using lfhost::ImageBuffer;
using lfhost::ScreenPassIsa;

ImageBuffer RandomFrame(int32_t width, int32_t height, std::mt19937& rng) {
  ImageBuffer frame(width, height);
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x)
      for (int ch = 0; ch < 4; ++ch) frame.at(x, y, ch) = static_cast<uint8_t>(rng());
  return frame;
}

// Each vectorised pass against the module's scalar screen (ScreenByte): every
// layer byte over every stored byte, and frame widths that leave each tail.
TEST(ScreenFrameTest, EveryInstructionSetScreensEachByteAndKeepsAlpha) {
  lfhost::WorkerPool pool(3);
  std::mt19937 rng(5);
  struct Layer {
    uint8_t r, g, b;
  };
  std::vector<Layer> layers = {{0, 0, 0}, {255, 255, 255}, {40, 30, 20}, {1, 128, 254}};
  std::vector<Layer> everyLayer;
  for (int v = 0; v < 256; ++v)
    everyLayer.push_back({static_cast<uint8_t>(v), static_cast<uint8_t>(255 - v), static_cast<uint8_t>(v ^ 0x5a)});
  // Stored bytes 0..255 in every colour channel, each row shifted.
  ImageBuffer everyStored(256, 3);
  for (int32_t y = 0; y < 3; ++y)
    for (int32_t x = 0; x < 256; ++x)
      for (int ch = 0; ch < 4; ++ch) everyStored.at(x, y, ch) = static_cast<uint8_t>(x + 85 * y + ch);
  int tested = 0;
  for (ScreenPassIsa isa : {ScreenPassIsa::kScalar, ScreenPassIsa::kSse42, ScreenPassIsa::kAvx2}) {
    if (!lfhost::ScreenPassIsaSupported(isa)) continue;
    ++tested;
    lfhost::ForceScreenPassIsa(isa);
    EXPECT_EQ(lfhost::ActiveScreenPassIsa(), isa);
    // Widths that leave every possible tail after groups of four and eight;
    // width 0 stands for the frame of every stored byte, under every layer byte.
    for (int32_t width : {1, 3, 4, 7, 8, 9, 15, 16, 17, 33, 0}) {
      for (const Layer& layer : width == 0 ? everyLayer : layers) {
        const ImageBuffer before = width == 0 ? everyStored.Clone() : RandomFrame(width, 5, rng);
        ImageBuffer frame = before.Clone();
        lfhost::ScreenFrame(pool, frame, layer.r, layer.g, layer.b);
        for (int32_t y = 0; y < before.height(); ++y)
          for (int32_t x = 0; x < before.width(); ++x) {
            ASSERT_EQ(frame.at(x, y, 0), before.at(x, y, 0)) << "alpha at " << x << "," << y;
            ASSERT_EQ(frame.at(x, y, 1), ScreenByte(layer.r, before.at(x, y, 1))) << static_cast<int>(isa);
            ASSERT_EQ(frame.at(x, y, 2), ScreenByte(layer.g, before.at(x, y, 2))) << static_cast<int>(isa);
            ASSERT_EQ(frame.at(x, y, 3), ScreenByte(layer.b, before.at(x, y, 3))) << static_cast<int>(isa);
          }
        EXPECT_TRUE(frame.GuardsIntact());
      }
    }
  }
  lfhost::ClearForcedScreenPassIsa();
  EXPECT_GE(tested, 1);
}

TEST(ScreenFrameTest, MedianOfOddAndEvenCounts) {
  EXPECT_EQ(lfhost::Median({3.0, 1.0, 2.0}), 2.0);
  EXPECT_EQ(lfhost::Median({4.0, 1.0, 3.0, 2.0}), 2.5);
  EXPECT_EQ(lfhost::Median({}), 0.0);
}

// Every stamp's iterate call is counted, a ray stamp by the rand() values it
// drew: at 300 % the 105mm prime's ray element spans the frame, two draws a pixel.
TEST(BenchCoverageTest, CountsEveryStampAndTheRayStampsDraws) {
  struct Case {
    int32_t lens, profileStamps, rayStamps;
    int64_t rayDraws;
  };
  for (const Case& c : {Case{1, 16, 0, 0}, Case{2, 15, 0, 0}, Case{3, 28, 1, 2 * 160 * 90}}) {
    lfhost::BenchCase bench;
    bench.lens = c.lens;
    bench.width = 160;
    bench.height = 90;
    bench.brightness = 300;
    bench.repeat = 1;
    const lfhost::StampCoverage coverage = lfhost::RunBench(lftest::TestModule(), lftest::TestPool(), bench).coverage;
    EXPECT_EQ(coverage.profileStamps, c.profileStamps) << "lens " << c.lens;
    EXPECT_EQ(coverage.rayStamps, c.rayStamps) << "lens " << c.lens;
    EXPECT_EQ(coverage.rayDraws, c.rayDraws) << "lens " << c.lens;
    // No drawn box is larger than the frame.
    EXPECT_GT(coverage.profileFrames, 0.0) << "lens " << c.lens;
    EXPECT_LE(coverage.profileFrames, c.profileStamps) << "lens " << c.lens;
  }
}

// Ratio 0 gives source 1 and 65536 source 2 exactly, whatever the other source
// holds; the same blend in place leaves the frame as it is.
TEST(BlendShortcutTest, EndRatiosCopyOneSourceAndInPlaceChangesNothing) {
  lfhost::WorkerPool pool(1);
  lfhost::HostServices host(pool, nullptr);
  CommandInput in{};
  host.Connect(in);
  std::mt19937 rng(9);
  const ImageBuffer a = RandomFrame(13, 4, rng);
  const ImageBuffer b = RandomFrame(13, 4, rng);
  struct Case {
    int32_t ratio;
    const ImageBuffer* expected;
  };
  for (const Case& c : {Case{0, &a}, Case{-7, &a}, Case{65536, &b}, Case{90000, &b}}) {
    ImageBuffer destination(13, 4);
    ASSERT_EQ(in.callbacks->blend(in.effectRef, a.world(), b.world(), c.ratio, destination.world()), 0);
    EXPECT_EQ(destination.ToRGBA(), c.expected->ToRGBA()) << "ratio " << c.ratio;
    EXPECT_TRUE(destination.GuardsIntact());
  }
  ImageBuffer inPlace = a.Clone();
  ASSERT_EQ(in.callbacks->blend(in.effectRef, inPlace.world(), b.world(), 0, inPlace.world()), 0);
  EXPECT_EQ(inPlace.ToRGBA(), a.ToRGBA());
  // A ratio between the ends still blends every byte: 1 and 255 at one half.
  ImageBuffer low(2, 1), high(2, 1), mixed(2, 1);
  low.Fill(1, 1, 1, 1);
  high.Fill(255, 255, 255, 255);
  ASSERT_EQ(in.callbacks->blend(in.effectRef, low.world(), high.world(), 32768, mixed.world()), 0);
  EXPECT_EQ(mixed.at(1, 0, 2), 128);  // (1 x 32768 + 255 x 32768 + 32768) >> 16
}

}  // namespace
