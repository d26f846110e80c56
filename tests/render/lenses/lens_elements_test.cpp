// Each lens program's element chain, stamp by stamp: where on the flare axis it
// lands, how large its box is, and which colour dominates what it adds. The
// expected values are the recipes' points and sizes worked out in plain double
// arithmetic; a one-pixel tolerance absorbs the programs' single-precision steps.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "render/lenses/lens_programs.h"
#include "render/render_flare.h"
#include "tests/support/fake_host.h"
#include "tests/support/stamp_recorder.h"

namespace {

using LensProgramFn = void (*)(FlareFrame&, FlareContext&);

enum Where { kAtF, kAtT, kAtK };  // at F, at percent t along the axis, at factor k
enum Channel { kRed = 0, kGreen = 1, kBlue = 2, kAny = -1 };

struct ExpectedStamp {
  Where where;
  double at;      // t (percent form) or k (factor form)
  double radius;  // in units of W (the square width)
  Channel dominant;
};

// 800 x 600, flare centre (0.35, 0.4): F = (280, 240), C = (400, 300), d = (120, 60).
constexpr int kWidth = 800;
constexpr int kHeight = 600;
constexpr float kCenterX = 0.35f;
constexpr float kCenterY = 0.4f;

// Sizes at b = 1 as fractions of W; integer sizes W·k/m are truncated below.
double IntSize(int k, int m) { return static_cast<double>(kWidth * k / m) / kWidth; }

const std::vector<ExpectedStamp> kZoomStamps = {
    {kAtF, 0, 0.5, kAny}, {kAtT, -150, IntSize(35, 100), kRed}, {kAtT, -20, IntSize(21, 1000), kRed},
    {kAtT, 45, IntSize(7, 100), kRed}, {kAtT, 41, IntSize(4, 100), kRed}, {kAtT, 47, IntSize(2, 100), kRed},
    {kAtT, 65, IntSize(3, 100), kGreen}, {kAtT, 67, IntSize(3, 100), kBlue}, {kAtT, -130, IntSize(41, 1000), kAny},
    {kAtT, 27, IntSize(1, 70), kGreen}, {kAtT, -1, IntSize(1, 200), kGreen}, {kAtT, -45, IntSize(6, 100), kBlue},
    {kAtT, -41, IntSize(3, 100), kBlue}, {kAtT, -51, IntSize(2, 100), kBlue}, {kAtT, 131, IntSize(200, 1000), kAny},
    {kAtT, 100, IntSize(103, 1000), kAny},
};

const std::vector<ExpectedStamp> kPrime35Stamps = {
    {kAtF, 0, 0.5, kAny}, {kAtT, 57, IntSize(1, 70), kGreen}, {kAtT, 70, IntSize(1, 50), kRed},
    {kAtT, 90, IntSize(20, 100), kAny}, {kAtT, 98, IntSize(10, 100), kRed}, {kAtT, 105, IntSize(7, 100), kRed},
    {kAtT, 110, IntSize(7, 100), kRed}, {kAtT, -30, IntSize(5, 100), kBlue}, {kAtT, -34, IntSize(3, 100), kBlue},
    {kAtT, -174, IntSize(2, 100), kAny}, {kAtT, -180, IntSize(2, 100), kAny}, {kAtT, -205, IntSize(4, 100), kAny},
    {kAtT, -210, IntSize(4, 100), kAny}, {kAtT, -215, IntSize(4, 100), kAny}, {kAtT, -200, IntSize(4, 100), kAny},
};

const std::vector<ExpectedStamp> kPrime105Stamps = {
    {kAtF, 0, IntSize(1, 6), kAny}, {kAtF, 0, 0.65, kAny},  // the rays
    {kAtK, -0.718, 0.029, kGreen}, {kAtK, -0.218, 0.039, kGreen}, {kAtK, 0.48, 0.022, kGreen},
    {kAtK, 0.58, 0.022, kGreen}, {kAtK, 0.51, 0.03, kAny}, {kAtK, 1.18, 0.04, kAny},
    {kAtK, 1.88, 0.083, kGreen}, {kAtK, 2, 0.04, kAny}, {kAtK, 1.9, 0.06, kRed},
    {kAtK, -1.5, 0.08, kAny}, {kAtK, 1.15, 0.013, kAny}, {kAtK, 1.35, 0.01, kGreen},
    {kAtK, 1.41, 0.01, kGreen}, {kAtK, 1.38, 0.01, kGreen}, {kAtK, 1.38, 0.018, kBlue},
    {kAtK, 1.38, 0.005, kAny}, {kAtK, 1.18, 0.01, kAny}, {kAtK, -0.35, 0.015, kAny},
    {kAtK, 0.55, 0.015, kAny}, {kAtK, -2.5, 0.015, kAny}, {kAtK, -2.46, 0.008, kGreen},
    {kAtK, -2.475, 0.008, kGreen}, {kAtK, -0.06, 0.004, kAny}, {kAtK, -2.525, 0.004, kAny},
    {kAtK, -0.075, 0.007, kAny}, {kAtK, -1.8, IntSize(39, 100), kRed}, {kAtK, 0.5, IntSize(20, 100), kRed},
};

struct Lens {
  const char* name;
  LensProgramFn program;
  const std::vector<ExpectedStamp>* stamps;
};

const Lens kLenses[] = {
    {"zoom", &Zoom50To300LensProgram, &kZoomStamps},
    {"prime35", &Prime35LensProgram, &kPrime35Stamps},
    {"prime105", &Prime105LensProgram, &kPrime105Stamps},
};

// Pixel values, alpha included, are pinned by the whole-render checksums; the
// rows' padding is not, so it is checked here.
std::vector<RecordedStamp> Render(LensProgramFn program, float brightness) {
  FakeHost host;
  TestCanvas canvas(kWidth, kHeight, host, ProfileLengthFor(kWidth, brightness), brightness);
  canvas.context.frame.centerX = kCenterX;
  canvas.context.frame.centerY = kCenterY;
  StampRecorder recorder(host, canvas);
  program(canvas.context.frame, canvas.context);
  EXPECT_EQ(LoadStatus(canvas.context), 0);
  EXPECT_TRUE(canvas.PaddingIntact());
  return recorder.stamps;
}

TEST(LensElements, EveryStampLandsAtItsAxisPointWithItsSizeAndColour) {
  const double Fx = kWidth * static_cast<double>(kCenterX), Fy = kHeight * static_cast<double>(kCenterY);
  const double Cx = kWidth / 2, Cy = kHeight / 2;
  for (const Lens& lens : kLenses) {
    SCOPED_TRACE(lens.name);
    const std::vector<RecordedStamp> stamps = Render(lens.program, 1.0f);
    ASSERT_EQ(stamps.size(), lens.stamps->size());
    for (size_t n = 0; n < stamps.size(); ++n) {
      SCOPED_TRACE("stamp " + std::to_string(n));
      const ExpectedStamp& e = (*lens.stamps)[n];
      const RecordedStamp& s = stamps[n];
      const double k = e.where == kAtF ? -1.0 : e.where == kAtT ? e.at / 100.0 : e.at;
      const double x = Cx + (Cx - Fx) * k, y = Cy + (Cy - Fy) * k;
      const double r = e.radius * kWidth;
      EXPECT_NEAR(s.centerX, x, 1.01);
      EXPECT_NEAR(s.centerY, y, 1.01);
      // The box reaches radius + 2 above and below the centre unless the frame clips it.
      if (y - r - 2 >= 0 && y + r + 2 <= kHeight) { EXPECT_NEAR(s.rows, 2 * r + 4, 1.01); }
      if (x - r - 2 >= 0 && x + r + 2 <= kWidth) { EXPECT_NEAR(s.columns, 2 * r + 4, 1.01); }
      EXPECT_GT(s.changedPixels, 0);
      for (int c = 0; c < 3; ++c)
        if (e.dominant != kAny && c != e.dominant) { EXPECT_GT(s.gain[e.dominant], s.gain[c]) << "channel " << c; }
    }
  }
}

// At b = 0.1 colours such as 2b, 5b and 6b truncate to 0: those elements leave
// the frame unchanged while their stamps still run.
TEST(LensElements, ElementsThatTruncateToBlackStillStampButChangeNothing) {
  struct Case {
    const Lens* lens;
    std::vector<int> blackStamps;
  } cases[] = {
      // Discs (0, 5b, 11b), (0, 10b, 18b), (6b, 6b, 15b): 11b, 18b and 15b are 1,
      // which a set-mode disc stores as 0.
      {&kLenses[0], {11, 12, 13}},
      // Rows 18-19, 20-23 and 25.
      {&kLenses[2], {3, 4, 5, 7}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lens->name);
    const std::vector<RecordedStamp> stamps = Render(c.lens->program, 0.1f);
    ASSERT_EQ(stamps.size(), c.lens->stamps->size());
    for (int n : c.blackStamps) EXPECT_EQ(stamps[n].changedPixels, 0) << "stamp " << n;
    EXPECT_GT(stamps[0].changedPixels, 0);
  }
}

}  // namespace
