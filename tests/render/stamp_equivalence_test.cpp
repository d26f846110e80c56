// The prepared stamp kernels (portable and AVX2) against the plain per-pixel
// kernels: whole stamps over random frames, profiles, positions, radii and pixel
// aspects (among them wide frames whose offsets wrap in 16 bits, and profiles
// shorter than the distances) must leave the same bytes, padding and alpha
// included, and ray stamps must leave the rand() sequence where the plain kernel
// leaves it. The profile row kernel is also held, column by column, against
// FastHypot over offsets up to the 16-bit limits.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "render/screen_blend.h"
#include "render/fixed_point.h"
#include "render/full_context.h"
#include "render/hypot_table.h"
#include "render/stamp_kernels.h"
#include "render/stamp_profile.h"
#include "render/stamp_rays.h"
#include "tests/support/fake_host.h"

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
  bool changed;  // the stamp drew anything at all
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
  const std::vector<uint8_t> before = canvas.data;
  std::srand(c.pixelSeed);
  if (stamper == Stamper::kProfile) {
    StampProfile(c.x, c.y, c.radius, canvas.context.frame, canvas.context);
  } else {
    StampRays(c.x, c.y, c.radius, canvas.context.frame, canvas.context);
  }
  return {canvas.data, canvas.context.status, std::rand(), canvas.data != before};
}

// The case with its centre on the half-pixel grid and a whole radius: the
// offsets of such a stamp are symmetric about its centre (exactly so at pixel
// aspects 1 and 2), within the box or, when the frame clips it, only on one side.
StampCase OnHalfPixels(StampCase c) {
  c.x = std::round(2.0f * c.x) / 2.0f;
  c.y = std::round(2.0f * c.y) / 2.0f;
  c.radius = std::round(c.radius);
  return c;
}

