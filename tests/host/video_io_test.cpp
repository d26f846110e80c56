// Video through ffmpeg: what ffprobe reports, a lossless round trip of A, R, G, B
// frames, temporary output until the end, and clear errors for what is not video.
#include <gtest/gtest.h>

#include "host/core/host_error.h"
#include "host/media/video_io.h"
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

  lfhost::VideoReader reader(path, info);
  lfhost::ImageBuffer frame;
  for (int n = 0; n < 5; ++n) {
    ASSERT_TRUE(reader.ReadFrame(frame)) << n;
    EXPECT_TRUE(lftest::SamePixels(frame, lftest::PatternFrame(64, 48, n, true))) << "frame " << n;
  }
  EXPECT_FALSE(reader.ReadFrame(frame));
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

// Unreadable files and unknown formats are in the command-line error table.
TEST_F(VideoIoTest, AFileWithoutPicturesIsNamed) {
  lftest::RunTool("ffmpeg -v error -nostdin -f lavfi -i sine=duration=0.2 " + ShellQuote(Path("sound.mkv")));
  EXPECT_EQ(ErrorOf([&] { lfhost::ProbeVideo(Path("sound.mkv")); }), Path("sound.mkv") + ": has no video stream");
}

}  // namespace
