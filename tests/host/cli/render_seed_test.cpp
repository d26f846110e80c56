// How the host seeds the module's random numbers for each frame, and the tool's
// per-thread rand() that the module draws from (this test program links it, as
// lensflare does). Whole renders against the published checksums are pinned in
// render_tests (lens_reference_renders_test.cpp, the C library's rand) and,
// through the tool, in cli_test.cpp (the per-thread one).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "tests/host/media_fixture.h"
#include "tests/host/module_fixture.h"

namespace {

TEST(RenderSeedTest, FrameSeedIsSeedPlusFrameTimesTheMultiplierModulo2To32) {
  struct Case {
    uint32_t seed;
    int64_t frame;
    uint32_t expected;
  };
  const Case cases[] = {
      {0, 0, 0},          {7, 0, 7},
      {0, 1, 2654435761}, {7, 2, 1013904233},  // 7 + 5308871522 - 2^32
      {4294967295u, 1, 2654435760}, {0, -1, 1640531535},
  };
  for (const Case& c : cases) EXPECT_EQ(lfhost::FrameSeed(c.seed, c.frame), c.expected) << c.seed << " " << c.frame;
}

// The module draws the same number of values for the same frame geometry, so
// the generator's next value after a render tells which seed the host used.
TEST(RenderSeedTest, TheFrameSeedSeedsTheGeneratorBeforeTheRender) {
  auto effect = lftest::StartedEffect();
  const lfhost::ImageBuffer input = lftest::OpaqueFrame(200, 120);
  lfhost::ParamValues v = effect->DefaultValues(200, 120);
  v.lensType = 3;   // the prime whose rays draw from rand
  auto nextAfterRender = [&](uint32_t seed, int64_t frameNumber) {
    lfhost::ImageBuffer out(200, 120);
    EXPECT_EQ(effect->Render(input, out, effect->Check(v), {.seed = seed, .frame = frameNumber}).code, 0);
    return std::rand();
  };
  struct Pair {
    uint32_t seedA;
    int64_t frameA;
    uint32_t seedB;
    int64_t frameB;
    bool same;
  };
  const Pair pairs[] = {
      {3, 1, 3u + 2654435761u, 0, true},
      {3, 0, 3, 0, true},
      {0, 0, 1, 0, true},   // the C library treats seeds 0 and 1 alike
      {0, 0, 0, 1, false},  // but frames 0 and 1 differ
      {3, 1, 4, 0, false},  // and seed S frame n+1 is not seed S+1 frame n
      {2, 0, 3, 0, false},
  };
  for (const Pair& p : pairs) {
    EXPECT_EQ(nextAfterRender(p.seedA, p.frameA) == nextAfterRender(p.seedB, p.frameB), p.same)
        << p.seedA << "/" << p.frameA << " against " << p.seedB << "/" << p.frameB;
  }
  // The module's draws came from this thread's generator: it has moved on.
  std::srand(lfhost::FrameSeed(3, 0));
  EXPECT_NE(nextAfterRender(3, 0), std::rand());
}

// The tool's rand against the C library's own, reached past this program's.
TEST(RenderSeedTest, PerThreadRandGivesTheCLibrarySequenceForEverySeed) {
  using RandFn = int (*)();
  using SrandFn = void (*)(unsigned);
  const auto libcRand = reinterpret_cast<RandFn>(dlsym(RTLD_NEXT, "rand"));
  const auto libcSrand = reinterpret_cast<SrandFn>(dlsym(RTLD_NEXT, "srand"));
  ASSERT_NE(libcRand, nullptr);
  ASSERT_NE(libcSrand, nullptr);
  // The module binds to the exported generator, not to the C library's.
  EXPECT_EQ(dlsym(RTLD_DEFAULT, "rand"), reinterpret_cast<void*>(&std::rand));
  EXPECT_NE(reinterpret_cast<void*>(libcRand), reinterpret_cast<void*>(&std::rand));

  std::vector<std::pair<unsigned, int>> runs = {{0, 2000000}, {1, 1000}, {2, 1000}, {2147483647u, 1000},
                                                {2147483648u, 1000}, {4294967295u, 2000000}, {12345, 1000}};
  std::mt19937 rng(2654435761u);
  for (int n = 0; n < 300; ++n) runs.push_back({static_cast<unsigned>(rng()), 400});
  for (const auto& [seed, draws] : runs) {
    libcSrand(seed);
    std::srand(seed);
    for (int i = 0; i < draws; ++i) {
      const int expected = libcRand();
      ASSERT_EQ(std::rand(), expected) << "seed " << seed << ", draw " << i;
    }
  }
  // A thread that never seeds draws as if seeded with 1.
  libcSrand(1);
  std::vector<int> unseeded;
  std::thread([&] { for (int i = 0; i < 50; ++i) unseeded.push_back(std::rand()); }).join();
  for (int i = 0; i < 50; ++i) EXPECT_EQ(unseeded[static_cast<size_t>(i)], libcRand()) << i;
}

// Renders with rays on several threads at once, each with its own instance,
// give the bytes of the same frames rendered one at a time.
TEST(RenderSeedTest, FramesRenderedAtTheSameTimeEqualFramesRenderedAlone) {
  constexpr int kThreads = 3;
  constexpr int kFramesEach = 4;
  const lfhost::ImageBuffer input = lftest::PatternFrame(160, 90, 1);
  auto render = [&](lfhost::EffectInstance& effect, int64_t frame) {
    lfhost::ParamValues v = effect.DefaultValues(160, 90);
    v.lensType = 3;
    v.brightness = 150.0 + 10.0 * static_cast<double>(frame % 3);
    lfhost::ImageBuffer out(160, 90);
    EXPECT_EQ(effect.Render(input, out, effect.Check(v), {.seed = 5, .frame = frame}).code, 0);
    return out;
  };
  std::vector<lfhost::ImageBuffer> alone;
  {
    auto effect = lftest::StartedEffect();
    for (int64_t f = 0; f < kThreads * kFramesEach; ++f) alone.push_back(render(*effect, f));
  }
  std::vector<lfhost::ImageBuffer> together(alone.size());
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto effect = lftest::StartedEffect();
      for (int k = 0; k < kFramesEach; ++k) {
        const int64_t f = static_cast<int64_t>(k) * kThreads + t;
        together[static_cast<size_t>(f)] = render(*effect, f);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (size_t f = 0; f < alone.size(); ++f) EXPECT_TRUE(lftest::SamePixels(together[f], alone[f])) << "frame " << f;
  EXPECT_FALSE(lftest::SamePixels(alone[0], alone[3])) << "frames 0 and 3 drew the same rays";
}

}  // namespace
