// Video through ffmpeg: what ffprobe reports, lossless round trips of A, R, G, B
// frames and of 16-bit frames, video of more than 8 bits kept at its depth with
// its rate, tags, timecode and audio, temporary output until the end, and clear
// errors for what is not video.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <OpenImageIO/imagebufalgo.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "host/core/host_error.h"
#include "host/media/sample_composite.h"
#include "host/media/video_reader.h"
#include "host/media/video_writer.h"
#include "tests/host/media_fixture.h"
#include "tests/host/module_fixture.h"

namespace {

using lftest::MediaTest;
using lftest::ShellQuote;

using lftest::ErrorOf;

TEST(FrameRateTest, ParsesRatesAsUsersAndFfprobeWriteThem) {
  struct Case { std::string text; int64_t num, den; };
  for (const Case& c : std::vector<Case>{{"24", 24, 1}, {"25/1", 25, 1}, {"30000/1001", 30000, 1001},
                                         {"29.97", 30000, 1001}, {"23.976", 24000, 1001}, {"59.94", 60000, 1001},
                                         {"12.5", 25, 2}, {"50/2", 25, 1}}) {
    const auto rate = lfhost::ParseFrameRate(c.text);
    ASSERT_TRUE(rate.has_value()) << c.text;
    EXPECT_EQ(rate->num, c.num) << c.text;
    EXPECT_EQ(rate->den, c.den) << c.text;
  }
  for (const char* bad : {"", "0", "-24", "24fps", "1/0", "0/0", "abc", " 24", "2000"}) {
    EXPECT_FALSE(lfhost::ParseFrameRate(bad).has_value()) << bad;
  }
}

class VideoIoTest : public MediaTest {};

TEST_F(VideoIoTest, LosslessRoundTripKeepsEveryByteIncludingAlpha) {
  const std::string path = Path("clip.mkv");
  {
    lfhost::VideoWriter writer(path, 64, 48, {25, 1});
    for (int n = 0; n < 5; ++n) writer.WriteFrame(lftest::PatternFrame(64, 48, n, true));
    // Until the end the video lives under a temporary name.
    EXPECT_FALSE(lftest::fs::exists(path));
    writer.Finish();
  }
  EXPECT_EQ(Files(), std::vector<std::string>{"clip.mkv"});

  const lfhost::VideoInfo info = lfhost::ProbeVideo(path);
  EXPECT_EQ(info.width, 64);
  EXPECT_EQ(info.height, 48);
  EXPECT_EQ(info.frameCount, 5);
  EXPECT_EQ(info.frameRate.num, 25);
  EXPECT_EQ(info.frameRate.den, 1);
  EXPECT_FALSE(info.hasAudio);
  // What ffprobe said is remembered only while the file stays as it was.
  {
    lfhost::VideoWriter writer(Path("clip3.mkv"), 64, 48, {25, 1});
    for (int n = 0; n < 3; ++n) writer.WriteFrame(lftest::PatternFrame(64, 48, n, true));
    writer.Finish();
  }
  EXPECT_EQ(lfhost::ProbeVideo(Path("clip3.mkv")).frameCount, 3);
  lftest::fs::copy_file(path, Path("clip3.mkv"), lftest::fs::copy_options::overwrite_existing);
  EXPECT_EQ(lfhost::ProbeVideo(Path("clip3.mkv")).frameCount, 5);
  lftest::fs::remove(Path("clip3.mkv"));

  lfhost::VideoReader reader(path, info);
  lfhost::ImageBuffer frame;
  for (int n = 0; n < 5; ++n) {
    ASSERT_TRUE(reader.ReadFrame(frame)) << n;
    EXPECT_TRUE(lftest::SamePixels(frame, lftest::PatternFrame(64, 48, n, true))) << "frame " << n;
  }
  EXPECT_FALSE(reader.ReadFrame(frame));

  // 16-bit frames come back exactly through FFV1: R, G, B, A stored at 16
  // bits, and greys that are 10-bit codes through limited-range YUV both ways.
  auto deepFrame = [](int channels, int n) {
    OIIO::ImageBuf f(OIIO::ImageSpec(64, 48, channels, OIIO::TypeDesc::UINT16));
    const float k = 0.1f * static_cast<float>(n);
    if (channels == 4) OIIO::ImageBufAlgo::fill(f, {k, 0.3f, 0.9f, 1}, {1, k, 0.2f, 0.5f}, {0.7f, 1, k, 0}, {0.1f, 0.6f, 0.4f, k});
    for (int x = 0; channels == 3 && x < 64; ++x) {
      const float v = std::round(static_cast<float>(x * 13 + 3 * n + 1) / 876 * 65535) / 65535;   // no ties
      OIIO::ImageBufAlgo::fill(f, {v, v, v}, OIIO::ROI(x, x + 1, 0, 48));
    }
    return f;
  };
  for (const auto& [name, pixelFormat, channels] : {std::tuple("deep.mkv", "gbrap16le", 4),
                                                     std::tuple("grey.mkv", "yuv422p10le", 3)}) {
    lfhost::VideoStyle deep;
    deep.deep = true;
    deep.alpha = channels == 4;
    if (channels == 3) deep.pixelFormat = pixelFormat;
    {
      lfhost::VideoWriter writer(Path(name), 64, 48, {25, 1}, std::nullopt, deep);
      for (int n = 0; n < 3; ++n) writer.WriteFrame(deepFrame(channels, n));
      writer.Finish();
    }
    const lfhost::VideoInfo deepInfo = lfhost::ProbeVideo(Path(name));
    EXPECT_EQ(deepInfo.format.pixelFormat, pixelFormat);
    lfhost::VideoReader deepReader(Path(name), deepInfo, true);
    OIIO::ImageBuf got;
    for (int n = 0; n < 3; ++n) {
      ASSERT_TRUE(deepReader.ReadDeepFrame(got)) << name << n;
      EXPECT_EQ(OIIO::ImageBufAlgo::compare(got, deepFrame(channels, n), 0, 0).nfail, 0u) << name << " frame " << n;
    }
    EXPECT_FALSE(deepReader.ReadDeepFrame(got));
  }
}

// Each clip's depth decides the path; the output keeps the depth (10-bit
// H.264 where the container's codec replaces the input's), the rational rate,
// the frame count, the colour tags and the timecode; audio the container holds
// is copied, other audio re-encoded with a note. The first frame comes back
// within `meanError` (16-bit units); a deep read agrees with the 8-bit read
// within a step (the same matrix and range).
TEST_F(VideoIoTest, VideoKeepsDepthRateTagsTimecodeAndAudio) {
  struct Case { std::string make, input, output; bool deep; std::string facts, audio, note; int64_t meanError; };
  const std::string bt709 = " -colorspace bt709 -color_primaries bt709 -color_trc bt709 -color_range tv";
  const std::string pq = " -colorspace bt2020nc -color_primaries bt2020 -color_trc smpte2084 -color_range tv";
  const std::string tags709 = "|color_range=tv|color_space=bt709|color_transfer=bt709|color_primaries=bt709|";
  const std::string tagsPq = "|color_range=tv|color_space=bt2020nc|color_transfer=smpte2084|color_primaries=bt2020|";
  const std::string five = "r_frame_rate=30000/1001|nb_read_packets=5|tag:";
  const std::vector<Case> cases = {
      {"-c:v libx264 -pix_fmt yuv420p -timecode 10:00:00:00 -c:a aac" + bt709, "h8.mp4", "oh8.mov", false,
       "codec_name=h264|pix_fmt=yuv420p" + tags709 + five + "timecode=10:00:00:00", "aac", "", 380},
      // ProRes stores the tags its frames carry.
      {"-c:v prores_ks -profile:v hq -pix_fmt yuv422p10le -timecode 01:00:00:00 -c:a pcm_s24le -vf "
       "setparams=colorspace=bt709:color_primaries=bt709:color_trc=bt709:range=tv" + bt709, "p10.mov", "op10.mov", true,
       "codec_name=prores|pix_fmt=yuv422p10le" + tags709 + five + "timecode=01:00:00:00", "pcm_s24le", "", 64},
      {"-c:v ffv1 -pix_fmt yuv422p10le -timecode '00:59:59;28' -c:a flac" + pq, "f10.mkv", "of10.mp4", true,
       "codec_name=h264|pix_fmt=yuv420p10le" + tagsPq + five + "timecode=00:59:59;28", "aac",
       ": a .mp4 file cannot hold flac audio as it is; it is re-encoded as aac\n", 350},
      {"-c:v libx265 -x265-params log-level=error -pix_fmt yuv420p12le -timecode '01:00:00;02' -c:a libopus" + pq,
       "h12.mkv", "oh12.mkv", true, "codec_name=hevc|pix_fmt=yuv420p12le" + tagsPq + five + "TIMECODE=01:00:00;02",
       "opus", "", 200},
  };
  auto probe = [&](const std::string& name, const std::string& select, const std::string& entries) {
    std::istringstream lines(lftest::RunShell("ffprobe -v error -count_packets -select_streams " + select +
                                              " -show_entries " + entries + " -of compact=p=0 " +
                                              ShellQuote(Path(name))).out);
    std::string joined;
    for (std::string line; std::getline(lines, line);) joined += line.empty() ? "" : (joined.empty() ? "" : "|") + line;
    return joined;
  };
  auto firstFrame = [&](const std::string& name, bool deep) {
    lfhost::VideoReader reader(Path(name), lfhost::ProbeVideo(Path(name)), deep);
    OIIO::ImageBuf frame(OIIO::ImageSpec(64, 48, 4, OIIO::TypeDesc::UINT8));
    lfhost::ImageBuffer eight;
    EXPECT_TRUE(deep ? reader.ReadDeepFrame(frame) : reader.ReadFrame(eight)) << name;
    if (!deep) frame.set_pixels(frame.roi(), OIIO::TypeDesc::UINT8, eight.ToRGBA().data());
    return frame;
  };
  // Mean difference of R, G, B in 16-bit units.
  auto meanDifference = [](const OIIO::ImageBuf& a, const OIIO::ImageBuf& b) {
    return OIIO::ImageBufAlgo::compare(a, b, 1, 1, OIIO::ROI(0, 64, 0, 48, 0, 1, 0, 3)).meanerror * 65535;
  };
  for (const Case& c : cases) {
    lftest::RunTool("ffmpeg -v error -nostdin -f lavfi -i testsrc2=size=64x48:rate=30000/1001,gblur=sigma=12 -f lavfi "
                    "-i sine=duration=0.3 -frames:v 5 " + c.make + " " + ShellQuote(Path(c.input)));
    const lfhost::VideoInfo info = lfhost::ProbeVideo(Path(c.input));
    ASSERT_EQ(lfhost::IsDeepVideo(info.format), c.deep) << c.input;
    lfhost::VideoStyle style;
    style.like = info.format;
    style.alpha = false;
    style.deep = c.deep;
    testing::internal::CaptureStderr();
    {
      lfhost::VideoWriter writer(Path(c.output), info.width, info.height, info.frameRate,
                                 lfhost::AudioSource{Path(c.input), 0, std::nullopt}, style);
      lfhost::VideoReader reader(Path(c.input), info, c.deep);
      OIIO::ImageBuf deepFrame;
      lfhost::ImageBuffer frame;
      while (c.deep ? reader.ReadDeepFrame(deepFrame) : reader.ReadFrame(frame)) {
        c.deep ? writer.WriteFrame(deepFrame) : writer.WriteFrame(frame);
      }
      writer.Finish();
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.note.empty() ? "" : "lensflare: " + Path(c.output) + c.note);
    EXPECT_EQ(probe(c.output, "v:0", "stream=codec_name,pix_fmt,color_range,color_space,color_transfer,color_primaries,"
                                     "r_frame_rate,nb_read_packets:stream_tags=timecode:format_tags=timecode"),
              c.facts);
    EXPECT_EQ(probe(c.output, "a:0", "stream=codec_name"), "codec_name=" + c.audio) << c.input;
    const OIIO::ImageBuf in = firstFrame(c.input, c.deep);
    EXPECT_LE(meanDifference(in, firstFrame(c.output, c.deep)), c.meanError) << c.input;
    EXPECT_LE(c.deep ? meanDifference(in, firstFrame(c.input, false)) : 0, 257) << c.input;
  }
}

TEST_F(VideoIoTest, AbandonedOrFailedEncodesLeaveNothing) {
  {
    lfhost::VideoWriter writer(Path("gone.mp4"), 64, 48, {24, 1});
    writer.WriteFrame(lftest::PatternFrame(64, 48, 0));
    writer.Abandon();
  }
  {
    lfhost::VideoWriter writer(Path("dropped.mkv"), 64, 48, {24, 1});
    writer.WriteFrame(lftest::PatternFrame(64, 48, 0));
  }  // destroyed without Finish
  {
    // A cancel while ffmpeg encodes its last frames abandons the video.
    lfhost::VideoWriter writer(Path("cancelled.mp4"), 64, 48, {24, 1});
    writer.WriteFrame(lftest::PatternFrame(64, 48, 0));
    lfhost::CancelToken cancel;
    cancel.Request();
    EXPECT_FALSE(writer.Finish(&cancel));
  }
  {
    lfhost::VideoWriter writer(Path("wrong.mkv"), 64, 48, {24, 1});
    EXPECT_EQ(ErrorOf([&] { writer.WriteFrame(lftest::PatternFrame(32, 48, 0)); }),
              Path("wrong.mkv") + ": cannot encode the video (frame of 32x48 in a video of 64x48)");
  }
  EXPECT_EQ(Files(), std::vector<std::string>{});
}

// Stored samples that this process encodes and stores itself, with no ffmpeg
// beside it, go the same way: an abandoned, dropped or cancelled video, a
// frame of the wrong size, and a file that cannot grow (a full disk, here a
// file size limit) leave nothing, and the failure names the file.
TEST_F(VideoIoTest, AbandonedOrFailedStoresInProcessLeaveNothing) {
  lfhost::VideoStyle style;
  style.like.codec = "h264";
  style.like.pixelFormat = style.samples = "yuv420p";
  lfhost::VideoSamples frame(*lfhost::SampleLayout::Of("yuv420p"), {}, 64, 48);
  lfhost::VideoSamples small(*lfhost::SampleLayout::Of("yuv420p"), {}, 32, 48);
  std::mt19937 random(3);
  for (size_t i = 0; i < frame.size(); ++i) frame.data()[i] = static_cast<uint8_t>(random());
  enum class End { Abandon, Drop, Cancel, WrongSize, FileTooLarge };
  struct Case { const char* name; End end; std::string error; };
  const std::vector<Case> cases = {
      {"gone.mp4", End::Abandon, ""},
      {"dropped.mov", End::Drop, ""},
      {"cancelled.mkv", End::Cancel, ""},
      {"wrong.mp4", End::WrongSize, ": cannot encode the video (frame of 32x48 in a video of 64x48)"},
      {"full.mp4", End::FileTooLarge, ": cannot encode the video (file too large)"},
  };
  for (const Case& c : cases) {
    std::string error;
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit original = limit;
    const auto oldSignal = signal(SIGXFSZ, SIG_IGN);
    {
      lfhost::VideoWriter writer(Path(c.name), 64, 48, {24, 1}, std::nullopt, style);
      EXPECT_TRUE(writer.encodesInProcess()) << c.name;
      for (int i = 0; i < 30; ++i) writer.WriteSamples(frame);
      lfhost::CancelToken cancel;
      switch (c.end) {
        case End::Abandon: writer.Abandon(); break;
        case End::Drop: break;
        case End::Cancel:
          cancel.Request();
          EXPECT_FALSE(writer.Finish(&cancel)) << c.name;
          break;
        case End::WrongSize: error = ErrorOf([&] { writer.WriteSamples(small); }); break;
        case End::FileTooLarge:
          // The header is written; the frames, coded at Finish, are not.
          limit.rlim_cur = static_cast<rlim_t>(lftest::FileBytes(writer.temporaryPath()).size() + 512);
          setrlimit(RLIMIT_FSIZE, &limit);
          error = ErrorOf([&] { writer.Finish(); });
          setrlimit(RLIMIT_FSIZE, &original);
          break;
      }
    }
    signal(SIGXFSZ, oldSignal);
    EXPECT_EQ(error, c.error.empty() ? "" : Path(c.name) + c.error) << c.name;
    EXPECT_EQ(Files(), std::vector<std::string>{}) << c.name;
  }
}

// Unreadable files and unknown formats are in the command-line error table.
TEST_F(VideoIoTest, AFileWithoutPicturesIsNamed) {
  lftest::RunTool("ffmpeg -v error -nostdin -f lavfi -i sine=duration=0.2 " + ShellQuote(Path("sound.mkv")));
  EXPECT_EQ(ErrorOf([&] { lfhost::ProbeVideo(Path("sound.mkv")); }), Path("sound.mkv") + ": has no video stream");
}

}  // namespace

