// Sequences and video through the pipelined renderer: pattern names, frame
// ranges, every frame equal to the same frame rendered alone with its own seed
// and keyframed values, chunks equal to the whole run, video round trips, and
// what a failure or a cancel in the middle leaves behind.
#include <gtest/gtest.h>

#include <OpenImageIO/imageio.h>

#include "host/frame_source.h"
#include "host/host_error.h"
#include "host/image_io.h"
#include "host/sequence_renderer.h"
#include "host/video_io.h"
#include "tests/host/media_fixture.h"
#include "tests/host/module_fixture.h"

// Under LeakSanitizer, leaks inside OpenImageIO are not ours to report: its PNG
// reader leaves a copy of an error message behind when libpng gives up on a
// damaged file, as one test here makes it do. Every other leak still fails.
extern "C" const char* __lsan_default_suppressions() { return "leak:libOpenImageIO.so\n"; }
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }

namespace {

using lftest::MediaTest;
using lftest::ShellQuote;
namespace fs = std::filesystem;

TEST(SequencePatternTest, NamesAndMatchesFramesAsTheMarkSays) {
  struct Case { std::string pattern; int64_t frame; std::string path; };
  for (const Case& c : std::vector<Case>{{"shots/plate.%04d.exr", 12, "shots/plate.0012.exr"},
                                         {"plate.####.png", 7, "plate.0007.png"},
                                         {"plate.####.png", 123456, "plate.123456.png"},
                                         {"a.%d.tif", 12, "a.12.tif"},
                                         {"a_%06d", 3, "a_000003"},
                                         {"v1.%02d.dpx", 5, "v1.05.dpx"}}) {
    const auto p = lfhost::SequencePattern::Parse(c.pattern);
    ASSERT_TRUE(p.has_value()) << c.pattern;
    EXPECT_EQ(p->PathFor(c.frame), c.path);
  }
  EXPECT_FALSE(lfhost::SequencePattern::Parse("plate.png").has_value());
  EXPECT_FALSE(lfhost::SequencePattern::Parse("100%.png").has_value());
  EXPECT_FALSE(lfhost::SequencePattern::Parse("frames#1/plate.png").has_value());

  const auto padded = *lfhost::SequencePattern::Parse("plate.%04d.png");
  struct MatchCase { std::string name; std::optional<int64_t> frame; };
  for (const MatchCase& m : std::vector<MatchCase>{{"plate.0012.png", 12}, {"plate.12345.png", 12345},
                                                   {"plate.12.png", std::nullopt}, {"plate.00012.png", std::nullopt},
                                                   {"plate.0012.png.tmp", std::nullopt}, {"plate.00a2.png", std::nullopt},
                                                   {".plate.0012.partial-1.png", std::nullopt}}) {
    EXPECT_EQ(padded.Match(m.name), m.frame) << m.name;
  }
  const auto plain = *lfhost::SequencePattern::Parse("a.%d.png");
  EXPECT_EQ(plain.Match("a.0.png"), 0);
  EXPECT_EQ(plain.Match("a.012.png"), std::nullopt);

  EXPECT_EQ(lfhost::MediaKindOf("x/plate.####.exr"), lfhost::MediaKind::Sequence);
  EXPECT_EQ(lfhost::MediaKindOf("x/clip.MOV"), lfhost::MediaKind::Video);
  EXPECT_EQ(lfhost::MediaKindOf("x/still.png"), lfhost::MediaKind::Image);

  struct RangeCase { std::string text; std::optional<std::pair<int64_t, int64_t>> range; };
  for (const RangeCase& r : std::vector<RangeCase>{{"1-10", std::pair<int64_t, int64_t>{1, 10}},
                                                   {"7", std::pair<int64_t, int64_t>{7, 7}},
                                                   {"0-0", std::pair<int64_t, int64_t>{0, 0}}, {"10-1", std::nullopt},
                                                   {"-5", std::nullopt}, {"1-", std::nullopt}, {"a-b", std::nullopt},
                                                   {"1-2-3", std::nullopt}}) {
    const auto parsed = lfhost::ParseFrameRange(r.text);
    ASSERT_EQ(parsed.has_value(), r.range.has_value()) << r.text;
    if (parsed) {
      EXPECT_EQ(std::make_pair(parsed->first, parsed->last), *r.range) << r.text;
    }
  }
}

class SequenceRenderTest : public MediaTest {
 protected:
  // Frames first..last of in/plate.####.png, each with its own pattern.
  void WritePlates(int first, int last, int32_t width = 64, int32_t height = 48) {
    fs::create_directories(dir_ / "in");
    for (int n = first; n <= last; ++n) lfhost::WriteImage(lftest::PatternFrame(width, height, n), PlatePath(n));
  }
  std::string PlatePath(int n) const {
    char name[32];
    std::snprintf(name, sizeof name, "in/plate.%04d.png", n);
    return Path(name);
  }

