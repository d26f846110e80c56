// Sequences and video through the tool's pipelined renderer: pattern names,
// frame ranges, every frame equal to the same frame rendered alone with its own
// seed and keyframed values, video round trips, and what a failure in the
// middle leaves behind (a cancel: render_cancel_test.cpp; each step of a run
// stopped on scripted media: sequence_run_test.cpp).
#include <gtest/gtest.h>

#include <algorithm>

#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/imageio.h>

#include <cstring>
#include <map>
#include <sstream>
#include <utility>

#include "host/core/host_error.h"
#include "host/media/frame_sources.h"
#include "host/media/image_io.h"
#include "host/media/jpeg_quality.h"
#include "host/media/sequence_renderer.h"
#include "host/media/video_reader.h"
#include "host/media/video_writer.h"
#include "tests/host/media_fixture.h"
#include "tests/host/module_fixture.h"

namespace {

using lftest::MediaTest;
using lftest::ShellQuote;
namespace fs = std::filesystem;

TEST(SequencePatternTest, NamesAndMatchesFramesAsTheMarkSays) {
  const std::tuple<std::string, int64_t, std::string> names[] = {
      {"shots/plate.%04d.exr", 12, "shots/plate.0012.exr"}, {"plate.####.png", 123456, "plate.123456.png"},
      {"a.%d.tif", 12, "a.12.tif"}, {"v1.%02d.dpx", 5, "v1.05.dpx"}, {"o.%20d.png", 77, "o.00000000000000000077.png"}};
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
  EXPECT_EQ(lfhost::SequencePattern::Parse("o.%20d.png")->Match("o.00000000000000000077.png"), 77);

  using Frames = std::vector<int64_t>;
  const std::pair<std::string, std::optional<Frames>> ranges[] = {
      {"1-4", Frames{1, 2, 3, 4}}, {"7", Frames{7}}, {"1-7x3", Frames{1, 4, 7}}, {"9,2-3,5x2", Frames{2, 3, 5, 9}},
      {"3,1-2", Frames{1, 2, 3}}, {"10-1", std::nullopt}, {"-5", std::nullopt}, {"1-", std::nullopt},
      {"1-2-3", std::nullopt}, {"1-9x0", std::nullopt}, {"1,,2", std::nullopt}, {"0-99999999x1,1", std::nullopt},
      {"1-8x3", Frames{1, 4, 7}}, {"2-3,1-9x4", Frames{1, 2, 3, 5, 9}}};
  for (const auto& [text, frames] : ranges) {
    const auto parsed = lfhost::ParseFrameRange(text);
    EXPECT_EQ(parsed ? std::optional(parsed->Frames()) : std::nullopt, frames) << text;
    // The span is that of the frames listed, so a shot that holds them all is long enough.
    if (parsed) {
      EXPECT_EQ(std::pair(parsed->first, parsed->last), std::pair(frames->front(), frames->back())) << text;
    }
  }
  EXPECT_EQ(lfhost::ParseFrameRange("1001-999999999")->last, 999999999);   // a plain range is not spelt out
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
  // Frames in flight may finish in any order: each has its line, and the last says 6/6.
  for (int n = 3; n <= 8; ++n) {
    EXPECT_NE(run.err.find("frame " + std::to_string(n) + " written to " + Path("out/f.000" + std::to_string(n) + ".png")),
              std::string::npos) << run.err;
  }
  EXPECT_NE(run.err.find(" (6/6, "), std::string::npos) << run.err;
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
// it (into images, with a note that the audio is left out); a sequence
// becomes a video at the rate asked for, without audio. 10-bit
// ProRes and FFV1 stay 10-bit or deeper (16-bit 4:4:4 asked for, lossless).
TEST_F(SequenceRenderTest, CompressedVideoKeepsSizeRateFrameCountAndAudio) {
  const std::string clip = "ffmpeg -v error -nostdin -f lavfi -i testsrc=size=64x48:rate=12 -f lavfi -i "
                           "sine=frequency=440:sample_rate=48000 -t 1 -shortest ";
  lftest::RunTool(clip + "-c:v libx264 -pix_fmt yuv420p -c:a aac " + ShellQuote(Path("tone.mp4")));
  lftest::RunTool(clip + "-c:v prores_ks -profile:v hq -pix_fmt yuv422p10le -c:a pcm_s16le " + ShellQuote(Path("p10.mov")));
  lftest::RunTool(clip + "-c:v ffv1 -pix_fmt yuv444p10le -c:a flac " + ShellQuote(Path("f10.mkv")));
  WritePlates(1, 3);
  struct Case { std::string input; std::vector<std::string> extra; std::string output; int64_t frames, rate; bool audio; std::string pixels; };
  // Pixel format, primaries and transfer: images become BT.709 video.
  for (const Case& c : std::vector<Case>{{"tone.mp4", {"--frames", "2-7"}, "part.mp4", 6, 12, true, "yuv420p,unknown,unknown"},
                                         {"tone.mp4", {}, "whole.mov", 12, 12, true, "yuv420p,unknown,unknown"},
                                         {"in/plate.####.png", {"--fps", "30"}, "seq.mp4", 3, 30, false, "yuv420p,bt709,bt709"},
                                         {"p10.mov", {}, "op10.mov", 12, 12, true, "yuv422p10le,unknown,unknown"},
                                         {"f10.mkv", {"--pix-fmt", "gbrp16le", "--center", "20,15"}, "of10.mkv", 12, 12,
                                          true, "gbrp16le,unknown,unknown"}}) {
    std::vector<std::string> args = {"render", Path(c.input), "-o", Path(c.output), "--quiet"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const auto r = lftest::RunCli(args, dir_);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "") << "--quiet still reported progress";
    const lfhost::VideoInfo info = lfhost::ProbeVideo(Path(c.output));
    EXPECT_EQ(std::tuple(info.width, info.height, info.frameCount, info.frameRate.num, info.frameRate.den, info.hasAudio),
              std::tuple(64, 48, c.frames, c.rate, 1, c.audio)) << c.output;
    EXPECT_EQ(lftest::RunShell("ffprobe -v error -select_streams v:0 -show_entries "
                               "stream=pix_fmt,color_primaries,color_transfer -of csv=p=0 " +
                               ShellQuote(Path(c.output))).out, c.pixels + "\n") << c.output;
  }
  for (const std::string& name : Files()) EXPECT_NE(name[0], '.') << name;
  // Into images the sound goes nowhere, and the render says so.
  const auto still = lftest::RunCli({"render", Path("tone.mp4"), "-o", Path("still.####.png"), "--frames", "0-0"}, dir_);
  ASSERT_EQ(still.status, 0) << still.err;
  EXPECT_NE(still.err.find("note: the audio of " + Path("tone.mp4") + " is not written: " + Path("still.####.png") +
                           " holds images only\n"), std::string::npos) << still.err;

  // Through FFV1 at 16 bits, each decoded source sample p comes out as the
  // screen p + (1 - p) f of the full-precision flare f over black (video deeper
  // than 8 bits gets it by default), within one unit; where the flare is
  // black, exactly p.
  auto decoded = [&](const std::string& name) {
    lfhost::VideoReader reader(Path(name), lfhost::ProbeVideo(Path(name)), true);
    OIIO::ImageBuf frame;
    EXPECT_TRUE(reader.ReadDeepFrame(frame)) << name;
    return frame;
  };
  const OIIO::ImageBuf in = decoded("f10.mkv"), out = decoded("of10.mkv");
  auto effect = lftest::StartedEffect();
  lfhost::ParamValues values = effect->DefaultValues(64, 48);
  values.centerX = 20 << 16, values.centerY = 15 << 16;
  lfhost::FullFlare flare;
  ASSERT_TRUE(effect->RenderFull(64, 48, effect->Check(values), flare, {.frame = 0}).ok());
  int lit = 0;
  for (int y = 0; y < 48; ++y) {
    for (int x = 0; x < 64; ++x) {
      for (int c = 0; c < 3; ++c) {
        const double p = std::round(in.getchannel(x, y, 0, c) * 65535), f = flare.row(y)[3 * x + c];
        const double got = std::round(out.getchannel(x, y, 0, c) * 65535);
        if (f == 0) EXPECT_EQ(got, p) << x << "," << y << "," << c;
        else EXPECT_NEAR(got, p + (65535 - p) * f, 1) << x << "," << y << "," << c;
        lit += f > 0;
      }
    }
  }
  EXPECT_GT(lit, 100);
}

// Media round trips at brightness 0, where the flare draws nothing: the output
// has the input's coding, colour tags, channels, header fields, frame count and
// frame times, and its pixels decode to the input's within the codec's loss.
TEST_F(SequenceRenderTest, MediaRoundTripsKeepTagsChannelsTimesAndPixels) {
  {
    std::ofstream icc(Path("profile.icc"), std::ios::binary);
    for (int i = 0; i < 200; ++i) icc.put(static_cast<char>(i * 7));
  }
  const std::string ff = "ffmpeg -v error -nostdin -f lavfi -i testsrc2=rate=25:size=";
  const std::string yuv = " -t 0.2 -sws_flags accurate_rnd+full_chroma_int -c:v libx264 -crf 10 -vf scale=out_color_matrix=";
  const std::string oiio = "oiiotool --pattern checker:color1=0.2,0.5,0.1:color2=0.9,0.3,0.6 64x48 ";
  const std::string smooth = "oiiotool --pattern "
                             "fill:topleft=0.1,0.5,0.3:topright=0.9,0.2,0.4:bottomleft=0.3,0.3,0.9:bottomright=0.8,0.8,0.1 "
                             "64x48 3 -d uint8 ";
  // "a,b,..." of n values from `from`, each 0.05 on (down from 0.9 and above).
  auto ramp = [](int n, double from) {
    std::string values;
    for (int i = 0; i < n; ++i) values += (i ? "," : "") + std::to_string(from > 0.5 ? from - 0.05 * i : from + 0.05 * i);
    return values;
  };
  // Each input is made against the usual convention for its height, so only
  // the tags can have set the matrix (BT.709 below 720 lines, BT.601 at 720).
  struct Case { std::string make, input, output, facts; double meanError; std::vector<std::string> options = {}; };
  const std::vector<Case> cases = {
      {ff + "320x240" + yuv + "bt709:out_range=tv,format=yuv420p -colorspace bt709 -color_primaries bt709 "
       "-color_trc bt709 -color_range tv", "709.mp4", "o709.mp4",
       "codec_name=h264|profile=High|sample_aspect_ratio=1:1|pix_fmt=yuv420p|color_range=tv|color_space=bt709|"
       "color_transfer=bt709|color_primaries=bt709|nb_read_frames=5", 1.0},
      {ff + "1280x720" + yuv + "bt601:out_range=tv,format=yuv420p -colorspace smpte170m -color_primaries smpte170m "
       "-color_trc smpte170m -color_range tv", "601.mp4", "o601.mkv",
       "codec_name=h264|profile=High|sample_aspect_ratio=1:1|pix_fmt=yuv420p|color_range=tv|color_space=smpte170m|"
       "color_transfer=smpte170m|color_primaries=smpte170m|nb_read_frames=5", 1.0},
      {ff + "320x240" + yuv + "bt709:out_range=pc,format=yuv420p -colorspace bt709 -color_range pc", "full.mp4",
       "ofull.mp4", "codec_name=h264|profile=High|sample_aspect_ratio=1:1|pix_fmt=yuvj420p|color_range=pc|"
       "color_space=bt709|nb_read_frames=5", 1.0},
      {ff + "320x240 -t 0.2 -c:v prores_ks -profile:v hq -pix_fmt yuv422p10le -timecode 01:00:00:12", "hq.mov",
       "ohq.mov", "codec_name=prores|profile=HQ|sample_aspect_ratio=1:1|pix_fmt=yuv422p10le|color_range=tv|"
       "color_space=smpte170m|nb_read_frames=5|tag:timecode=01:00:00:12", 1.5},
      {ff + "96x64 -t 0.2 -vf setsar=4/3 -c:v ffv1 -pix_fmt bgr0", "rgb.mkv", "orgb.mkv",
       "codec_name=ffv1|sample_aspect_ratio=4:3|pix_fmt=bgr0|color_range=pc|color_space=gbr|nb_read_frames=5", 0},
      // A container that states another pixel aspect than its frames do: the
      // container's holds, as players take it.
      {ff + "96x64 -t 0.2 -vf setsar=4/3 -c:v libx264 -crf 10 " + ShellQuote(Path("coded.mkv")) +
       " && ffmpeg -v error -nostdin -i " + ShellQuote(Path("coded.mkv")) + " -c copy -aspect 16:9", "aspect.mkv",
       "oaspect.mkv", "codec_name=h264|profile=High|sample_aspect_ratio=32:27|pix_fmt=yuv420p|color_range=tv|"
       "color_space=smpte170m|nb_read_frames=5", 1.5},
      {oiio + "3 -d uint8 --attrib PixelAspectRatio 2.0 --attrib dpx:Transfer \"Printing density\" -o", "scan.dpx",
       "oscan.dpx", "channels=3 Orientation=1 PixelAspectRatio=2 dpx:Transfer=Printing density", 0},
      {smooth + "--attrib Orientation 6 --attrib Exif:DateTimeOriginal \"2024:05:06 07:08:09\" --iccread " +
       ShellQuote(Path("profile.icc")) + " -o", "phone.jpg", "ophone.jpg",
       "channels=3 Orientation=6 ICCProfile=200 bytes Exif:DateTimeOriginal=2024:05:06 07:08:09 "
       "jpeg:subsampling=4:2:0 quality=98", 1.0},
      // A JPEG keeps its input's quality and subsampling, as a plate too, unless
      // --quality sets one; from another format it is written at 95.
      {smooth + "--attrib jpeg:subsampling 4:4:4 --compression jpeg:100 -o", "q100.jpg", "oq100.jpg",
       "channels=3 jpeg:subsampling=4:4:4 quality=100", 0.5},
      {smooth + "--attrib jpeg:subsampling 4:2:2 --compression jpeg:50 -o", "q50.jpeg", "oq50.jpg",
       "channels=3 jpeg:subsampling=4:2:2 quality=50", 1.0, {"--depth", "8"}},
      {smooth + "--compression jpeg:90 -o", "q90.jpg", "oq80.jpg", "channels=3 jpeg:subsampling=4:2:0 quality=80", 1.0,
       {"--quality", "80"}},
      {smooth + "-o", "smooth.png", "osmooth.jpg", "channels=3 jpeg:subsampling=4:2:0 quality=95", 1.0},
      {oiio + "3 -d uint8 -o", "rgb.png", "orgb.png", "channels=3", 0},
      {oiio + "1 -d uint8 -o", "grey.png", "ogrey.png", "channels=3", 0},
      // Channels beyond R, G, B and alpha of an 8-bit file, every one kept.
      {"oiiotool --pattern fill:top=0.1,0.2,0.3,0.4,0.5:bottom=0.9,0.7,0.5,0.3,0.1 64x48 5 -d uint8 -o", "five.tif",
       "ofive.tif", "channels=5 Orientation=1", 0},
      {"oiiotool --pattern fill:top=" + ramp(16, 0.05) + ":bottom=" + ramp(16, 0.9) + " 64x48 16 -d uint8 -o",
       "sixteen.tif", "osixteen.tif", "channels=16 Orientation=1", 0},
  };
  auto facts = [&](const std::string& name) {
    if (lfhost::MediaKindOf(name) == lfhost::MediaKind::Video) {
      std::string line = lftest::RunShell("ffprobe -v error -select_streams v:0 -count_frames -show_entries "
                                          "stream=codec_name,profile,pix_fmt,color_range,color_space,color_transfer,"
                                          "color_primaries,sample_aspect_ratio,nb_read_frames:stream_tags=timecode "
                                          "-of compact=p=0 " + ShellQuote(Path(name))).out;
      for (const char* unknown : {"|color_space=unknown", "|color_transfer=unknown", "|color_primaries=unknown",
                                  "|color_range=unknown", "|profile=unknown"}) {
        if (const size_t at = line.find(unknown); at != std::string::npos) line.erase(at, std::strlen(unknown));
      }
      return line.substr(0, line.find('\n'));
    }
    auto in = OIIO::ImageInput::open(Path(name));
    const OIIO::ImageSpec& header = in->spec();
    std::string line = "channels=" + std::to_string(header.nchannels);
    for (const char* field : {"Orientation", "PixelAspectRatio", "ICCProfile", "Exif:DateTimeOriginal", "dpx:Transfer",
                              "jpeg:subsampling"}) {
      const OIIO::ParamValue* p = header.find_attribute(field);
      if (!p) continue;
      line += std::string(" ") + field + "=" +
              (p->type().basetype == OIIO::TypeDesc::UINT8 ? std::to_string(p->type().numelements()) + " bytes"
                                                           : p->get_string());
    }
    if (lfhost::IsJpegExtension(fs::path(name).extension().string())) {
      line += " quality=" + std::to_string(lfhost::JpegQualityOf(Path(name)).value_or(0));
    }
    return line;
  };
  // Every frame of a file, as the tool reads it.
  auto frames = [&](const std::string& name) {
    std::vector<lfhost::ImageBuffer> all;
    if (lfhost::MediaKindOf(name) != lfhost::MediaKind::Video) {
      all.push_back(lfhost::ReadImage(Path(name)));
      return all;
    }
    lfhost::VideoReader reader(Path(name), lfhost::ProbeVideo(Path(name)));
    for (lfhost::ImageBuffer f; reader.ReadFrame(f);) all.push_back(f.Clone());
    return all;
  };
  auto times = [&](const std::string& name) {
    return lftest::RunShell("ffprobe -v error -select_streams v:0 -show_entries packet=pts_time -of csv=p=0 " +
                            ShellQuote(Path(name)) + " | sort -n").out;
  };
  for (const Case& c : cases) {
    lftest::RunTool(c.make + " " + ShellQuote(Path(c.input)));
    std::vector<std::string> args = {"render", Path(c.input), "-o", Path(c.output), "--brightness", "0", "--quiet"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const lftest::CliRun r = lftest::RunCli(args, dir_);
    ASSERT_EQ(r.status, 0) << c.input << ": " << r.err;
    EXPECT_EQ(facts(c.output), c.facts) << c.input;
    if (lfhost::MediaKindOf(c.input) == lfhost::MediaKind::Video) {
      EXPECT_EQ(times(c.output), times(c.input)) << c.input;
    }
    const std::vector<lfhost::ImageBuffer> in = frames(c.input), out = frames(c.output);
    ASSERT_EQ(in.size(), out.size()) << c.input;
    double error = 0, samples = 0;
    for (size_t f = 0; f < in.size(); ++f) {
      const std::vector<uint8_t> a = in[f].ToRGBA(), b = out[f].ToRGBA();
      ASSERT_EQ(a.size(), b.size()) << c.input;
      for (size_t i = 0; i < a.size(); ++i) error += std::abs(a[i] - b[i]);
      samples += static_cast<double>(a.size());
    }
    EXPECT_LE(error / samples, c.meanError) << c.input;
    // A file of the same channels untouched by the flare keeps every sample.
    if (lfhost::MediaKindOf(c.input) == lfhost::MediaKind::Image && c.meanError == 0) {
      OIIO::ImageBuf a(Path(c.input)), b(Path(c.output));
      ASSERT_TRUE(a.read() && b.read()) << c.input;
      if (a.nchannels() == b.nchannels()) {
        EXPECT_EQ(OIIO::ImageBufAlgo::compare(a, b, 0, 0).nfail, 0u) << c.input;
      }
    }
  }
}

// Each frame of a JPEG sequence keeps its own file's quality, held frames the
// first one's.
TEST_F(SequenceRenderTest, EachFrameOfAJpegSequenceKeepsItsOwnQuality) {
  const std::map<int, int> qualities = {{1, 60}, {2, 97}, {4, 30}};
  for (const auto& [frame, quality] : qualities) {
    lftest::RunTool("oiiotool --pattern noise 40x30 3 -d uint8 --compression jpeg:" + std::to_string(quality) + " -o " +
                    ShellQuote(Path("in." + std::to_string(frame) + ".jpg")));
  }
  const lftest::CliRun r = lftest::RunCli(
      {"render", Path("in.%d.jpg"), "-o", Path("out.%d.jpg"), "--missing", "hold", "--brightness", "0", "--quiet"}, dir_);
  ASSERT_EQ(r.status, 0) << r.err;
  for (const auto& [frame, quality] : std::map<int, int>{{1, 60}, {2, 97}, {3, 60}, {4, 30}}) {
    EXPECT_EQ(lfhost::JpegQualityOf(Path("out." + std::to_string(frame) + ".jpg")), quality) << frame;
  }
}

// Gaps and ranges: a run renders exactly the frames asked for, a gap is refused
// before anything renders or filled as asked, and keys outside the frames are
// named. At brightness 0 a frame comes out as it went in, so each output shows
// which input it was made from.
TEST_F(SequenceRenderTest, GapsAndRangesRenderExactlyTheFramesAskedFor) {
  WritePlates(1001, 1010);
  fs::remove(PlatePath(1005));
  {
    lfhost::VideoWriter clip(Path("clip.mkv"), 64, 48, {25, 1});
    for (int n = 0; n < 4; ++n) clip.WriteFrame(lftest::PatternFrame(64, 48, n));
    clip.Finish();
  }
  const std::string seq = Path("in/plate.####.png");
  constexpr int kBlack = -1;
  // made: output frame -> the input frame it shows (kBlack for black); for a
  // video output, only the count of frames matters.
  // existing: what stands at f.1001.png before the run: a finished frame (""),
  // or one that is "empty", "cut" short, "garbage", too "small" or "rgb" only.
  struct Case { std::vector<std::string> args; int status; std::map<int64_t, int> made; std::string says; std::string existing = ""; };
  const std::vector<Case> cases = {
      {{seq}, 1, {}, seq + ": frame 1005 is missing (--missing black or --missing hold renders it anyway)"},
      {{seq, "--missing", "hold", "--frames", "1003-1006"}, 0, {{1003, 1003}, {1004, 1004}, {1005, 1004}, {1006, 1006}}, ""},
      {{seq, "--missing", "black", "--frames", "1004-1006"}, 0, {{1004, 1004}, {1005, kBlack}, {1006, 1006}}, ""},
      {{seq, "--frames", "1001-1010x3"}, 0, {{1001, 1001}, {1004, 1004}, {1007, 1007}, {1010, 1010}}, ""},
      {{seq, "--frames", "1009,1002-1003,1005"}, 1, {}, seq + ": frame 1005 is missing"},
      {{seq, "--frames", "1001-1003", "--skip-existing"}, 0, {{1001, 1009}, {1002, 1002}, {1003, 1003}}, ""},
      {{seq, "--frames", "1001-1002", "--skip-existing"}, 0, {{1001, 1001}, {1002, 1002}},
       "/f.1001.png is not a finished frame (an empty file); rendering it again\n", "empty"},
      {{seq, "--frames", "1001-1002", "--skip-existing"}, 0, {{1001, 1001}, {1002, 1002}},
       "/f.1001.png is not a finished frame (cannot read the image (Read error: hit end of file", "cut"},
      {{seq, "--frames", "1001-1002", "--skip-existing"}, 0, {{1001, 1001}, {1002, 1002}},
       "/f.1001.png is not a finished frame (cannot read the image (Not a PNG file)); rendering it again\n", "garbage"},
      {{seq, "--frames", "1001-1002", "--skip-existing"}, 0, {{1001, 1001}, {1002, 1002}},
       "/f.1001.png is not a finished frame (32x24 where the frame is 64x48); rendering it again\n", "small"},
      {{seq, "--frames", "1001-1002", "--skip-existing"}, 0, {{1001, 1001}, {1002, 1002}},
       "/f.1001.png is not a finished frame (3 channels where the frame has 4); rendering it again\n", "rgb"},
      {{Path("clip.mkv"), "--start-number", "1001", "--frames", "1002-1003"}, 0, {{1002, 1}, {1003, 2}}, ""},
      {{seq, "--frames", "1001-1002", "--center", "0=1,1", "--center", "1002=2,2"}, 0, {{1001, 1001}, {1002, 1002}},
       "warning: --center keyframe at frame 0 lies outside the frames rendered (1001 to 1002)\n"},
      {{seq, "--frames", "1002", "--blend", "0=1", "--blend", "1=1", "--blend", "1002=1", "--blend", "1003=1",
        "--blend", "1009=1"},
       0, {{1002, 1002}},
       "warning: --blend: 4 keyframes, at frames 0 to 1 and 1003 to 1009, lie outside the frames rendered (1002 to 1002)\n"},
      {{seq, "--missing", "hold", "-o", Path("out/all.mkv")}, 0, {}, ""},
      // Each frame's line names both files it went to.
      {{seq, "--frames", "1002", "--pass", "both", "--pass-output", Path("flare/p.####.png")}, 0, {{1002, 1002}},
       "/f.1002.png and " + Path("flare/p.1002.png") + " (1/1"},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const std::string folder = "out" + std::to_string(i);
    fs::create_directories(dir_ / folder);
    // A frame already there (from another run) is left as it is.
    const std::string existing = Path(folder + "/f.1001.png");
    lfhost::ImageTraits rgb;
    rgb.alpha = c.existing != "rgb";
    lfhost::WriteImage(lftest::PatternFrame(c.existing == "small" ? 32 : 64, c.existing == "small" ? 24 : 48, 1009),
                       existing, rgb);
    if (c.existing == "empty" || c.existing == "cut") fs::resize_file(existing, c.existing == "cut" ? fs::file_size(existing) / 2 : 0);
    if (c.existing == "garbage") std::ofstream(existing) << "not an image at all";
    std::vector<std::string> args = {"render", "--brightness", "0"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    if (std::find(args.begin(), args.end(), "-o") == args.end()) args.insert(args.end(), {"-o", Path(folder + "/f.####.png")});
    const lftest::CliRun r = lftest::RunCli(args, dir_);
    EXPECT_EQ(r.status, c.status) << i << ": " << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << i << ": " << r.err;
    if (c.args.back().find(".mkv") != std::string::npos) {
      EXPECT_EQ(lfhost::ProbeVideo(Path("out/all.mkv")).frameCount, 10) << "the video has every frame of the range";
      continue;
    }
    std::vector<std::string> expected = {"f.1001.png"};
    for (const auto& [number, shows] : c.made) {
      char name[32];
      std::snprintf(name, sizeof name, "f.%04lld.png", static_cast<long long>(number));
      if (number != 1001) expected.push_back(name);
      lfhost::ImageBuffer want = lftest::PatternFrame(64, 48, shows == kBlack ? 0 : shows);
      if (shows == kBlack) want.Fill(255, 0, 0, 0);
      EXPECT_TRUE(lftest::SamePixels(lfhost::ReadImage(Path(folder + "/" + name)), want)) << i << ": " << name;
    }
    EXPECT_EQ(Files(folder), expected) << i;
  }
}

// Every command of the README's Usage section, as written, on media made here.
TEST_F(SequenceRenderTest, EveryCommandOfTheReadmeUsageRunsAsWritten) {
  std::ifstream file(LF_TEST_SOURCE_DIR "/README.md");
  const std::string readme{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  const size_t start = readme.find("\n## Usage");
  const std::string usage = readme.substr(start, readme.find("\n## ", start + 1) - start);
  std::vector<std::string> commands;
  for (size_t at = usage.find("```sh\n"); at != std::string::npos; at = usage.find("```sh\n", at)) {
    const size_t end = usage.find("```\n", at + 6);
    std::istringstream block(usage.substr(at + 6, end - at - 6));
    std::string command;
    for (std::string line; std::getline(block, line);) {
      const bool continued = !line.empty() && line.back() == '\\';
      if (line.rfind("build/bin/lensflare ", 0) == 0 || !command.empty()) command += continued ? line.substr(0, line.size() - 1) : line;
      if (!continued && !command.empty()) commands.push_back(std::exchange(command, ""));
    }
    at = end;
  }
  ASSERT_EQ(commands.size(), 14u) << usage;

  const auto frame = lftest::PatternFrame(64, 48, 1);
  for (const char* name : {"plate.png", "plate.exr", "scan.dpx"}) lfhost::WriteImage(frame, Path(name));
  fs::create_directories(dir_ / "shots");
  for (const auto& [pattern, last] : {std::pair{"plate.%04d.png", 1048}, {"plate.%04d.exr", 1003}, {"shots/plate.%04d.exr", 1003}}) {
    for (int n = 1001; n <= last; ++n) lfhost::WriteImage(lftest::PatternFrame(64, 48, n), lfhost::SequencePattern::Parse(Path(pattern))->PathFor(n));
  }
  lftest::RunTool("ffmpeg -v error -nostdin -f lavfi -i testsrc=size=64x48:rate=12 -f lavfi -i sine -t 0.5 "
                  "-c:v prores_ks -profile:v hq -c:a pcm_s16le " + ShellQuote(Path("clip.mov")));
  for (std::string command : commands) {
    command.replace(0, std::string("build/bin/lensflare").size(), ShellQuote(LF_TEST_CLI_PATH));
    const lftest::CliRun run = lftest::RunShell("cd " + ShellQuote(dir_.string()) + " && " + command + " 2>&1");
    EXPECT_EQ(run.status, 0) << command << "\n" << run.out;
    // The output named by -o is there (a sequence's first frame).
    const size_t o = command.find(" -o ");
    if (o == std::string::npos) continue;
    const std::string output = command.substr(o + 4, command.find(' ', o + 4) - o - 4);
    const auto pattern = lfhost::SequencePattern::Parse(Path(output));
    EXPECT_TRUE(pattern ? !pattern->Scan().empty() : fs::exists(Path(output))) << command;
  }
  EXPECT_EQ(lfhost::SequencePattern::Parse(Path("elements/flare/element.%04d.png"))->Scan().size(), 24u);
}

}  // namespace