// Frames read as stored samples, one clip a row: a flare composited onto them
// changes only the luma of the pixels it reaches and the chroma samples that
// cover one, each within a code value of a floating-point composite, and the
// lossless codecs give back what was written. Rendered at brightness 0 by the
// tool, a lossless output keeps every sample and a lossy one scores the PSNR
// of ffmpeg's own re-encode with the same settings; alpha keeps its samples.
// Encoded in the tool's process, a video is the one ffmpeg's own encode of the
// same samples with the same settings writes: every packet, tag and time.
class StoredSamplesTest : public MediaTest {
 protected:
  // The decoded frames of a file as ffmpeg's per-frame checksums.
  std::string FrameSums(const std::string& name, const std::string& filter = "") {
    std::string sums;
    std::istringstream lines(lftest::RunShell("ffmpeg -v error -nostdin -i " + ShellQuote(Path(name)) + filter +
                                              " -f framemd5 -").out);
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty() && line[0] != '#') sums += line.substr(line.rfind(',') + 1) + "\n";
    }
    return sums;
  }
  double Psnr(const std::string& name, const std::string& reference) {
    const std::string out = lftest::RunShell("ffmpeg -v info -nostdin -i " + ShellQuote(Path(name)) + " -i " +
                                             ShellQuote(Path(reference)) + " -lavfi psnr -f null - 2>&1").out;
    const size_t at = out.rfind("average:");
    return at == std::string::npos ? -1 : std::atof(out.c_str() + at + 8);
  }
  // What ffprobe says of a video's container, streams and every packet (with
  // a checksum of its data), less the file's name.
  std::string Described(const std::string& name) {
    std::istringstream lines(lftest::RunShell("ffprobe -v error -show_format -show_streams -show_packets "
                                              "-show_data_hash md5 " + ShellQuote(Path(name))).out);
    std::string kept;
    for (std::string line; std::getline(lines, line);) kept += line.rfind("filename=", 0) == 0 ? "" : line + "\n";
    return kept;
  }
};