  // The job the command line builds, run through the library.
  lfhost::RenderOutcome Render(const std::string& output, std::optional<lfhost::FrameRange> range,
                               const lfhost::AnimatedControls& controls, lfhost::EffectInstance* effect,
                               uint32_t seed = 7) {
    auto source = lfhost::OpenSequenceSource(Path("in/plate.####.png"), range);
    fs::create_directories(fs::path(output).parent_path());
    auto sink = lfhost::OpenSequenceSink(output);
    lfhost::RenderJob job;
    job.source = source.get();
    job.sink = sink.get();
    job.effect = effect;
    job.controls = controls;
    job.seed = seed;
    return lfhost::RenderFrames(job);
  }

  static lfhost::AnimatedControls Animated() {
    lfhost::AnimatedControls c;
    c.center.constant = lfhost::CenterPoint{{30, false}, {20, false}};
    c.brightness.keys = {{4, 40.0}, {8, 200.0}};
    c.lensType.keys = {{3, 1}, {6, 3}};
    return c;
  }
};

TEST_F(SequenceRenderTest, EachFrameEqualsThatFrameRenderedAloneWithItsSeedAndKeyedValues) {
  WritePlates(3, 8);
  auto effect = lftest::StartedEffect();
  const lfhost::RenderOutcome outcome = Render(Path("out/f.%04d.png"), std::nullopt, Animated(), effect.get());
  ASSERT_TRUE(outcome.ok()) << outcome.error.value_or("cancelled");
  EXPECT_EQ(outcome.framesWritten, 6);
  EXPECT_EQ(outcome.firstWritten, 3);
  EXPECT_EQ(outcome.lastWritten, 8);

  auto alone = lftest::StartedEffect();
  for (int n = 3; n <= 8; ++n) {
    // Brightness holds 40 up to frame 4, then climbs 40 a frame to 200 at 8;
    // the lens is the zoom until frame 6, then the 105mm prime.
    lfhost::ControlSettings s;
    s.centerX = lfhost::Coordinate{30, false};
    s.centerY = lfhost::Coordinate{20, false};
    s.brightness = n <= 4 ? 40.0 : 40.0 * (n - 3);
    s.lensType = n < 6 ? 1 : 3;
    const lfhost::ImageBuffer input = lftest::PatternFrame(64, 48, n);
    lfhost::ImageBuffer expected(64, 48);
    const auto r = alone->Render(input, expected, alone->Resolve(s, 64, 48), {.seed = 7, .frame = n});
    ASSERT_TRUE(r.ok()) << n;
    char name[32];
    std::snprintf(name, sizeof name, "out/f.%04d.png", n);
    EXPECT_TRUE(lftest::SamePixels(lfhost::ReadImage(Path(name)), expected)) << "frame " << n;
    EXPECT_FALSE(lftest::SamePixels(expected, input)) << "frame " << n << " shows no flare";
  }
  EXPECT_TRUE(effect->violations().empty());
}

TEST_F(SequenceRenderTest, ChunksRenderedByFreshInstancesEqualTheWholeRun) {
  WritePlates(1, 8);
  {
    auto effect = lftest::StartedEffect();
    ASSERT_TRUE(Render(Path("whole/f.####.png"), std::nullopt, Animated(), effect.get()).ok());
  }
  for (const lfhost::FrameRange chunk : {lfhost::FrameRange{1, 3}, lfhost::FrameRange{4, 6}, lfhost::FrameRange{7, 8}}) {
    auto effect = lftest::StartedEffect();
    const auto outcome = Render(Path("chunks/f.####.png"), chunk, Animated(), effect.get());
    ASSERT_TRUE(outcome.ok());
    EXPECT_EQ(outcome.framesWritten, chunk.last - chunk.first + 1);
  }
  ASSERT_EQ(Files("whole").size(), 8u);
  ASSERT_EQ(Files("chunks"), Files("whole"));
  for (const std::string& name : Files("whole")) {
    EXPECT_EQ(lftest::FileBytes(Path("chunks/" + name)), lftest::FileBytes(Path("whole/" + name))) << name;
  }
  // Rays differ from frame to frame: the seed follows the frame number.
  EXPECT_NE(lftest::FileBytes(Path("whole/f.0007.png")), lftest::FileBytes(Path("whole/f.0008.png")));
}

TEST_F(SequenceRenderTest, AFrameThatCannotBeReadStopsTheRunAfterCompleteFrames) {
  WritePlates(1, 6);
  // Frame 4 keeps a valid header but loses most of its pixel data.
  std::vector<char> bytes = lftest::FileBytes(PlatePath(4));
  bytes.resize(bytes.size() / 3);
  std::ofstream(PlatePath(4), std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));

