// Sequences and video through the tool's pipelined renderer: pattern names,
// frame ranges, every frame equal to the same frame rendered alone with its own
// seed and keyframed values, video round trips, and what a failure in the
// middle leaves behind (a cancel: render_cancel_test.cpp).
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <set>

#include "host/frame_source.h"
#include "host/host_error.h"
#include "host/sequence_renderer.h"
#include "host/image_io.h"
#include "host/video_io.h"
#include "tests/host/media_fixture.h"
#include "tests/host/module_fixture.h"

namespace {

using lftest::MediaTest;
using lftest::ShellQuote;
namespace fs = std::filesystem;

TEST(SequencePatternTest, NamesAndMatchesFramesAsTheMarkSays) {
  const std::tuple<std::string, int64_t, std::string> names[] = {
      {"shots/plate.%04d.exr", 12, "shots/plate.0012.exr"}, {"plate.####.png", 123456, "plate.123456.png"},
      {"a.%d.tif", 12, "a.12.tif"}, {"v1.%02d.dpx", 5, "v1.05.dpx"}};
  for (const auto& [pattern, frame, path] : names) EXPECT_EQ(lfhost::SequencePattern::Parse(pattern)->PathFor(frame), path);
  for (const char* notAPattern : {"plate.png", "100%.png", "frames#1/plate.png"}) {
    EXPECT_FALSE(lfhost::SequencePattern::Parse(notAPattern).has_value()) << notAPattern;
  }
  const auto padded = *lfhost::SequencePattern::Parse("plate.%04d.png");
  const std::pair<std::string, std::optional<int64_t>> matches[] = {
      {"plate.0012.png", 12},        {"plate.12345.png", 12345},     {"plate.12.png", std::nullopt},
      {"plate.00012.png", std::nullopt}, {"plate.0012.png.tmp", std::nullopt}, {".plate.0012.partial-1.png", std::nullopt}};
  for (const auto& [name, frame] : matches) EXPECT_EQ(padded.Match(name), frame) << name;
  EXPECT_EQ(lfhost::SequencePattern::Parse("a.%d.png")->Match("a.012.png"), std::nullopt);

  const std::pair<std::string, std::optional<std::pair<int64_t, int64_t>>> ranges[] = {
      {"1-10", std::pair<int64_t, int64_t>{1, 10}}, {"7", std::pair<int64_t, int64_t>{7, 7}}, {"10-1", std::nullopt},
      {"-5", std::nullopt}, {"1-", std::nullopt}, {"1-2-3", std::nullopt}};
  for (const auto& [text, range] : ranges) {
    const auto parsed = lfhost::ParseFrameRange(text);
    EXPECT_EQ(parsed ? std::optional(std::pair(parsed->first, parsed->last)) : std::nullopt, range) << text;
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

};

// Frames 3 to 8 of a longer sequence, with keyed controls: each written frame
// is that frame rendered alone with its seed and its values; one progress line
// per frame when standard error is not a terminal. The same run in parts
// (--chunk) writes each part's frames, byte for byte the whole run's.
TEST_F(SequenceRenderTest, EachFrameEqualsThatFrameRenderedAloneWithItsSeedAndKeyedValues) {
  WritePlates(1, 9);
  fs::create_directories(dir_ / "out");
  const std::vector<std::string> args = {"render", Path("in/plate.%04d.png"), "--frames", "3-8", "--center", "30,20",
      "--brightness", "4=40", "--brightness", "8=200", "--lens", "3=1", "--lens", "6=3", "--seed", "7"};
  std::vector<std::string> whole = args;
  whole.insert(whole.end(), {"-o", Path("out/f.####.png"), "--frames-in-flight", "3"});
  const lftest::CliRun run = lftest::RunCli(whole, dir_);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 6) << run.err;
  EXPECT_NE(run.err.find("frame 8 written to " + Path("out/f.0008.png") + " (6/6, "), std::string::npos) << run.err;
  EXPECT_EQ(Files("out").size(), 6u);

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
    ASSERT_TRUE(alone->Render(input, expected, alone->Resolve(s, 64, 48), {.seed = 7, .frame = n}).ok()) << n;
    char name[32];
    std::snprintf(name, sizeof name, "out/f.%04d.png", n);
    EXPECT_TRUE(lftest::SamePixels(lfhost::ReadImage(Path(name)), expected)) << "frame " << n;
    EXPECT_FALSE(lftest::SamePixels(expected, input)) << "frame " << n << " shows no flare";
  }