// A disc of flare, brighter towards its middle, over black: it reaches part of
// the frame only, and its edge falls inside chroma blocks.
lfhost::ImageBuffer FlareDisc(int32_t width, int32_t height) {
  lfhost::ImageBuffer layer(width, height);
  layer.Fill(255, 0, 0, 0);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      const int32_t d2 = (x - 41) * (x - 41) + (y - 13) * (y - 13);
      if (d2 >= 81) continue;
      layer.at(x, y, 1) = static_cast<uint8_t>(250 - 3 * d2);
      layer.at(x, y, 2) = static_cast<uint8_t>(180 - 2 * d2);
      layer.at(x, y, 3) = static_cast<uint8_t>(90 + d2);
    }
  }
  return layer;
}

// The composite worked out in double precision from the frame as read: each
// reached pixel to R', G', B' (luma with its block's chroma), screened, back to
// Y', Cb, Cr; a chroma sample moves by the mean change over its block.
lfhost::VideoSamples ReferenceComposite(const lfhost::VideoSamples& in, const lfhost::ImageBuffer& layer) {
  lfhost::VideoSamples out = in;
  const lfhost::SampleLayout& l = in.layout();
  const lfhost::SampleColour& k = in.colour();
  const double kg = 1 - k.kr - k.kb, max = l.maxValue();
  auto get = [&](int p, int x, int y) -> double {
    return l.bits > 8 ? in.row<uint16_t>(p, y)[x] : in.row<uint8_t>(p, y)[x];
  };
  auto put = [&](int p, int x, int y, double v) {
    v = std::clamp(std::nearbyint(v), 0.0, max);
    if (l.bits > 8) out.row<uint16_t>(p, y)[x] = static_cast<uint16_t>(v);
    else out.row<uint8_t>(p, y)[x] = static_cast<uint8_t>(v);
  };
  for (int cy = 0; cy < in.planeHeight(1); ++cy) {
    for (int cx = 0; cx < in.planeWidth(1); ++cx) {
      const double pb = (get(1, cx, cy) - k.chromaOffset) / k.chromaSpan, pr = (get(2, cx, cy) - k.chromaOffset) / k.chromaSpan;
      double dPb = 0, dPr = 0, n = 0;
      for (int y = cy << l.chromaShiftY; y < std::min((cy + 1) << l.chromaShiftY, in.height()); ++y) {
        for (int x = cx << l.chromaShiftX; x < std::min((cx + 1) << l.chromaShiftX, in.width()); ++x, ++n) {
          const double yv = (get(0, x, y) - k.lumaOffset) / k.lumaSpan;
          const double r = yv + 2 * (1 - k.kr) * pr, b = yv + 2 * (1 - k.kb) * pb, g = (yv - k.kr * r - k.kb * b) / kg;
          const double a[3] = {layer.at(x, y, 1) / 255.0, layer.at(x, y, 2) / 255.0, layer.at(x, y, 3) / 255.0};
          const double r2 = r + (1 - r) * a[0], g2 = g + (1 - g) * a[1], b2 = b + (1 - b) * a[2];
          const double y2 = k.kr * r2 + kg * g2 + k.kb * b2;
          if (a[0] + a[1] + a[2] > 0) put(0, x, y, y2 * k.lumaSpan + k.lumaOffset);
          dPb += (b2 - y2) / (2 * (1 - k.kb)) - pb;
          dPr += (r2 - y2) / (2 * (1 - k.kr)) - pr;
        }
      }
      if (dPb == 0 && dPr == 0) continue;
      put(1, cx, cy, get(1, cx, cy) + dPb / n * k.chromaSpan);
      put(2, cx, cy, get(2, cx, cy) + dPr / n * k.chromaSpan);
    }
  }
  return out;
}