  auto effect = lftest::StartedEffect();
  const auto outcome = Render(Path("out/f.####.png"), std::nullopt, {}, effect.get());
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_NE(outcome.error->find(PlatePath(4)), std::string::npos) << *outcome.error;
  EXPECT_EQ(outcome.framesWritten, 3);
  EXPECT_EQ(Files("out"), (std::vector<std::string>{"f.0001.png", "f.0002.png", "f.0003.png"}));
}

TEST_F(SequenceRenderTest, ACancelInsideAFrameEndsThroughTheModuleAndKeepsFinishedFrames) {
  WritePlates(1, 5);
  lfhost::AnimatedControls controls;
  controls.lensType.constant = 3;
  // How many abort polls one frame makes; then cancel halfway through frame 3.
  int64_t pollsPerFrame;
  {
    auto probe = lftest::StartedEffect();
    ASSERT_TRUE(Render(Path("probe/f.####.png"), lfhost::FrameRange{1, 1}, controls, probe.get()).ok());
    pollsPerFrame = probe->host().abortPolls();
  }
  ASSERT_GT(pollsPerFrame, 2);
  auto effect = lftest::StartedEffect();
  lfhost::FaultPlan plan;
  plan.abortAfterPolls = pollsPerFrame * 2 + pollsPerFrame / 2;
  effect->SetFaultPlan(plan);
  const auto outcome = Render(Path("out/f.####.png"), std::nullopt, controls, effect.get());
  EXPECT_TRUE(outcome.cancelled);
  EXPECT_FALSE(outcome.error.has_value());
  EXPECT_EQ(outcome.framesWritten, 2);
  EXPECT_EQ(Files("out"), (std::vector<std::string>{"f.0001.png", "f.0002.png"}));
  EXPECT_EQ(lftest::FileBytes(Path("out/f.0001.png")), lftest::FileBytes(Path("probe/f.0001.png")));
}

TEST_F(SequenceRenderTest, PassingFramesThroughKeepsTheirOrderAndBytes) {
  WritePlates(10, 17);
  const auto outcome = Render(Path("copy/c.%d.png"), lfhost::FrameRange{11, 16}, {}, nullptr);
  ASSERT_TRUE(outcome.ok());
  EXPECT_EQ(Files("copy"), (std::vector<std::string>{"c.11.png", "c.12.png", "c.13.png", "c.14.png", "c.15.png", "c.16.png"}));
  for (int n = 11; n <= 16; ++n) {
    EXPECT_TRUE(lftest::SamePixels(lfhost::ReadImage(Path("copy/c." + std::to_string(n) + ".png")),
                                   lftest::PatternFrame(64, 48, n)))
        << n;
  }
}

// ---- The same through the command line --------------------------------------

TEST_F(SequenceRenderTest, CommandLineChunksEqualTheWholeShot) {
  WritePlates(1, 6);
  const std::vector<std::string> controls = {"--lens", "105mm", "--brightness", "1=60", "--brightness", "6=160",
                                             "--center", "0=10,10", "--center", "6=50,40", "--seed", "3"};
  auto run = [&](const std::string& out, const std::string& frames) {
    std::vector<std::string> args = {"render", Path("in/plate.%04d.png"), "-o", out};
    if (!frames.empty()) args.insert(args.end(), {"--frames", frames});
    args.insert(args.end(), controls.begin(), controls.end());
    const lftest::CliRun r = lftest::RunCli(args, dir_);
    EXPECT_EQ(r.status, 0) << r.err;
    return r;
  };
  fs::create_directories(dir_ / "whole");
  fs::create_directories(dir_ / "chunks");
  const lftest::CliRun whole = run(Path("whole/f.####.png"), "");
  // Not a terminal: one plain line per frame written.
  EXPECT_EQ(std::count(whole.err.begin(), whole.err.end(), '\n'), 6) << whole.err;
  EXPECT_NE(whole.err.find("frame 6 written to " + Path("whole/f.0006.png") + " (6/6, "), std::string::npos) << whole.err;
  run(Path("chunks/f.####.png"), "1-2");
  run(Path("chunks/f.####.png"), "3-6");
  ASSERT_EQ(Files("whole").size(), 6u);
  ASSERT_EQ(Files("chunks"), Files("whole"));
  for (const std::string& name : Files("whole")) {
    EXPECT_EQ(lftest::FileBytes(Path("chunks/" + name)), lftest::FileBytes(Path("whole/" + name))) << name;
  }
  const lftest::CliRun quiet = lftest::RunCli({"render", Path("in/plate.%04d.png"), "-o", Path("whole/q.####.png"), "--quiet"}, dir_);
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err, "");
}

