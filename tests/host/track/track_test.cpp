// Tracking a light: accuracy on generated footage (grain, texture, motion
// blur, starting mid-shot), occlusion through the tool, edge fade, and centre
// tracks read from other tools' exports.
#include <gtest/gtest.h>

#include <cmath>

#include "host/core/control_values.h"
#include "host/core/host_error.h"
#include "host/core/keyframes.h"
#include "host/media/image_io.h"
#include "host/media/keys_file.h"
#include "host/track/center_track_file.h"
#include "host/track/shot_tracker.h"
#include "host/track/track_keys.h"
#include "host/track/visibility.h"
#include "tests/host/media_fixture.h"
#include "tests/host/module_fixture.h"
#include "tests/host/track/light_clip.h"

namespace {

namespace fs = std::filesystem;
using lftrack::Point;

TEST(TrackTest, FollowsALightOnAKnownCurveWithinAQuarterPixelRms) {
  struct Case {
    const char* name;
    std::function<Point(double)> path;
    double sigma, gain, grain, shutter;
    int64_t startFrame;
    std::function<double(double)> bar;   // a dark bar passing over the light
    int lostAtMost;
  };
  const auto loop = [](double t) { return Point{128 + 90 * std::sin(0.09 * t), 80 + 50 * std::sin(0.18 * t + 0.5)}; };
  const std::vector<Case> cases = {
      {"slow drift", [](double t) { return Point{40 + 1.7 * t, 50 + 0.9 * t}; }, 2.5, 200, 10, 0, 0, {}, 0},
      {"fast loop, motion blur", loop, 2.5, 200, 8, 0.5, 0, {}, 0},
      // Dimmer than the texture's ridges: lost where it crosses one, the gap bridged.
      {"small faint light", [](double t) { return Point{60 + 60 * std::cos(0.05 * t), 90 - 40 * std::sin(0.05 * t)}; }, 1.4,
       70, 6, 0.3, 0, {}, 4},
      {"small light", [](double t) { return Point{60 + 60 * std::cos(0.05 * t), 90 - 40 * std::sin(0.05 * t)}; }, 1.4,
       150, 6, 0.3, 0, {}, 0},
      {"started mid-shot", loop, 2.5, 200, 8, 0.5, 23, {}, 0},
      // Covered for a few frames: the gap is bridged from the speeds on either side.
      {"passing behind a bar", loop, 2.5, 200, 8, 0.5, 0, [](double t) { return -40 + 12 * t; }, 6},
  };
  for (const Case& c : cases) {
    lftest::LightClip clip;
    clip.path = c.path;
    clip.sigma = c.sigma;
    clip.gain = c.gain;
    clip.grain = c.grain;
    clip.shutter = c.shutter;
    clip.bar = c.bar;
    lftest::LightClipSource source(clip);
    const Point truth = c.path(static_cast<double>(c.startFrame));
    // The click lands a little off the light, as a user's does.
    const auto shot = lftrack::TrackShot(source, {{truth.x + 2, truth.y - 1.5}, c.startFrame});
    ASSERT_TRUE(shot) << c.name;
    double sum = 0, worst = 0;
    int lost = 0;
    for (size_t i = 0; i < shot->frames.size(); ++i) {
      const Point t = c.path(static_cast<double>(shot->frames[i]));
      const double e = std::hypot(shot->centres[i].x - t.x, shot->centres[i].y - t.y);
      sum += e * e;
      worst = std::max(worst, e);
      lost += shot->seen[i] ? 0 : 1;
    }
    EXPECT_LE(lost, c.lostAtMost) << c.name;
    EXPECT_GE(lost, c.bar ? 3 : 0) << c.name;
    const double rms = std::sqrt(sum / static_cast<double>(shot->frames.size()));
    EXPECT_LT(rms, 0.25) << c.name;
    EXPECT_LT(worst, 1.0) << c.name;
  }
}

// A still light behind a post that stands over it on some frames (over all of
// it, or over its right half): the track's brightness keys (100 as set) are 0
// on every frame of a cover lasting two frames or more and 100 on every frame
// the light shows whole, a cover's neighbours included; a cover of one frame
// is taken halfway.
TEST(TrackTest, OcclusionKeysFollowHowMuchOfTheLightShows) {
  struct Case {
    const char* name;
    std::vector<int> covered;   // frames
    double postOffset;          // the post's centre from the light's, in pixels
    double low, high;           // the brightness on the covered frames
  };
  const std::vector<Case> cases = {
      {"in full view", {}, 0, 100, 100},
      {"hidden for one frame", {6}, 0, 50, 50},
      {"hidden for two frames", {6, 7}, 0, 0, 5},
      {"hidden for four frames", {6, 7, 8, 9}, 0, 0, 5},
      {"half hidden for four frames", {6, 7, 8, 9}, 20, 25, 75},
  };
  for (const Case& c : cases) {
    lftest::LightClip clip;
    clip.width = 128;
    clip.height = 80;
    clip.frames = 16;
    clip.path = [](double) { return Point{60, 40}; };
    clip.bar = [&c](double t) {
      return std::find(c.covered.begin(), c.covered.end(), std::lround(t)) != c.covered.end() ? 60 + c.postOffset : -1000;
    };
    lftest::LightClipSource source(clip);
    const auto shot = lftrack::TrackShot(source, {{61, 39}, 0, 32, true});
    ASSERT_TRUE(shot && shot->visibility) << c.name;
    lfhost::AnimatedControls keys;
    keys.brightness = lftrack::ScaledBrightness({}, 100, shot->frames, shot->centres, {&*shot->visibility, {}, 128, 80});
    for (int n = 0; n < clip.frames; ++n) {
      const double b = *keys.At(n, 128, 80).brightness;
      if (std::find(c.covered.begin(), c.covered.end(), n) != c.covered.end()) {
        EXPECT_TRUE(b >= c.low && b <= c.high) << c.name << ", frame " << n << ": " << b;
      } else {
        EXPECT_EQ(b, 100) << c.name << ", frame " << n;
      }
    }
  }
}

class TrackCliTest : public lftest::MediaTest {};

// A dark bar sweeps over a slowly moving light (fully covering it on frames
// 1020 to 1026 and clear of it from 1032): the tool tracks it from mid-shot,
// names the frames it lost, and dims the flare there. A render measuring for
// itself in one part of two, from the same centres as a CSV, makes the very
// frames the track's keys make.
TEST_F(TrackCliTest, OcclusionDimsTheFlareUnderACoverAndEveryPartOfARenderAgrees) {
  lftest::LightClip clip;
  clip.width = 160;
  clip.height = 120;
  clip.path = [](double t) { return Point{60 + 0.5 * t, 60}; };
  clip.bar = [](double t) { return -20 + 4 * t; };
  fs::create_directories(dir_ / "in");
  for (int n = 0; n < clip.frames; ++n) {
    char name[32];
    std::snprintf(name, sizeof name, "in/c.%04d.png", 1001 + n);
    lfhost::WriteImage(clip.Frame(n), Path(name));
  }
  const std::string input = Path("in/c.####.png");
  const lftest::CliRun r = lftest::RunCli({"track", input, "--from", "66,59@1010", "-o", Path("t.json"), "--occlusion"}, dir_);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("lensflare: lost the light on frames 10"), std::string::npos) << r.err;
  const auto effect = lftest::StartedEffect();
  const lfhost::AnimatedControls keys = lfhost::LoadKeyframeFile(Path("t.json"), lfhost::ControlReader(effect->controls()));
  std::ofstream csv(Path("c.csv"));
  for (int n = 0; n < clip.frames; ++n) {
    const auto at = keys.At(1001 + n, clip.width, clip.height);
    if (n >= 21 && n <= 24) {
      EXPECT_LT(*at.brightness, 10) << "frame " << 1001 + n;
    } else if (n <= 13 || n >= 33) {
      EXPECT_EQ(*at.brightness, 100) << "frame " << 1001 + n;
      EXPECT_NEAR(at.centerX->value, 60 + 0.5 * n, 0.25) << "frame " << 1001 + n;
    }
    csv << 1001 + n << "," << keys.center.keys.at(1001 + n).x.value << "," << keys.center.keys.at(1001 + n).y.value << "\n";
  }
  csv.close();
  fs::create_directories(dir_ / "out");
  ASSERT_EQ(lftest::RunCli({"render", input, "--keys", Path("t.json"), "-o", Path("out/a.####.png")}, dir_).status, 0);
  const lftest::CliRun part = lftest::RunCli({"render", input, "--center-track", Path("c.csv"), "--occlusion", "--chunk", "1/2",
                                              "-o", Path("out/b.####.png")}, dir_);
  ASSERT_EQ(part.status, 0) << part.err;
  for (int n = 20; n < clip.frames; ++n) {
    char a[32], b[32];
    std::snprintf(a, sizeof a, "out/a.%04d.png", 1001 + n);
    std::snprintf(b, sizeof b, "out/b.%04d.png", 1001 + n);
    EXPECT_TRUE(lftest::SamePixels(lfhost::ReadImage(Path(a)), lfhost::ReadImage(Path(b)))) << b;
  }
}