TEST_F(StoredSamplesTest, FlareChangesOnlyTheSamplesItReachesAndBrightnessZeroKeepsThemAll) {
  // `container`: the extension the samples are also encoded into, where not
  // the input's; `inProcess`: whether the tool encodes them itself; `written`:
  // false for an input the tool reads but does not write.
  struct Case {
    std::string make, name;
    bool lossless;
    std::string reencode, container = "";
    bool inProcess = true, written = true;
  };
  const std::string ffv1 = "-c:v ffv1 -pix_fmt ";
  const std::vector<Case> cases = {
      {ffv1 + "yuv420p", "f420.mkv", true, ""},
      {ffv1 + "yuv422p", "f422.mkv", true, ""},
      {ffv1 + "yuv444p", "f444.mkv", true, ""},
      {ffv1 + "yuv420p10le", "f420x.mkv", true, ""},
      {ffv1 + "yuv422p10le", "f422x.mkv", true, ""},
      {ffv1 + "yuv444p10le -colorspace bt709 -color_range pc", "f444x.mkv", true, ""},
      // VP9 codes alpha beside its packets, where only ffmpeg's own encode keeps it.
      {ffv1 + "yuva420p", "f420a.mkv", true, "", ".webm", false},
      {"-c:v prores_ks -profile:v hq -pix_fmt yuv422p10le -timecode 01:00:00:00", "hq.mov", false,
       "-c:v prores_ks -profile:v hq -vendor apl0"},
      // Decoded at 12 bits and stored at 10, as ffmpeg's own encode changes the depth.
      {"-c:v prores_ks -profile:v 4444 -pix_fmt yuva444p10le -vf format=rgba,colorchannelmixer=aa=0.5:ar=0.5",
       "alpha.mov", false, "-c:v prores_ks -profile:v 4444 -vendor apl0", "", false},
      {"-c:v libx264 -pix_fmt yuv420p -timecode 10:00:00:00 -colorspace bt709 -color_primaries bt709 -color_trc bt709",
       "h264.mp4", false, "-c:v libx264 -crf 16 -preset medium"},
      // An MPEG program stream has no header: its streams are found by reading.
      {"-c:v mpeg2video -pix_fmt yuv420p", "m2v.mpg", false, "", "", true, false},
      {"-c:v libvpx-vp9 -pix_fmt yuv420p", "vp9.webm", false, "-c:v libvpx-vp9 -crf 20 -b:v 0"},
      {"-c:v libx265 -x265-params log-level=error -pix_fmt yuv420p10le", "hevc.mkv", false,
       "-c:v libx265 -crf 18 -preset medium -x265-params log-level=error", ".mp4"},
  };
  lfhost::FlareLayer exactLayer;
  exactLayer.exact = FlareDisc(64, 36);
  const lfhost::ImageBuffer& layer = exactLayer.exact;
  const lfhost::PlateLook look = lfhost::PlateLook::For(OIIO::TypeDesc::UINT16, std::nullopt, "");
  for (const Case& c : cases) {
    lftest::RunTool("ffmpeg -v error -nostdin -f lavfi -i testsrc2=size=64x36:rate=25 -frames:v 5 " + c.make + " " +
                    ShellQuote(Path(c.name)));
    const lfhost::VideoInfo info = lfhost::ProbeVideo(Path(c.name));
    ASSERT_TRUE(lfhost::CarriesStoredSamples(info.format)) << c.name;
    // Every frame, in order, as ffmpeg itself decodes it to raw samples.
    const std::string raw = lftest::RunShell("ffmpeg -v error -nostdin -i " + ShellQuote(Path(c.name)) +
                                             " -fps_mode passthrough -f rawvideo -").out;
    lfhost::VideoSamples in;
    {
      lfhost::VideoReader all(Path(c.name), info, lfhost::VideoReading::Samples);
      std::string decoded;
      while (all.ReadSamples(in)) decoded.append(reinterpret_cast<const char*>(in.data()), in.size());
      EXPECT_EQ(decoded.size(), 5 * in.size()) << c.name;
      EXPECT_TRUE(decoded == raw) << c.name;
    }
    if (!c.written) continue;
    lfhost::VideoReader reader(Path(c.name), info, lfhost::VideoReading::Samples);
    ASSERT_TRUE(reader.ReadSamples(in)) << c.name;
    EXPECT_EQ(in.layout().pixelFormat, info.format.pixelFormat);
    lfhost::VideoSamples flared = in;
    lfhost::CompositeFlare(flared, lfhost::AmountsOf(exactLayer, 0, look), lfhost::CompositeMode::Screen);
    // As the render composites: a band of rows at a time, the same samples.
    lfhost::VideoSamples banded = in;
    lfhost::CompositeFlare(banded, exactLayer, 0, look);
    EXPECT_EQ(std::memcmp(banded.data(), flared.data(), flared.size()), 0) << c.name;
    const lfhost::VideoSamples expected = ReferenceComposite(in, layer);
    int64_t changed = 0;
    for (int p = 0; p < in.layout().planes(); ++p) {
      for (int y = 0; y < in.planeHeight(p); ++y) {
        for (int x = 0; x < in.planeWidth(p); ++x) {
          auto at = [&](const lfhost::VideoSamples& s) -> int32_t {
            return s.layout().bits > 8 ? s.row<uint16_t>(p, y)[x] : s.row<uint8_t>(p, y)[x];
          };
          // Untouched samples are equal in the reference, so this holds them to identity.
          ASSERT_LE(std::abs(at(flared) - at(expected)), at(expected) == at(in) ? 0 : 1)
              << c.name << " plane " << p << " at " << x << "," << y;
          changed += at(flared) != at(in);
        }
      }
    }
    EXPECT_GT(changed, 100) << c.name;
    if (c.lossless) {
      lfhost::VideoStyle style;
      style.like = info.format;
      style.samples = info.format.pixelFormat;
      {
        lfhost::VideoWriter writer(Path("w" + c.name), 64, 36, info.frameRate, std::nullopt, style);
        writer.WriteSamples(flared);
        writer.Finish();
      }
      lfhost::VideoReader back(Path("w" + c.name), lfhost::ProbeVideo(Path("w" + c.name)), lfhost::VideoReading::Samples);
      lfhost::VideoSamples got;
      ASSERT_TRUE(back.ReadSamples(got)) << c.name;
      EXPECT_EQ(std::memcmp(got.data(), flared.data(), got.size()), 0) << c.name;
    }
    {
      const size_t dot = c.name.rfind('.');
      const std::string out = "e" + c.name.substr(0, dot) + (c.container.empty() ? c.name.substr(dot) : c.container);
      lfhost::VideoStyle style;
      style.like = info.format;
      style.alpha = lfhost::PixelFormatHasAlpha(info.format.pixelFormat);
      style.samples = info.format.pixelFormat;
      style.sampleAspect = {4, 3};
      {
        lfhost::VideoWriter writer(Path(out), 64, 36, info.frameRate, std::nullopt, style);
        EXPECT_EQ(writer.encodesInProcess(), c.inProcess) << out;
        lfhost::VideoReader all(Path(c.name), info, lfhost::VideoReading::Samples);
        for (lfhost::VideoSamples frame; all.ReadSamples(frame);) writer.WriteSamples(frame);
        ASSERT_TRUE(writer.Finish()) << out;
      }
      std::ofstream(Path("frames.raw"), std::ios::binary) << raw;
      std::string arguments;
      for (const std::string& a : lfhost::PlanEncoder(Path(out), 64, 36, style).EncodingArguments()) {
        arguments += " " + ShellQuote(a);
      }
      lftest::RunTool("ffmpeg -v error -nostdin -f rawvideo -pix_fmt " + info.format.pixelFormat + " -s 64x36 -framerate " +
                      info.frameRate.text() + " -i " + ShellQuote(Path("frames.raw")) + " -map 0:v:0" + arguments + " " +
                      ShellQuote(Path("f" + out)));
      EXPECT_EQ(Described(out), Described("f" + out)) << out;
      // Matroska and WebM files carry random identifiers; the others are whole.
      if (lfhost::ExtensionOf(out) != ".mkv" && lfhost::ExtensionOf(out) != ".webm") {
        EXPECT_TRUE(lftest::FileBytes(Path(out)) == lftest::FileBytes(Path("f" + out))) << out;
      }
    }
    // Through the tool at brightness 0.
    const auto r = lftest::RunCli({"render", Path(c.name), "-o", Path("z" + c.name), "--brightness", "0", "--quiet"}, dir_);
    ASSERT_EQ(r.status, 0) << r.err;
    if (c.lossless) {
      EXPECT_EQ(FrameSums("z" + c.name), FrameSums(c.name)) << c.name;
    } else {
      lftest::RunTool("ffmpeg -v error -nostdin -i " + ShellQuote(Path(c.name)) + " " + c.reencode + " " +
                      ShellQuote(Path("r" + c.name)));
      EXPECT_NEAR(Psnr("z" + c.name, c.name), Psnr("r" + c.name, c.name), 0.1) << c.name;
    }
    if (lfhost::PixelFormatHasAlpha(info.format.pixelFormat)) {
      EXPECT_EQ(FrameSums("z" + c.name, " -vf alphaextract"), FrameSums(c.name, " -vf alphaextract")) << c.name;
    }
  }
}

