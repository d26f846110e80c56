// How the host seeds the module's random numbers for each frame. Whole renders
// against the published checksums are pinned in render_tests
// (lens_reference_renders_test.cpp) and, through the tool, in cli_test.cpp.
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/host/module_fixture.h"

namespace {

// The host seeds rand with seed + frame right before the render command. The
// module draws the same number of values for the same frame geometry, so the
// generator's next value after a render tells which seed the host used.
TEST(RenderSeedTest, SeedPlusFrameSeedsTheGeneratorBeforeTheRender) {
  auto effect = lftest::StartedEffect();
  const lfhost::ImageBuffer input = lftest::OpaqueFrame(200, 120);
  lfhost::ParamValues v = effect->DefaultValues(200, 120);
  v.lensType = 3;   // the prime whose rays draw from rand
  auto nextAfterRender = [&](uint32_t seed, int64_t frameNumber) {
    lfhost::ImageBuffer out(200, 120);
    lfhost::FrameSettings f;
    f.seed = seed;
    f.frame = frameNumber;
    EXPECT_EQ(effect->Render(input, out, v, f).code, 0);
    return std::rand();
  };
  // (The C library treats seeds 0 and 1 alike, so they are not compared here.)
  const int afterSeed3 = nextAfterRender(3, 0);
  EXPECT_EQ(nextAfterRender(2, 1), afterSeed3);
  EXPECT_EQ(nextAfterRender(3, 0), afterSeed3);
  EXPECT_NE(nextAfterRender(2, 0), afterSeed3);
  EXPECT_NE(nextAfterRender(3, 1), afterSeed3);
}

}  // namespace