TEST(TrackTest, EdgeFadeFallsToNothingItsDistanceOutsideTheFrame) {
  struct Case { Point centre; double fade; };
  // A 100 x 50 frame, fading over 10 pixels.
  for (const Case& c : std::vector<Case>{{{50, 25}, 1}, {{0, 0}, 1}, {{100, 50}, 1}, {{105, 25}, 0.5}, {{-2.5, 40}, 0.75},
                                          {{50, 60}, 0}, {{103, -4}, 0.5}, {{-300, 25}, 0}}) {
    EXPECT_DOUBLE_EQ(lftrack::EdgeFade(c.centre, 100, 50, 10), c.fade) << c.centre.x << "," << c.centre.y;
  }
}

// Brightness keys: the brightness set at each frame (keyed 200 down to 100)
// times visibility (half on frames 3 to 5) and edge fade (frames 9 and 10 lie
// 5 and 10 pixels outside a 100-pixel frame, fading over 10); keys on the line
// between their neighbours are left out, and every frame keeps its value.
TEST(TrackTest, BrightnessKeysScaleWhatWasSetAndLeaveOutKeysOnALine) {
  lfhost::AnimatedControls set;
  set.brightness.keys = {{0, 200.0}, {10, 100.0}};
  std::vector<int64_t> frames;
  std::vector<Point> centres;
  for (int64_t f = 0; f <= 10; ++f) {
    frames.push_back(f);
    centres.push_back({f == 9 ? 105.0 : f == 10 ? 110.0 : 50.0, 25});
  }
  const std::vector<double> visibility = {1, 1, 1, 0.5, 0.5, 0.5, 1, 1, 1, 1, 1};
  lfhost::AnimatedControls scaled;
  scaled.brightness = lftrack::ScaledBrightness(set, 100, frames, centres, {&visibility, 10.0, 100, 50});
  const std::map<int64_t, double> expected = {{0, 200}, {2, 180}, {3, 85}, {5, 75}, {6, 140}, {8, 120}, {9, 55}, {10, 0}};
  EXPECT_EQ(scaled.brightness.keys, expected);
  const double all[] = {200, 190, 180, 85, 80, 75, 140, 130, 120, 55, 0};
  for (int64_t f = 0; f <= 10; ++f) EXPECT_DOUBLE_EQ(*scaled.At(f, 100, 50).brightness, all[f]) << f;
}