namespace {

// The composite's vectorised loop against its one-pixel-at-a-time loop: random
// samples under random flare (spans that start and end anywhere, pixels of no
// flare among them, amounts past full scale) give the same bytes, in every
// layout and both modes, at a width that leaves a tail after the last eight;
// and so does a layer (8-bit or full precision) read as it is against the
// amounts made of it.
TEST(SampleCompositeTest, VectorisedLoopGivesTheScalarLoopsBytes) {
  struct Case { const char* pixelFormat; const char* range; };
  const std::vector<Case> cases = {{"yuv420p", "tv"}, {"yuv422p", "tv"}, {"yuv444p", "pc"}, {"yuvj420p", "pc"},
                                   {"yuv420p10le", "tv"}, {"yuv422p10le", "tv"}, {"yuv444p12le", "pc"}};
  std::mt19937 random(7);
  auto uniform = [&](float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(random); };
  for (const Case& c : cases) {
    for (const lfhost::CompositeMode mode : {lfhost::CompositeMode::Screen, lfhost::CompositeMode::Add}) {
      const lfhost::SampleLayout layout = *lfhost::SampleLayout::Of(c.pixelFormat);
      lfhost::VideoSamples in(layout, *lfhost::SampleColour::Of(layout, "bt709", c.range), 77, 31);
      for (int p = 0; p < layout.planes(); ++p) {
        for (int y = 0; y < in.planeHeight(p); ++y) {
          for (int x = 0; x < in.planeWidth(p); ++x) {
            const int v = static_cast<int>(random() % static_cast<uint32_t>(layout.maxValue() + 1));
            if (layout.bits > 8) in.row<uint16_t>(p, y)[x] = static_cast<uint16_t>(v);
            else in.row<uint8_t>(p, y)[x] = static_cast<uint8_t>(v);
          }
        }
      }
      lfhost::FlareAmounts flare;
      flare.width = 77;
      flare.height = 31;
      for (int y = 0; y < 31; ++y) {
        const int32_t first = static_cast<int32_t>(random() % 60), end = y % 5 == 3 ? first : first + 1 + static_cast<int32_t>(random() % (77 - first));
        flare.spans.emplace_back(first, end);
        flare.starts.push_back(flare.rgb.size() / 3);
        for (int x = first; x < end; ++x) {
          const int kind = static_cast<int>(random() % 4);   // none, one channel, all, all past full scale
          for (int k = 0; k < 3; ++k) {
            flare.rgb.push_back(kind == 0 || (kind == 1 && k != 1) ? 0.0f : uniform(0.0f, kind == 3 ? 1.7f : 1.0f));
          }
        }
      }
      lfhost::VideoSamples scalar = in, vectorised = in;
      lfhost::CompositeFlare(scalar, flare, mode, false);
      lfhost::CompositeFlare(vectorised, flare, mode, true);
      const std::string what = std::string(c.pixelFormat) + (mode == lfhost::CompositeMode::Screen ? " screen" : " add");
      EXPECT_NE(std::memcmp(scalar.data(), in.data(), in.size()), 0) << what;
      EXPECT_EQ(std::memcmp(scalar.data(), vectorised.data(), in.size()), 0) << what;
      // An 8-bit layer read as it is, against its amounts made first: random
      // bytes in runs of black at either end, between and in one channel only.
      lfhost::FlareLayer layer;
      layer.exact = lfhost::ImageBuffer(77, 31);
      for (int y = 0; y < 31; ++y) {
        const int first = static_cast<int>(random() % 70), end = y % 7 == 2 ? first : first + static_cast<int>(random() % (78 - first));
        for (int x = first; x < end; ++x) {
          const int kind = static_cast<int>(random() % 4);   // black, green only, all, full
          for (int k = 1; k < 4; ++k) {
            layer.exact.at(x, y, k) = static_cast<uint8_t>(kind == 0 || (kind == 1 && k != 2) ? 0 : kind == 3 ? 255 : random() % 256);
          }
        }
      }
      // The same layer at full precision, its values past full scale too.
      lfhost::FlareLayer full;
      full.precision = lfhost::FlarePrecision::Full;
      full.full.width = 77;
      full.full.height = 31;
      full.full.rgb.assign(77 * 31 * 3, 0.0f);
      for (size_t i = 0; i < full.full.rgb.size(); ++i) {
        const int pixel = static_cast<int>(i / 3);
        const uint8_t byte = layer.exact.at(pixel % 77, pixel / 77, 1 + static_cast<int>(i % 3));
        full.full.rgb[i] = byte == 0 ? 0.0f : static_cast<float>(byte) / 150.0f;
      }
      const lfhost::PlateLook look = lfhost::PlateLook::For(OIIO::TypeDesc::UINT8, mode, "");
      const int32_t weight = static_cast<int32_t>(random() % 65536);
      for (const lfhost::FlareLayer* l : {&layer, &full}) {
        lfhost::VideoSamples fromAmounts = in, fromLayer = in;
        lfhost::CompositeFlare(fromAmounts, lfhost::AmountsOf(*l, weight, look), mode, false);
        lfhost::CompositeFlare(fromLayer, *l, weight, look);
        EXPECT_NE(std::memcmp(fromAmounts.data(), in.data(), in.size()), 0) << what;
        EXPECT_EQ(std::memcmp(fromAmounts.data(), fromLayer.data(), in.size()), 0) << what << " from the layer " << (l == &full);
      }
    }
  }
}

}  // namespace

