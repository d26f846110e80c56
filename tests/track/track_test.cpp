// Tracking a light: accuracy on generated footage (grain, texture, motion
// blur, starting mid-shot), occlusion through the tool, edge fade, and centre
// tracks read from other tools' exports.
#include <gtest/gtest.h>

#include <cmath>

#include "host/track/shot_tracker.h"
#include "tests/track/light_clip.h"

namespace {

using lftrack::Point;

TEST(TrackTest, FollowsALightOnAKnownCurveWithinAQuarterPixelRms) {
  struct Case {
    const char* name;
    std::function<Point(double)> path;
    double sigma, gain, grain, shutter;
    int64_t startFrame;
  };
  const std::vector<Case> cases = {
      {"slow drift", [](double t) { return Point{40 + 1.7 * t, 50 + 0.9 * t}; }, 2.5, 200, 10, 0, 0},
      {"fast loop, motion blur",
       [](double t) { return Point{128 + 90 * std::sin(0.09 * t), 80 + 50 * std::sin(0.18 * t + 0.5)}; }, 2.5, 200, 8,
       0.5, 0},
      {"small faint light", [](double t) { return Point{60 + 60 * std::cos(0.05 * t), 90 - 40 * std::sin(0.05 * t)}; }, 1.4,
       70, 6, 0.3, 0},
      {"small light", [](double t) { return Point{60 + 60 * std::cos(0.05 * t), 90 - 40 * std::sin(0.05 * t)}; }, 1.4,
       150, 6, 0.3, 0},
      {"started mid-shot", [](double t) { return Point{128 + 90 * std::sin(0.09 * t), 80 + 50 * std::sin(0.18 * t + 0.5)}; },
       2.5, 200, 8, 0.5, 23},
  };
  for (const Case& c : cases) {
    lftest::LightClip clip;
    clip.path = c.path;
    clip.sigma = c.sigma;
    clip.gain = c.gain;
    clip.grain = c.grain;
    clip.shutter = c.shutter;
    lftest::LightClipSource source(clip);
    const Point truth = c.path(static_cast<double>(c.startFrame));
    // The click lands a little off the light, as a user's does.
    const auto shot = lftrack::TrackShot(source, {{truth.x + 2, truth.y - 1.5}, c.startFrame});
    ASSERT_TRUE(shot) << c.name;
    double sum = 0, worst = 0;
    for (size_t i = 0; i < shot->frames.size(); ++i) {
      const Point t = c.path(static_cast<double>(shot->frames[i]));
      const double e = std::hypot(shot->centres[i].x - t.x, shot->centres[i].y - t.y);
      sum += e * e;
      worst = std::max(worst, e);
      EXPECT_TRUE(shot->seen[i]) << c.name << " frame " << i;
    }
    const double rms = std::sqrt(sum / static_cast<double>(shot->frames.size()));
    EXPECT_LT(rms, 0.25) << c.name;
    EXPECT_LT(worst, 1.0) << c.name;
  }
}

}  // namespace