TEST(TrackTest, CenterTrackFilesAreReadAsCsvOrWhitespaceText) {
  struct Case {
    std::string text;
    bool yUp;
    int64_t offset;
    std::map<int64_t, Point> keys;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"frame,x,y\n1,10.5,20\r\n2, 11 ,21\n", false, 0, {{1, {10.5, 20}}, {2, {11, 21}}}, ""},
      {"# exported\n 5\t100 200\n\n6 101.25   201\n", false, 0, {{5, {100, 200}}, {6, {101.25, 201}}}, ""},
      {"1 10 30\n", true, 0, {{1, {10, 70}}}, ""},
      {"1,10,20\n", false, 1000, {{1001, {10, 20}}}, ""},
      {"3,10,20\n", false, -5, {}, "t.csv: line 1: frame 3 with the offset -5 is not a frame from 0 up"},
      {"1003,10,20\n", false, INT64_MAX - 5, {},
       "t.csv: line 1: frame 1003 with the offset 9223372036854775802 is not a frame from 0 up"},
      {"1,2\n", false, 0, {}, "t.csv: line 1: expected frame, x, y, got 2 fields"},
      {"1,a,2\n", false, 0, {}, "t.csv: line 1: \"a\" is not a number"},
      {"1.5 2 3\n", false, 0, {}, "t.csv: line 1: \"1.5\" is not a frame number"},
      {"1,2,3\nframe,x,y\n", false, 0, {}, "t.csv: line 2: \"frame\" is not a frame number"},
      {"x y\n1 2 3\n1 4 5\n", false, 0, {}, "t.csv: line 3: frame 1 is given twice"},
      {"frame,x,y\n", false, 0, {}, "t.csv: no line of frame, x, y"},
  };
  for (const Case& c : cases) {
    try {
      const auto track = lftrack::ParseCenterTrack(c.text, "t.csv", {"t.csv", c.yUp, c.offset}, 100);
      std::map<int64_t, Point> keys;
      for (const auto& [frame, p] : track.keys) keys[frame] = {p.x.value, p.y.value};
      EXPECT_EQ(keys.size(), c.keys.size()) << c.text;
      for (const auto& [frame, p] : c.keys) EXPECT_TRUE(keys[frame].x == p.x && keys[frame].y == p.y) << c.text;
      EXPECT_EQ(c.error, "") << c.text;
    } catch (const lfhost::HostError& e) {
      EXPECT_EQ(e.what(), c.error) << c.text;
    }
  }
  // A --keys file names its track relative to itself.
  const auto effect = lftest::StartedEffect();
  const auto ref = lfhost::ParseKeyframeJson(R"({"center": {"track": "t.csv", "y_up": true, "frame_offset": -3}})",
                                             "shot/k.json", lfhost::ControlReader(effect->controls())).centerTrack;
  ASSERT_TRUE(ref);
  EXPECT_EQ(std::tuple(ref->path, ref->yUp, ref->frameOffset), std::tuple(std::string("shot/t.csv"), true, int64_t{-3}));
}

}  // namespace