namespace {

// An encoder holds a frame's samples after the frame is written; the reader may
// then fill the same frame with the next one. What is held must not change, and
// the frame must keep what it had.
TEST(VideoSamplesTest, SharedSamplesStayAsTheyWereWhenTheFrameIsWritten) {
  const lfhost::SampleLayout layout = *lfhost::SampleLayout::Of("yuv420p");
  lfhost::VideoSamples frame(layout, *lfhost::SampleColour::Of(layout, "bt709", "tv"), 64, 36);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(frame.data()) % 64, 0u);
  for (size_t i = 0; i < frame.size(); ++i) frame.data()[i] = static_cast<uint8_t>(i * 7);
  const std::vector<uint8_t> before(frame.data(), frame.data() + frame.size());
  std::shared_ptr<const uint8_t> held = frame.Share();
  EXPECT_TRUE(frame.shared());
  frame.row<uint8_t>(2, 17)[3] = 1;
  EXPECT_FALSE(frame.shared());
  EXPECT_EQ(std::memcmp(held.get(), before.data(), before.size()), 0);
  std::vector<uint8_t> expected = before;
  expected[static_cast<size_t>(frame.row<uint8_t>(2, 17) + 3 - frame.data())] = 1;
  EXPECT_EQ(std::memcmp(frame.data(), expected.data(), expected.size()), 0);
  lfhost::VideoSamples gone = std::move(frame);
  gone = lfhost::VideoSamples();
  EXPECT_EQ(std::memcmp(held.get(), before.data(), before.size()), 0);   // still held after the frame is gone
}

}  // namespace