TEST(StampEquivalence, OptimisedSetsDrawWhatThePlainKernelsDraw) {
  std::mt19937 rng(20261205);
  int changedCases = 0;
  StampCase random{};
  for (int n = 0; n < 1200; ++n) {
    // Each random case, then the same stamp moved onto half pixels.
    if (n % 2 == 0) random = RandomCase(rng);
    const StampCase c = n % 2 == 0 ? random : OnHalfPixels(random);
    for (Stamper stamper : {Stamper::kProfile, Stamper::kRays}) {
      const StampOutcome plain = RunStamp(c, stamper, StampKernelSet::kPlain);
      // Counted so that the comparison is not vacuous.
      if (stamper == Stamper::kProfile && plain.changed) ++changedCases;
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
  }
  EXPECT_GT(changedCases, 600);
}

// The full-precision stamps: the same cases over a canvas of random floats, the
// profile's non-zero bytes turned into random shares; every float of the canvas
// must come out bit for bit as the plain kernel leaves it, and the rays must
// leave the rand() sequence where it does.
struct FullStampOutcome {
  std::vector<float> rgb;
  int16_t status;
  int nextDraw;
};

FullStampOutcome RunFullStamp(const StampCase& c, Stamper stamper, StampKernelSet set) {
  ForcedKernels forced(set);
  FakeHost host;
  host.threads = c.threads;
  host.parallel = c.threads > 1;
  host.SetPixelAspect(c.aspect.num, c.aspect.den);
  TestCanvas canvas(c.width, c.height, host, c.profileLength);
  std::mt19937 pixels(c.pixelSeed);
  std::uniform_real_distribution<float> share(0.0f, 1.0f);
  FullStampOutcome out{std::vector<float>(3 * static_cast<size_t>(c.width) * c.height), 0, 0};
  for (float& v : out.rgb) v = share(pixels);
  std::mt19937 profileRng(c.profileSeed);
  RandomProfile(canvas.context, profileRng);
  std::vector<float> profile(3 * static_cast<size_t>(c.profileLength));
  const uint8_t* bytes[3] = {canvas.context.profileRed, canvas.context.profileGreen, canvas.context.profileBlue};
  FullFlareContext full(canvas.context, FullCanvas{out.rgb.data(), c.width, c.height});
  for (int ch = 0; ch < 3; ++ch) {
    full.profile[ch] = profile.data() + ch * static_cast<size_t>(c.profileLength);
    for (int32_t i = 0; i < c.profileLength; ++i) full.profile[ch][i] = bytes[ch][i] == 0 ? 0.0f : share(profileRng);
  }
  std::srand(c.pixelSeed);
  if (stamper == Stamper::kProfile) {
    StampProfile(c.x, c.y, c.radius, full.shared().frame, full);
  } else {
    StampRays(c.x, c.y, c.radius, full.shared().frame, full);
  }
  out.status = LoadStatus(full);
  out.nextDraw = std::rand();
  return out;
}

TEST(StampEquivalence, OptimisedSetsDrawTheFullPrecisionStampAsThePlainKernel) {
  std::mt19937 rng(20261206);
  int changedCases = 0;
  StampCase random{};
  for (int n = 0; n < 800; ++n) {
    // Each random case, then the same stamp moved onto half pixels.
    if (n % 2 == 0) random = RandomCase(rng);
    const StampCase c = n % 2 == 0 ? random : OnHalfPixels(random);
    for (Stamper stamper : {Stamper::kProfile, Stamper::kRays}) {
      const FullStampOutcome plain = RunFullStamp(c, stamper, StampKernelSet::kPlain);
      for (StampKernelSet set : OptimisedSets()) {
        const FullStampOutcome fast = RunFullStamp(c, stamper, set);
        ASSERT_EQ(std::memcmp(fast.rgb.data(), plain.rgb.data(), plain.rgb.size() * sizeof(float)), 0)
            << SetName(set) << (stamper == Stamper::kRays ? " rays" : " profile") << " case " << n << ": "
            << c.width << "x" << c.height << " aspect " << c.aspect.num << ":" << c.aspect.den << " at (" << c.x
            << ", " << c.y << ") radius " << c.radius;
        EXPECT_EQ(fast.status, plain.status);
        EXPECT_EQ(fast.nextDraw, plain.nextDraw) << "rand() sequence moved differently, case " << n;
      }
      if (stamper == Stamper::kRays) continue;
      // Counted against an untouched canvas, so that the comparison is not vacuous.
      StampCase none = c;
      none.radius = -1.0e9f;
      const FullStampOutcome untouched = RunFullStamp(none, stamper, StampKernelSet::kPlain);
      if (std::memcmp(untouched.rgb.data(), plain.rgb.data(), plain.rgb.size() * sizeof(float)) != 0) ++changedCases;
    }
  }
  EXPECT_GT(changedCases, 400);
}

// Thread index 0 polls before each row of its band; the other bands never poll
// and complete.
TEST(StampEquivalence, CancelStopsTheFirstBandAtTheSameRowWithEveryKernelSet) {
  for (StampKernelSet set : {StampKernelSet::kPlain, StampKernelSet::kPortable, StampKernelSet::kAvx2}) {
    if (!StampKernelSetSupported(set)) continue;
    ForcedKernels forced(set);
    FakeHost host;
    host.threads = 2;
    host.abortAfterPolls = 3;  // rows 0..2 of band 0 are drawn, then 517
    TestCanvas canvas(40, 40, host);
    canvas.SetProfile(200);
    StampProfile(20.0f, 20.0f, 8.0f, canvas.context.frame, canvas.context);  // rows 10..29
    EXPECT_EQ(LoadStatus(canvas.context), 517) << SetName(set);
    EXPECT_EQ(host.abortPolls, 4) << SetName(set);
    for (int32_t y = 10; y < 30; ++y)
      EXPECT_EQ(canvas.At(20, y, 1), y < 13 || y >= 20 ? 200 : 0) << SetName(set) << " row " << y;
  }
}

// ---- The profile row kernel over the whole 16-bit range ---------------------

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
        std::vector<uint32_t> samples(static_cast<size_t>(columns));
        ProfileRowTask task{pixels.data() + 1, 4, columns, 0, columns, absDx.data(), absDy, table.data(),
                            packed.data(), MirrorColumnSum(absDx.data(), columns), samples.data()};
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

// Rows whose |dx| are symmetric about column mirror / 2 (a whole or a half
// column, inside the drawn span, off its centre, at or beyond either end),
// with a few columns knocked out of symmetry, under any begin and end, odd
// and even widths, and the kernel's scratch holding an earlier row's samples:
// every drawn pixel gets the sample of its own distance, however the mirror
// hint is given, from the 8-bit and from the full-precision kernel. Columns outside [begin, end) are symmetric too but lie beyond
// the profile's last non-zero sample, as the stamper arranges, and stay as
// they are.
struct MirrorRow {
  int32_t columns, begin, end;
  int32_t centre2;  // twice the column of symmetry
  int32_t hintShift;  // the hint given is centre2 + hintShift
  int32_t broken;  // columns whose |dx| breaks the symmetry
};

TEST(StampRowKernels, ProfileRowReusesOnlyMirroredSamplesThatAreEqual) {
  HypotTable hypot;
  FillHypotTable(hypot);
  std::vector<uint32_t> table(kHypotTableSize);
  WidenHypotTable(hypot, table.data());
  constexpr int32_t kLength = 46342;
  constexpr int32_t kFar = 30000;  // offset of the columns outside the span
  constexpr int32_t kNonZeroEnd = 20000;
  std::vector<uint32_t> packed = DistanceRevealingProfile(kLength);
  for (int32_t d = kNonZeroEnd; d < kLength; ++d) packed[static_cast<size_t>(d)] = 0;
  std::vector<float> shares[3];
  for (int k = 0; k < 3; ++k) {
    for (int32_t d = 0; d < kNonZeroEnd; ++d) shares[k].push_back(static_cast<float>(1 + (d * (k + 3)) % 1021) / 1024.0f);
  }

  std::vector<MirrorRow> rows = {
      {64, 0, 63, 62, 0, 0},   {64, 0, 63, 63, 0, 0},   {65, 3, 60, 63, 0, 1},  {40, 0, 39, 20, 0, 0},
      {40, 0, 39, 58, 0, 0},   {40, 5, 39, 0, 0, 0},    {40, 0, 39, 78, 0, 0},  {40, 0, 39, 79, 0, 2},
      {17, 0, 16, 16, 0, 0},   {9, 0, 9, 8, 0, 0},      {200, 7, 193, 199, 1, 0}, {200, 7, 193, 199, -1, 3},
      {33, 1, 32, 33, 0, 0},   {128, 100, 127, 40, 0, 0}, {128, 0, 20, 100, 0, 0},
  };
  std::mt19937 rng(20261207);
  for (int n = 0; n < 3000; ++n) {
    MirrorRow row{};
    row.columns = std::uniform_int_distribution<int32_t>(1, 120)(rng);
    row.begin = std::uniform_int_distribution<int32_t>(0, row.columns - 1)(rng);
    row.end = std::uniform_int_distribution<int32_t>(row.begin + 1, row.columns)(rng);
    row.centre2 = std::uniform_int_distribution<int32_t>(-10, 2 * row.columns + 10)(rng);
    row.hintShift = std::uniform_int_distribution<int>(0, 5)(rng) == 0 ? std::uniform_int_distribution<int32_t>(-3, 3)(rng) : 0;
    row.broken = std::uniform_int_distribution<int>(0, 2)(rng) == 0 ? std::uniform_int_distribution<int32_t>(1, 3)(rng) : 0;
    rows.push_back(row);
  }

  for (const auto& [name, kernels] : RowKernelSets()) {
    std::mt19937 breaker(5);
    for (const MirrorRow& row : rows) {
      std::vector<int32_t> absDx(static_cast<size_t>(row.columns));
      for (int32_t c = 0; c < row.columns; ++c) {
        const bool drawn = c >= row.begin && c < row.end;
        absDx[static_cast<size_t>(c)] = (drawn ? 5 : kFar) + 3 * std::abs(2 * c - row.centre2);
      }
      for (int32_t k = 0; k < row.broken; ++k) {
        const int32_t c = std::uniform_int_distribution<int32_t>(row.begin, row.end - 1)(breaker);
        absDx[static_cast<size_t>(c)] += 1 + 2 * k;
      }
      const int32_t absDy = 7;
      std::vector<uint8_t> pixels(static_cast<size_t>(row.columns) * 4 + 4);
      for (uint8_t& b : pixels) b = static_cast<uint8_t>(breaker());
      const std::vector<uint8_t> before = pixels;
      // What an earlier row left in the kernel's scratch.
      std::vector<uint32_t> samples(static_cast<size_t>(row.columns));
      for (uint32_t& word : samples) word = static_cast<uint32_t>(breaker()) & 0xFFFFFFu;
      const ProfileRowTask task{pixels.data() + 1, 4, row.columns, row.begin, row.end, absDx.data(), absDy,
                                table.data(), packed.data(), row.centre2 + row.hintShift, samples.data()};
      kernels.profileRow(task);
      for (int32_t c = 0; c < row.columns; ++c) {
        const uint32_t sample = packed[static_cast<size_t>(FastHypot(hypot, absDx[static_cast<size_t>(c)], absDy))];
        for (int k = 0; k < 3; ++k) {
          const size_t at = static_cast<size_t>(c) * 4 + 1 + static_cast<size_t>(k);
          ASSERT_EQ(pixels[at], ScreenByte(Channel(sample, k), before[at]))
              << name << ": column " << c << " of " << row.columns << ", span [" << row.begin << ", " << row.end
              << "), mirror " << row.centre2 << " hinted " << row.centre2 + row.hintShift << ", " << row.broken
              << " broken";
        }
        ASSERT_EQ(pixels[static_cast<size_t>(c) * 4], before[static_cast<size_t>(c) * 4]) << name << ": alpha written";
      }
      ASSERT_EQ(pixels.back(), before.back()) << name << ": past the row";

      // The full-precision kernel over the same row, a share for every
      // distance below kNonZeroEnd.
      std::vector<float> rgb(3 * static_cast<size_t>(row.columns));
      for (float& v : rgb) v = static_cast<float>(breaker() % 1000) / 999.0f;
      const std::vector<float> rgbBefore = rgb;
      std::vector<float> kept(3 * static_cast<size_t>(row.columns));
      for (float& v : kept) v = static_cast<float>(breaker() % 1000) / 999.0f;
      const FullProfileRowTask full{rgb.data(), row.columns, row.begin, row.end, absDx.data(), absDy, table.data(),
                                    {shares[0].data(), shares[1].data(), shares[2].data()}, kNonZeroEnd,
                                    row.centre2 + row.hintShift, kept.data()};
      kernels.fullProfileRow(full);
      for (int32_t c = 0; c < row.columns; ++c) {
        const int32_t d = FastHypot(hypot, absDx[static_cast<size_t>(c)], absDy);
        for (int k = 0; k < 3; ++k) {
          const size_t at = 3 * static_cast<size_t>(c) + static_cast<size_t>(k);
          const float expected = d < kNonZeroEnd ? ScreenShare(shares[k][static_cast<size_t>(d)], rgbBefore[at]) : rgbBefore[at];
          ASSERT_EQ(rgb[at], expected) << name << " full: column " << c << " of " << row.columns << ", span ["
                                       << row.begin << ", " << row.end << "), mirror " << row.centre2;
        }
      }
    }
  }
}

}  // namespace