TEST_F(SequenceRenderTest, VideoInSequenceOutAndBackThroughALosslessVideo) {
  {
    lfhost::VideoWriter writer(Path("clip.mkv"), 64, 48, {25, 1});
    for (int n = 0; n < 4; ++n) writer.WriteFrame(lftest::PatternFrame(64, 48, n));
    writer.Finish();
  }
  fs::create_directories(dir_ / "seq");
  const auto toFrames = lftest::RunCli({"render", Path("clip.mkv"), "-o", Path("seq/f.%04d.png"), "--lens", "3",
                                        "--center", "20,20", "--quiet"}, dir_);
  ASSERT_EQ(toFrames.status, 0) << toFrames.err;
  ASSERT_EQ(Files("seq"), (std::vector<std::string>{"f.0000.png", "f.0001.png", "f.0002.png", "f.0003.png"}));
  auto alone = lftest::StartedEffect();
  lfhost::ControlSettings s;
  s.lensType = 3;
  s.centerX = lfhost::Coordinate{20, false};
  s.centerY = lfhost::Coordinate{20, false};
  for (int n = 0; n < 4; ++n) {
    lfhost::ImageBuffer expected(64, 48);
    ASSERT_TRUE(alone->Render(lftest::PatternFrame(64, 48, n), expected, alone->Resolve(s, 64, 48), {.frame = n}).ok());
    EXPECT_TRUE(lftest::SamePixels(lfhost::ReadImage(Path("seq/f.000" + std::to_string(n) + ".png")), expected)) << n;
  }

  // The same video rendered to a lossless video holds the same frames.
  const auto toVideo = lftest::RunCli({"render", Path("clip.mkv"), "-o", Path("flare.mkv"), "--lens", "3",
                                       "--center", "20,20", "--quiet"}, dir_);
  ASSERT_EQ(toVideo.status, 0) << toVideo.err;
  const lfhost::VideoInfo info = lfhost::ProbeVideo(Path("flare.mkv"));
  EXPECT_EQ(info.frameCount, 4);
  EXPECT_EQ(info.frameRate.num, 25);
  lfhost::VideoReader reader(Path("flare.mkv"), info);
  lfhost::ImageBuffer frame;
  for (int n = 0; n < 4; ++n) {
    ASSERT_TRUE(reader.ReadFrame(frame));
    EXPECT_TRUE(lftest::SamePixels(frame, lfhost::ReadImage(Path("seq/f.000" + std::to_string(n) + ".png")))) << n;
  }
}

TEST_F(SequenceRenderTest, CompressedVideoKeepsSizeRateFrameCountAndAudio) {
  lftest::RunTool("ffmpeg -v error -nostdin -f lavfi -i testsrc=size=64x48:rate=12 -f lavfi -i "
                  "sine=frequency=440:sample_rate=48000 -t 1 -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest " +
                  ShellQuote(Path("tone.mp4")));
  struct Case { std::vector<std::string> extra; std::string output; int64_t frames; };
  for (const Case& c : std::vector<Case>{{{}, "whole.mp4", 12}, {{"--frames", "2-7"}, "part.mp4", 6},
                                         {{}, "whole.mov", 12}}) {
    std::vector<std::string> args = {"render", Path("tone.mp4"), "-o", Path(c.output), "--quiet"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const auto r = lftest::RunCli(args, dir_);
    ASSERT_EQ(r.status, 0) << r.err;
    const lfhost::VideoInfo info = lfhost::ProbeVideo(Path(c.output));
    EXPECT_EQ(info.width, 64) << c.output;
    EXPECT_EQ(info.height, 48) << c.output;
    EXPECT_EQ(info.frameCount, c.frames) << c.output;
    EXPECT_EQ(info.frameRate.num, 12) << c.output;
    EXPECT_EQ(info.frameRate.den, 1) << c.output;
    EXPECT_TRUE(info.hasAudio) << c.output;
  }
  // A sequence becomes a video at the rate asked for, without audio.
  WritePlates(1, 3);
  const auto r = lftest::RunCli({"render", Path("in/plate.####.png"), "-o", Path("seq.mp4"), "--fps", "30", "--quiet"}, dir_);
  ASSERT_EQ(r.status, 0) << r.err;
  const lfhost::VideoInfo info = lfhost::ProbeVideo(Path("seq.mp4"));
  EXPECT_EQ(info.frameCount, 3);
  EXPECT_EQ(info.frameRate.num, 30);
  EXPECT_FALSE(info.hasAudio);
  for (const std::string& name : Files()) EXPECT_NE(name[0], '.') << name;
}

}  // namespace
