#include "render/draw_streak.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "tests/support/fake_host.h"

namespace {

StreakRecord Streak(float x0, float y0, float x1, float y1, float weight = 1.0f) {
  return {x0, y0, x1, y1, weight, kStreakThickness, weight, weight};
}

struct PixelValue {
  int32_t x, y;
  int value;  // red byte on a black canvas
};

struct StreakCase {
  const char* name;
  uint16_t mode;
  StreakRecord streak;
  std::vector<PixelValue> expected;
  int32_t aspect = 1;  // pixel aspect aspect:1
  bool blank = false;  // nothing at all is drawn
};

// Values from the coverage rules: on black, a layer value v lands as v.
TEST(DrawStreak, CrossSectionsAndFades) {
  const StreakCase cases[] = {
      // Case A: centre 10.5, lo 9.6, hi 11.4: rows 9, 10, 11 with k = 0.4, 1, 0.4.
      // len 38 from the start (2, 10): column 21 is 19 away, f = 0.5.
      {"case A", 1, Streak(2.0f, 10.5f, 40.0f, 10.5f),
       {{21, 8, 0}, {21, 9, 50}, {21, 10, 127}, {21, 11, 50}, {21, 12, 0},
        {3, 10, 248}, {3, 9, 99}, {2, 10, 0}, {40, 10, 0}}},
      // Case B: centre 10.95, lo 10.05, hi 11.85: rows 10 and 11 with k = 0.95, 0.85.
      {"case B", 1, Streak(2.0f, 10.95f, 40.0f, 10.95f),
       {{21, 9, 0}, {21, 10, 121}, {21, 11, 108}, {21, 12, 0}}},
      // Mode 2: reference at the midpoint column 22, fade over 20 each way.
      {"midpoint", 2, Streak(2.0f, 10.5f, 42.0f, 10.5f),
       {{22, 10, 255}, {12, 10, 127}, {32, 10, 127}, {3, 10, 12}, {42, 10, 0}}},
      // Reversed endpoints draw the same columns; mode 1 fades from (40, 10).
      {"reversed", 1, Streak(40.0f, 10.5f, 2.0f, 10.5f),
       {{21, 10, 127}, {39, 10, 248}, {3, 10, 6}, {2, 10, 0}}},
      // Mostly vertical at x = -0.5: the first pixel (column -1) is skipped and
      // the second, column 0, takes k = 0.4.
      {"column zero", 1, Streak(-0.5f, 2.0f, -0.5f, 40.0f),
       {{0, 21, 50}, {1, 21, 0}}},
      // Vertical at x = 0.5 (case B): column 0 would be the first pixel: skipped.
      {"first pixel at column zero", 1, Streak(0.5f, 2.0f, 0.5f, 40.0f),
       {{0, 21, 0}, {1, 21, 50}}},
      // Along the top border (case B at u = 0.5): row 0 is never written.
      {"top border", 1, Streak(2.0f, 0.5f, 40.0f, 0.5f), {{21, 0, 0}, {21, 1, 50}}},
      {"zero weights", 1, Streak(2.0f, 10.5f, 40.0f, 10.5f, 0.0f), {}, 1, true},
      // Diagonals of step 15: centre 15, lo 14.1, hi 15.9: pixels 14 and 15 with
      // k = 0.9, 7 of len 14 from the start: trunc(0.9 x 255 x 0.5) = 114.
      {"down right", 1, Streak(10, 10, 20, 20), {{14, 15, 114}, {15, 15, 114}}},
      {"up left", 1, Streak(20, 20, 10, 10), {{14, 15, 114}, {15, 15, 114}}},
      {"up right", 1, Streak(10, 20, 20, 10), {{15, 14, 114}, {15, 15, 114}}},
      {"down left", 1, Streak(20, 10, 10, 20), {{14, 15, 114}, {15, 15, 114}}},
      // Under a 2:1 aspect square x is image x 2: columns 3..40 as in case A.
      {"aspect", 1, Streak(4.0f, 10.5f, 80.0f, 10.5f), {{21, 10, 127}, {2, 10, 0}}, 2},
      {"shorter than a pixel", 1, Streak(5.2f, 5.2f, 5.7f, 5.7f), {}, 1, true},
      {"a point", 1, Streak(5.0f, 5.0f, 5.0f, 5.0f), {}, 1, true},
      {"a point off the frame", 1, Streak(-3.5f, -3.5f, -3.5f, -3.5f), {}, 1, true},
  };
  for (const StreakCase& c : cases) {
    FakeHost host;
    host.SetPixelAspect(c.aspect, 1);
    TestCanvas canvas(64, 48, host);
    const std::vector<uint8_t> before = canvas.data;
    canvas.context.streakMode = c.mode;
    DrawStreak(c.streak, canvas.context.frame, canvas.context);
    if (c.blank) { EXPECT_EQ(canvas.data, before) << c.name; }
    for (const PixelValue& p : c.expected)
      EXPECT_EQ(canvas.At(p.x, p.y, 1), p.value) << c.name << " at " << p.x << "," << p.y;
    for (int32_t x = 0; x < canvas.width; ++x) EXPECT_EQ(canvas.At(x, 0, 1), 0) << c.name;
    EXPECT_TRUE(canvas.PaddingIntact()) << c.name;
  }
}

TEST(DrawStreak, AnyRangeTerminatesInsideTheFrame) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const StreakRecord streaks[] = {
      Streak(0.0f, 10.5f, 100000.0f, 10.5f),   Streak(-40000.0f, 10.5f, 40000.0f, 10.5f),
      Streak(10.5f, -1e9f, 10.5f, 1e9f),        Streak(0.0f, 0.0f, inf, 5.0f),
      Streak(nan, 3.0f, 20.0f, 30.0f),          Streak(3.0f, 3.0f, 30.0f, 300000.0f),
      Streak(-inf, -inf, inf, inf),             {2.0f, 10.0f, 40.0f, 10.0f, 1.0f, 1e30f, 1.0f, 1.0f},
      Streak(70.0f, 10.5f, 200.0f, 10.5f),      Streak(10.0f, 60.0f, 200.0f, 500.0f)};
  for (const StreakRecord& s : streaks) {
    FakeHost host;
    TestCanvas canvas(64, 48, host);
    DrawStreak(s, canvas.context.frame, canvas.context);
    EXPECT_TRUE(canvas.PaddingIntact());
    for (int32_t x = 0; x < canvas.width; ++x) ASSERT_EQ(canvas.At(x, 0, 1), 0);
    if (&s == &streaks[0]) {  // from column 1 far past the frame: every column is drawn
      EXPECT_NE(canvas.At(1, 10, 1), 0);
      EXPECT_NE(canvas.At(63, 10, 1), 0);
    }
  }
}

}  // namespace
