// The prepared stamp kernels (portable and AVX2) against the plain per-pixel
// kernels: whole stamps over random frames, profiles, positions, radii and pixel
// aspects (among them wide frames whose offsets wrap in 16 bits, and profiles
// shorter than the distances) must leave the same bytes, padding and alpha
// included, and ray stamps must leave the rand() sequence where the plain kernel
// leaves it. The row kernels are also held, column by column, against FastHypot
// and the jitter formula over offsets up to the 16-bit limits.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "render/fixed_point.h"
#include "render/hypot_table.h"
#include "render/render_flare.h"
#include "render/screen_blend.h"
#include "render/stamp_kernels.h"
#include "render/stamp_profile.h"
#include "render/stamp_rays.h"
#include "render/truncate.h"
#include "tests/support/fake_host.h"
#include "tests/support/flare_render_harness.h"

namespace {

// Forces a kernel set for the lifetime of the object.
class ForcedKernels {
 public:
  explicit ForcedKernels(StampKernelSet set) { ForceStampKernelSet(set); }
  ~ForcedKernels() { ClearForcedStampKernelSet(); }
};

std::vector<StampKernelSet> OptimisedSets() {
  std::vector<StampKernelSet> sets{StampKernelSet::kPortable};
  if (StampKernelSetSupported(StampKernelSet::kAvx2)) sets.push_back(StampKernelSet::kAvx2);
  return sets;
}

const char* SetName(StampKernelSet set) {
  return set == StampKernelSet::kAvx2 ? "avx2" : set == StampKernelSet::kPortable ? "portable" : "plain";
}

struct Aspect {
  int32_t num;
  uint32_t den;
};
constexpr Aspect kAspects[] = {{1, 1}, {2, 1}, {10, 11}, {1, 2}};
constexpr Aspect kWideAspects[] = {{1, 1}, {16, 1}};

// Random samples with runs of zeros in every channel and in all three at once
// (the hollow of a ring, the dark outside of a disc).
void RandomProfile(FlareContext& context, std::mt19937& rng) {
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> run(1, 40);
  std::uniform_int_distribution<int> kind(0, 5);
  int32_t i = 0;
  const int32_t lastNonZero = std::uniform_int_distribution<int32_t>(0, context.profileLength)(rng);
  while (i < context.profileLength) {
    const int32_t end = std::min(context.profileLength, i + run(rng));
    const int k = kind(rng);
    for (; i < end; ++i) {
      const bool dark = k == 0 || k == 1 || i >= lastNonZero;
      context.profileRed[i] = dark || k == 2 ? 0 : static_cast<uint8_t>(byte(rng));
      context.profileGreen[i] = dark ? 0 : static_cast<uint8_t>(byte(rng));
      context.profileBlue[i] = dark || k == 3 ? 0 : static_cast<uint8_t>(byte(rng));
    }
  }
}

void RandomPixels(TestCanvas& canvas, std::mt19937& rng) {
  std::uniform_int_distribution<int> byte(0, 255);
  for (int32_t y = 0; y < canvas.height; ++y)
    for (int32_t x = 0; x < canvas.width; ++x)
      for (int ch = 0; ch < 4; ++ch) canvas.At(x, y, ch) = static_cast<uint8_t>(byte(rng));
}

struct StampCase {
  int32_t width, height;
  Aspect aspect;
  float x, y, radius;
  int32_t threads;
  uint32_t pixelSeed;
  uint32_t profileSeed;
  int32_t profileLength;
};

// One case in six is a wide one: a frame of a few rows up to 9000 columns (or
// 600 at pixel aspect 16:1) with an element reaching past 8192 square pixels,
// whose offsets wrap in 16 bits.
StampCase RandomCase(std::mt19937& rng) {
  StampCase c{};
  const bool wide = std::uniform_int_distribution<int>(0, 5)(rng) == 0;
  c.aspect = wide ? kWideAspects[std::uniform_int_distribution<int>(0, 1)(rng)]
                  : kAspects[std::uniform_int_distribution<int>(0, 3)(rng)];
  c.width = std::uniform_int_distribution<int32_t>(1, wide ? 9000 / c.aspect.num : 160)(rng);
  c.height = std::uniform_int_distribution<int32_t>(1, wide ? 4 : 120)(rng);
  const float squareWidth = static_cast<float>(c.width) * c.aspect.num / static_cast<float>(c.aspect.den);
  // Centres from well outside the frame to well past it, on fractional positions.
  c.x = std::uniform_real_distribution<float>(-0.5f * squareWidth - 20.0f, 1.5f * squareWidth + 20.0f)(rng);
  c.y = std::uniform_real_distribution<float>(-0.5f * c.height - 20.0f, 1.5f * c.height + 20.0f)(rng);
  c.radius = std::uniform_real_distribution<float>(0.0f, wide ? 12000.0f : 90.0f)(rng);
  c.threads = std::uniform_int_distribution<int32_t>(1, 4)(rng);
  c.pixelSeed = static_cast<uint32_t>(rng());
  c.profileSeed = static_cast<uint32_t>(rng());
  // Mostly long enough for every distance the box can produce; one in three
  // shorter, so that distances and jittered indices pass the profile's end.
  const float reach = (c.radius + 2.0f) * 4.0f * 1.5f * std::max(1.0f, 2.0f * c.aspect.den / c.aspect.num);
  const int32_t longEnough = static_cast<int32_t>(std::min(reach, 50000.0f));
  c.profileLength = std::uniform_int_distribution<int>(0, 2)(rng) == 0
                        ? std::uniform_int_distribution<int32_t>(1, longEnough)(rng)
                        : longEnough + std::uniform_int_distribution<int32_t>(1, 64)(rng);
  return c;
}

struct StampOutcome {
  std::vector<uint8_t> bytes;
  int16_t status;
  int nextDraw;  // rand() right after the stamp
};

enum class Stamper { kProfile, kRays };

StampOutcome RunStamp(const StampCase& c, Stamper stamper, StampKernelSet set) {
  ForcedKernels forced(set);
  FakeHost host;
  host.threads = c.threads;
  host.parallel = c.threads > 1;
  host.SetPixelAspect(c.aspect.num, c.aspect.den);
  TestCanvas canvas(c.width, c.height, host, c.profileLength);
  std::mt19937 pixels(c.pixelSeed);
  RandomPixels(canvas, pixels);
  std::mt19937 profile(c.profileSeed);
  RandomProfile(canvas.context, profile);
  std::srand(c.pixelSeed);
  if (stamper == Stamper::kProfile) {
    StampProfile(c.x, c.y, c.radius, canvas.context.frame, canvas.context);
  } else {
    StampRays(c.x, c.y, c.radius, canvas.context.frame, canvas.context);
  }
  return {canvas.data, canvas.context.status, std::rand()};
}

TEST(StampEquivalence, OptimisedSetsDrawWhatThePlainKernelsDraw) {
  std::mt19937 rng(20261205);
  int changedCases = 0;
  for (int n = 0; n < 600; ++n) {
    const StampCase c = RandomCase(rng);
    for (Stamper stamper : {Stamper::kProfile, Stamper::kRays}) {
      const StampOutcome plain = RunStamp(c, stamper, StampKernelSet::kPlain);
      for (StampKernelSet set : OptimisedSets()) {
        const StampOutcome fast = RunStamp(c, stamper, set);
        ASSERT_EQ(fast.bytes, plain.bytes)
            << SetName(set) << (stamper == Stamper::kRays ? " rays" : " profile") << " case " << n << ": "
            << c.width << "x" << c.height << " aspect " << c.aspect.num << ":" << c.aspect.den << " at ("
            << c.x << ", " << c.y << ") radius " << c.radius << ", " << c.threads << " invocations";
        EXPECT_EQ(fast.status, plain.status);
        EXPECT_EQ(fast.nextDraw, plain.nextDraw) << "rand() sequence moved differently, case " << n;
      }
    }
    // Count cases that drew anything at all, so the comparison is not vacuous.
    FakeHost host;
    host.SetPixelAspect(c.aspect.num, c.aspect.den);
    TestCanvas blank(c.width, c.height, host, c.profileLength);
    const std::vector<uint8_t> before = blank.data;
    ForcedKernels forced(StampKernelSet::kPlain);
    std::mt19937 profile(c.profileSeed);
    RandomProfile(blank.context, profile);
    StampProfile(c.x, c.y, c.radius, blank.context.frame, blank.context);
    if (blank.data != before) ++changedCases;
  }
  EXPECT_GT(changedCases, 300);
}

TEST(StampEquivalence, CancelStopsTheBandAtTheSameRow) {
  for (StampKernelSet set : {StampKernelSet::kPlain, StampKernelSet::kPortable, StampKernelSet::kAvx2}) {
    if (!StampKernelSetSupported(set)) continue;
    ForcedKernels forced(set);
    FakeHost host;
    host.abortAfterPolls = 5;
    TestCanvas canvas(40, 30, host);
    canvas.SetProfile(200);
    StampProfile(20.0f, 15.0f, 30.0f, canvas.context.frame, canvas.context);
    EXPECT_EQ(canvas.context.status, 517) << SetName(set);
    EXPECT_EQ(host.abortPolls, 6) << SetName(set);
    // Rows 0 to 4 drawn (the box starts at row 0), row 5 on untouched.
    EXPECT_EQ(canvas.At(3, 4, 1), 200) << SetName(set);
    EXPECT_EQ(canvas.At(3, 5, 1), 0) << SetName(set);
  }
}

// ---- Whole renders ---------------------------------------------------------------

struct RenderCase {
  int32_t width, height, lens;
  double brightnessPercent;
  Fix16 centerX, centerY;  // pixels, 16.16
  Aspect aspect;
  uint32_t pixelSeed;      // 0: opaque black frame
};

// RenderFlare over a frame with padded rows, every stamp, streak and ray of a lens
// program; rand() seeded right before, as the host does.
std::vector<uint8_t> RenderWith(const RenderCase& c, StampKernelSet set) {
  ForcedKernels forced(set);
  FakeHost host;
  host.threads = 3;
  host.parallel = true;
  host.SetPixelAspect(c.aspect.num, c.aspect.den);
  const int32_t rowBytes = HostRowBytes(c.width);
  std::vector<uint8_t> frame(static_cast<size_t>(rowBytes) * c.height, 0);
  std::mt19937 rng(c.pixelSeed);
  for (int32_t y = 0; y < c.height; ++y)
    for (int32_t x = 0; x < c.width * 4; ++x)
      frame[static_cast<size_t>(y) * rowBytes + x] = c.pixelSeed == 0 ? (x % 4 == 0 ? 255 : 0) : static_cast<uint8_t>(rng());
  EXPECT_EQ(RenderWholeFrame(host, {c.lens, c.brightnessPercent, c.centerX, c.centerY, c.pixelSeed}, frame, c.width,
                             c.height),
            0);
  return frame;
}

TEST(StampEquivalence, WholeRendersAreTheSameWithEveryKernelSet) {
  constexpr Fix16 kPixel = 65536;
  const RenderCase cases[] = {
      {1920, 1080, 1, 100, 625 * kPixel, 400 * kPixel, {1, 1}, 0},
      {1920, 1080, 2, 100, 625 * kPixel, 400 * kPixel, {1, 1}, 0},
      {1920, 1080, 3, 100, 625 * kPixel, 400 * kPixel, {1, 1}, 0},
      {721, 487, 3, 250, -6586368, 300 * kPixel, {10, 11}, 7},
      {640, 480, 1, 5, 320 * kPixel, 240 * kPixel, {1, 1}, 11},
      {97, 61, 2, 300, 0, 30 * kPixel, {2, 1}, 13},
      {333, 211, 1, 300, 400 * kPixel, -20 * kPixel, {1, 2}, 17},
      {400, 300, 3, 180, 123 * kPixel + 32768, 77 * kPixel, {1, 1}, 19},
      // Offsets wrapping in 16 bits and distances past the profile's end.
      {8300, 1, 1, 300, 0, 0, {1, 1}, 0},
      {4096, 400, 2, 250, -200 * kPixel, 100 * kPixel, {2, 1}, 0},
      {64, 48, 1, 10, 20 * kPixel, 15 * kPixel, {16, 1}, 0},
      {2000, 30, 3, 300, 1000 * kPixel, 15 * kPixel, {16, 1}, 23},
  };
  for (const RenderCase& c : cases) {
    const std::vector<uint8_t> plain = RenderWith(c, StampKernelSet::kPlain);
    for (StampKernelSet set : OptimisedSets()) {
      EXPECT_TRUE(RenderWith(c, set) == plain)
          << SetName(set) << ": lens " << c.lens << " " << c.width << "x" << c.height << " at " << c.brightnessPercent
          << " %, aspect " << c.aspect.num << ":" << c.aspect.den;
    }
  }
}

// ---- Row kernels over the whole 16-bit range --------------------------------

using ProfileRowFn = void (*)(const ProfileRowTask&);
using RayRowFn = void (*)(const RayRowTask&);

std::vector<std::pair<const char*, StampRowKernels>> RowKernelSets() {
  std::vector<std::pair<const char*, StampRowKernels>> sets{
      {"portable", RowKernelsFor(StampKernelSet::kPortable)}};
  if (StampKernelSetSupported(StampKernelSet::kAvx2)) sets.push_back({"avx2", RowKernelsFor(StampKernelSet::kAvx2)});
  return sets;
}

// A packed profile whose every sample differs from its neighbours in all three
// bytes and none is 0, so a pixel's result reveals the distance it was given.
std::vector<uint32_t> DistanceRevealingProfile(int32_t length) {
  std::vector<uint32_t> packed(static_cast<size_t>(length));
  for (int32_t d = 0; d < length; ++d) {
    const uint32_t r = 1 + static_cast<uint32_t>(d % 251);
    const uint32_t g = 1 + static_cast<uint32_t>((d / 251) % 251);
    const uint32_t b = 1 + static_cast<uint32_t>((d * 7) % 253);
    packed[static_cast<size_t>(d)] = r | (g << 8) | (b << 16);
  }
  return packed;
}

uint8_t Channel(uint32_t word, int k) { return static_cast<uint8_t>(word >> (8 * k)); }

// The vector FastHypot takes its table index from a single-precision division;
// truncated, it must equal the integer division for every pair of magnitudes.
TEST(StampRowKernels, SinglePrecisionIndexEqualsTheIntegerOneForEveryPair) {
  int64_t mismatches = 0;
  for (int32_t hi = 1; hi <= 32768; ++hi) {
    const float divisor = static_cast<float>(hi);
    for (int32_t lo = 0; lo <= hi; ++lo) {
      const int32_t numerator = lo * 256;
      const volatile float quotient = static_cast<float>(numerator) / divisor;  // one rounding, as in the kernel
      if (static_cast<int32_t>(quotient) != numerator / hi) ++mismatches;
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(StampRowKernels, ProfileRowMatchesFastHypotAcrossTheRange) {
  HypotTable hypot;
  FillHypotTable(hypot);
  std::vector<uint32_t> table(kHypotTableSize);
  WidenHypotTable(hypot, table.data());
  const int32_t length = 46342;  // FastHypot(32768, 32768) = 46340 fits
  const std::vector<uint32_t> packed = DistanceRevealingProfile(length);

  // Every shorter side against longer sides where the index division is
  // tight (small, near powers of two, the 16-bit edge), plus random rows.
  std::vector<int32_t> longer;
  for (int32_t h = 0; h <= 300; ++h) longer.push_back(h);
  for (int32_t h : {511, 512, 513, 1023, 1024, 4095, 9973, 16384, 32767, 32768}) longer.push_back(h);
  std::mt19937 rng(7);
  for (int n = 0; n < 40; ++n) longer.push_back(std::uniform_int_distribution<int32_t>(301, 32768)(rng));

  for (const auto& [name, kernels] : RowKernelSets()) {
    for (int32_t hi : longer) {
      for (bool dxLonger : {false, true}) {
        // Columns c = 0..hi give a shorter side of c against hi; with dxLonger
        // the roles swap across a wider row of offsets beyond hi.
        const int32_t columns = hi + 1 + (dxLonger ? 17 : 0);
        std::vector<int32_t> absDx(static_cast<size_t>(columns));
        for (int32_t c = 0; c < columns; ++c) absDx[static_cast<size_t>(c)] = dxLonger ? std::min(32768, hi + c) : c;
        const int32_t absDy = dxLonger ? std::min(hi, 255) : hi;
        std::vector<uint8_t> pixels(static_cast<size_t>(columns) * 4 + 4, 0x11);
        ProfileRowTask task{pixels.data() + 1, 4, columns, 0, columns, absDx.data(), absDy, table.data(),
                            packed.data()};
        kernels.profileRow(task);
        for (int32_t c = 0; c < columns; ++c) {
          const int32_t d = FastHypot(hypot, absDx[static_cast<size_t>(c)], absDy);
          const uint32_t sample = packed[static_cast<size_t>(d)];
          for (int k = 0; k < 3; ++k) {
            ASSERT_EQ(pixels[static_cast<size_t>(c) * 4 + 1 + k], ScreenByte(Channel(sample, k), 0x11))
                << name << ": |dx| " << absDx[static_cast<size_t>(c)] << ", |dy| " << absDy;
          }
          ASSERT_EQ(pixels[static_cast<size_t>(c) * 4], 0x11) << name << ": alpha written";
        }
      }
    }
  }
}

TEST(StampRowKernels, RayRowMatchesTheJitterFormula) {
  HypotTable hypot;
  FillHypotTable(hypot);
  std::vector<uint32_t> table(kHypotTableSize);
  WidenHypotTable(hypot, table.data());
  std::mt19937 rng(11);
  const float reaches[] = {100.0f, 3.5f, 0.75f, 1e-30f, -3.0f, 7777.25f};
  const uint32_t masks[] = {0u, 1u, 127u, 511u, 0xFFFFFFFFu};
  const int32_t lengths[] = {1, 300, 46342, 200000};

  for (const auto& [name, kernels] : RowKernelSets()) {
    for (int n = 0; n < 200; ++n) {
      const int32_t columns = std::uniform_int_distribution<int32_t>(1, 90)(rng);
      const int32_t length = lengths[n % 4];
      const std::vector<uint32_t> packed = DistanceRevealingProfile(length);
      std::vector<int32_t> dx(static_cast<size_t>(columns));
      const int32_t spread = n % 3 == 0 ? 32768 : 400;
      for (int32_t c = 0; c < columns; ++c) {
        dx[static_cast<size_t>(c)] = std::uniform_int_distribution<int32_t>(-spread, std::min(spread, 32767))(rng);
      }
      // The draws the kernel will make: two per column, in column order.
      const unsigned seed = static_cast<unsigned>(rng());
      std::srand(seed);
      std::vector<uint32_t> first(static_cast<size_t>(columns)), second(static_cast<size_t>(columns));
      for (int32_t c = 0; c < columns; ++c) {
        first[static_cast<size_t>(c)] = static_cast<uint32_t>(std::rand());
        second[static_cast<size_t>(c)] = static_cast<uint32_t>(std::rand());
      }
      const int nextDraw = std::rand();
      RayRowTask task{};
      std::vector<uint8_t> pixels(static_cast<size_t>(columns) * 4 + 4);
      for (uint8_t& p : pixels) p = static_cast<uint8_t>(rng());
      const std::vector<uint8_t> before = pixels;
      task.pixels = pixels.data() + 1;
      task.pixelBytes = 4;
      task.columns = columns;
      task.dx = dx.data();
      task.absDy = std::uniform_int_distribution<int32_t>(0, spread)(rng);
      task.jitterMask = masks[n % 5];
      task.reach = reaches[n % 6];
      task.table = table.data();
      task.packed = packed.data();
      task.length = length;
      std::srand(seed);
      kernels.rayRow(task);
      ASSERT_EQ(std::rand(), nextDraw) << name << ": not two draws per pixel";
      for (int32_t c = 0; c < columns; ++c) {
        const size_t at = static_cast<size_t>(c) * 4;
        // Indices past the end read the last sample; negative ones leave the pixel.
        const int32_t d = FastHypot(hypot, dx[static_cast<size_t>(c)], task.absDy);
        const uint32_t j = ((first[static_cast<size_t>(c)] << 16) + second[static_cast<size_t>(c)]) & task.jitterMask;
        const int32_t m = static_cast<int32_t>(j * static_cast<uint32_t>(d));
        const int32_t index = TruncToInt32(static_cast<float>(m) / task.reach + static_cast<float>(d));
        const uint32_t sample = index < 0 ? 0 : packed[static_cast<size_t>(std::min(index, length - 1))];
        for (int k = 0; k < 3; ++k) {
          ASSERT_EQ(pixels[at + 1 + k], ScreenByte(Channel(sample, k), before[at + 1 + k]))
              << name << " row " << n << " column " << c << " dx " << dx[static_cast<size_t>(c)];
        }
        ASSERT_EQ(pixels[at], before[at]) << name << ": alpha written";
      }
    }
  }
}

}  // namespace