  // Six frames in four parts: the first two parts take the two left over. One
  // frame in flight gives the bytes of three.
  const std::tuple<std::string, std::string, std::vector<std::string>> parts[] = {
      {"0/4", "2", {"f.0003.png", "f.0004.png"}}, {"1/4", "2", {"f.0005.png", "f.0006.png"}},
      {"2/4", "2", {"f.0007.png"}}, {"3/4", "2", {"f.0008.png"}}, {"0/1", "1", Files("out")}};
  for (const auto& [chunk, inFlight, names] : parts) {
    fs::remove_all(dir_ / "part");
    fs::create_directories(dir_ / "part");
    std::vector<std::string> part = args;
    part.insert(part.end(), {"-o", Path("part/f.####.png"), "--chunk", chunk, "--frames-in-flight", inFlight, "--quiet"});
    ASSERT_EQ(lftest::RunCli(part, dir_).status, 0) << chunk;
    EXPECT_EQ(Files("part"), names) << chunk;
    for (const std::string& name : names) {
      EXPECT_EQ(lftest::FileBytes(Path("part/" + name)), lftest::FileBytes(Path("out/" + name))) << chunk << " " << name;
    }
  }
}

// A frame that cannot be read, or written, ends the run there: what stays is
// the frames before it, complete, also when later frames were in flight.
TEST_F(SequenceRenderTest, AFrameThatCannotBeReadOrWrittenStopsTheRunAfterCompleteFrames) {
  WritePlates(1, 9);
  // Frame 4 keeps a valid header but loses most of its pixel data.
  std::vector<char> bytes = lftest::FileBytes(PlatePath(4));
  bytes.resize(bytes.size() / 3);
  std::ofstream(PlatePath(4), std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  // Frame 7's output name is taken by a folder, so its write fails; frames
  // after it in flight that were written meanwhile go again.
  struct Case { std::string frames, inFlight, named; std::vector<std::string> left; };
  for (const Case& c : std::vector<Case>{
           {"1-9", "1", PlatePath(4), {"f.0001.png", "f.0002.png", "f.0003.png", "f.0007.png"}},
           {"1-9", "3", PlatePath(4), {"f.0001.png", "f.0002.png", "f.0003.png", "f.0007.png"}},
           {"5-9", "3", Path("out/f.0007.png"), {"f.0005.png", "f.0006.png", "f.0007.png"}}}) {
    fs::remove_all(dir_ / "out");
    fs::create_directories(dir_ / "out/f.0007.png");
    const lftest::CliRun run = lftest::RunCli({"render", Path("in/plate.####.png"), "-o", Path("out/f.####.png"),
                                               "--frames", c.frames, "--frames-in-flight", c.inFlight}, dir_);
    EXPECT_EQ(run.status, 1) << c.frames;
    EXPECT_NE(run.err.find(c.named), std::string::npos) << run.err;
    EXPECT_EQ(Files("out"), c.left) << c.frames << " " << c.inFlight;
  }
}

// Frames in flight write at once; when a write fails, a later frame written
// meanwhile is discarded, so the frames kept have no gap.
TEST(SequenceRendererTest, AFailedWriteDiscardsLaterFramesWrittenMeanwhile) {
  class Sink final : public lfhost::FrameSink {
   public:
    void Write(int64_t frame, const lfhost::ImageBuffer&) override {
      std::unique_lock<std::mutex> lock(mutex_);
      if (frame == 1) {
        // Fails only once frame 2 is written beside it.
        changed_.wait_for(lock, std::chrono::seconds(60), [&] { return written_.count(2) != 0; });
        throw lfhost::HostError("frame 1: disk full");
      }
      written_.insert(frame);
      changed_.notify_all();
    }
    bool writesFramesAtOnce() const override { return true; }
    void Discard(int64_t frame) noexcept override { written_.erase(frame); }
    std::string NameFor(int64_t frame) const override { return std::to_string(frame); }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::set<int64_t> written_;
  } sink;
  const auto source = lfhost::OpenBuiltinSource({0, 3}, 8, 8);
  lfhost::RenderJob job;
  job.source = source.get();
  job.sink = &sink;
  job.framesInFlight = 3;
  const lfhost::RenderOutcome outcome = lfhost::RenderFrames(job);
  EXPECT_EQ(outcome.error, "frame 1: disk full");
  EXPECT_EQ(std::tuple(outcome.framesWritten, outcome.firstWritten, outcome.lastWritten), std::tuple(int64_t{1}, 0, 0));
  EXPECT_EQ(sink.written_, std::set<int64_t>{0});
}

// Video in, lossless video out: every frame is that frame rendered alone, its
// number (from 0) seeding it.
TEST_F(SequenceRenderTest, VideoThroughALosslessVideoEqualsEachFrameRenderedAlone) {
  {
    lfhost::VideoWriter writer(Path("clip.mkv"), 64, 48, {25, 1});
    for (int n = 0; n < 4; ++n) writer.WriteFrame(lftest::PatternFrame(64, 48, n));
    writer.Finish();
  }
  const auto r = lftest::RunCli({"render", Path("clip.mkv"), "-o", Path("flare.mkv"), "--lens", "3",
                                 "--center", "20,20", "--frames-in-flight", "3", "--quiet"}, dir_);
  ASSERT_EQ(r.status, 0) << r.err;
  const lfhost::VideoInfo info = lfhost::ProbeVideo(Path("flare.mkv"));
  EXPECT_EQ(info.frameCount, 4);
  EXPECT_EQ(info.frameRate.num, 25);
  lfhost::VideoReader reader(Path("flare.mkv"), info);
  auto alone = lftest::StartedEffect();
  lfhost::ControlSettings s;
  s.lensType = 3;
  s.centerX = s.centerY = lfhost::Coordinate{20, false};
  lfhost::ImageBuffer frame;
  for (int n = 0; n < 4; ++n) {
    lfhost::ImageBuffer expected(64, 48);
    ASSERT_TRUE(alone->Render(lftest::PatternFrame(64, 48, n), expected, alone->Resolve(s, 64, 48), {.frame = n}).ok());
    ASSERT_TRUE(reader.ReadFrame(frame));
    EXPECT_TRUE(lftest::SamePixels(frame, expected)) << n;
  }
}

// Compressed video keeps its size, rate and audio; --frames picks a part of
// it; a sequence becomes a video at the rate asked for, without audio.
TEST_F(SequenceRenderTest, CompressedVideoKeepsSizeRateFrameCountAndAudio) {
  lftest::RunTool("ffmpeg -v error -nostdin -f lavfi -i testsrc=size=64x48:rate=12 -f lavfi -i "
                  "sine=frequency=440:sample_rate=48000 -t 1 -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest " +
                  ShellQuote(Path("tone.mp4")));
  WritePlates(1, 3);
  struct Case { std::string input; std::vector<std::string> extra; std::string output; int64_t frames, rate; bool audio; };
  for (const Case& c : std::vector<Case>{{"tone.mp4", {"--frames", "2-7"}, "part.mp4", 6, 12, true},
                                         {"tone.mp4", {}, "whole.mov", 12, 12, true},
                                         {"in/plate.####.png", {"--fps", "30"}, "seq.mp4", 3, 30, false}}) {
    std::vector<std::string> args = {"render", Path(c.input), "-o", Path(c.output), "--quiet"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const auto r = lftest::RunCli(args, dir_);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "") << "--quiet still reported progress";
    const lfhost::VideoInfo info = lfhost::ProbeVideo(Path(c.output));
    EXPECT_EQ(std::tuple(info.width, info.height, info.frameCount, info.frameRate.num, info.frameRate.den, info.hasAudio),
              std::tuple(64, 48, c.frames, c.rate, 1, c.audio)) << c.output;
  }
  for (const std::string& name : Files()) EXPECT_NE(name[0], '.') << name;
}

}  // namespace
