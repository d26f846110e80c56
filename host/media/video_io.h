// Video files through Debian's ffmpeg: ffprobe tells the size, frame count,
// frame rate, whether there is audio and how the pictures are coded; ffmpeg
// decodes to, and encodes from, raw 8-bit frames on a pipe (packed A, R, G, B,
// the module's layout, or planar G, B, R, A where that converts more exactly).
// The YUV-RGB conversions both ways use the video's own matrix and range.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/core/cancel_token.h"
#include "host/core/host_error.h"
#include "host/core/image_buffer.h"
#include "host/media/subprocess.h"

namespace lfhost {

struct FrameRate {
  int64_t num = 24;
  int64_t den = 1;
  double value() const { return static_cast<double>(num) / static_cast<double>(den); }
  std::string text() const { return std::to_string(num) + "/" + std::to_string(den); }
};

// "24", "25/1", "30000/1001", "29.97" (the NTSC rates 23.976, 29.97, 59.94 are
// taken as n x 1000/1001); nothing for text that is not a positive rate.
std::optional<FrameRate> ParseFrameRate(const std::string& text);

// How a video's pictures are coded and what their colours mean, in ffprobe's
// and ffmpeg's own names; "" where the file does not say.
struct VideoFormat {
  std::string codec;         // "h264", "prores", "ffv1"
  std::string profile;       // "High", "HQ"
  std::string pixelFormat;   // "yuv420p", "yuv422p10le", "bgra"
  std::string matrix;        // color_space: "bt709", "smpte170m", "gbr"
  std::string primaries;     // color_primaries
  std::string transfer;      // color_transfer
  std::string range;         // color_range: "tv" or "pc"
  std::string timecode;      // of the first frame, "01:00:00:00" (";" before the frames when drop-frame)
};

// The YUV matrix and range a conversion uses for pictures of this format and
// height: the file's own where it names them, else the usual convention for
// untagged video (BT.709 from 720 lines up, BT.601 below; limited range unless
// the pixel format is a full-range "yuvj" one). Fills matrix and range.
VideoFormat WithColourDefaults(VideoFormat format, int32_t height);

// True for pixel formats that hold an alpha channel ("yuva420p", "bgra").
bool PixelFormatHasAlpha(const std::string& pixelFormat);

// The timecode `frames` frames after `timecode` at this rate ("01:00:00:00",
// or with ";" before the frames for drop-frame); unreadable text as it is.
std::string TimecodeAfter(const std::string& timecode, FrameRate rate, int64_t frames);

struct VideoInfo {
  int32_t width = 0;
  int32_t height = 0;
  int64_t frameCount = 0;
  FrameRate frameRate;
  bool hasAudio = false;
  VideoFormat format;        // colour defaults filled in
  FrameRate sampleAspect{0, 1};   // pixel aspect ratio (sample_aspect_ratio); 0/1 when unstated
  // For a variable-rate video, the shortest and longest time between two
  // frames, in seconds; nothing when the frames are evenly spaced.
  std::optional<std::pair<double, double>> frameGaps;
};

// Extensions (with the dot, any case) taken as video input, and those we can
// write: .mp4/.m4v (H.264 by default), .mov (ProRes), .mkv (FFV1, lossless),
// .webm (VP9).
bool IsVideoExtension(const std::string& extension);
bool IsWritableVideoExtension(const std::string& extension);

// Reads the first video stream's facts. Throws HostError naming the file when it
// is missing, not a video, or larger than the module takes.
VideoInfo ProbeVideo(const std::string& path);

// Decodes the first video stream frame by frame, in order.
class VideoReader {
 public:
  VideoReader(const std::string& path, const VideoInfo& info);
  ~VideoReader();
  // The next frame into `frame` (of the video's size); false after the last.
  // Throws HostError naming the file if decoding fails or stops mid-frame.
  bool ReadFrame(ImageBuffer& frame);
  // Stops decoding early.
  void Close();

 private:
  std::string path_;
  VideoInfo info_;
  std::unique_ptr<Subprocess> ffmpeg_;
  std::vector<uint8_t> packed_;
  bool planar_ = false;   // G, B, R, A planes rather than packed A, R, G, B
};

// Audio to carry into an output: the part of `path`'s first audio stream that
// starts at `startSeconds`, `durationSeconds` long (the whole rest if unset).
struct AudioSource {
  std::string path;
  double startSeconds = 0;
  std::optional<double> durationSeconds;
};

// What a video output is made like: the input video's coding and colour
// description (empty for a sequence or the built-in frame, which get the
// container's own codec), whether to keep alpha, and the user's choices.
struct VideoStyle {
  VideoFormat like;
  bool alpha = true;
  std::string codec;         // --codec: "h264", "hevc", "prores", "ffv1", "vp9"; "" follows the input
  std::string quality;       // --quality: a CRF for h264/hevc/vp9, a profile for ProRes
  std::string pixelFormat;   // --pix-fmt
  FrameRate sampleAspect{0, 1};   // the pixel aspect ratio to store; 0/1 for none
};

// An encoding option that cannot apply to this output (a usage mistake).
class ChoiceError : public HostError {
 public:
  using HostError::HostError;
};

// The ffmpeg output arguments that encode a video of this size in the container
// named by `extension`: codec, profile or quality, pixel format, the conversion
// from RGB, and colour tags. Codec, profile and pixel format follow `style.like`
// where the container and encoder take them. Throws ChoiceError naming the
// option for a choice the container or encoder cannot take.
std::vector<std::string> EncoderArguments(const std::string& path, int32_t width, int32_t height,
                                          const VideoStyle& style);

// Encodes frames into a video file. The file is written under a temporary name
// beside the target and renamed by Finish, so a failed or cancelled encode
// leaves nothing behind.
//
// Audio is copied as it is coded where the container holds that codec, and
// re-encoded to suit the container otherwise, with a note on stderr.
class VideoWriter {
 public:
  // Throws HostError naming the file for an unknown extension or if ffmpeg
  // cannot be started.
  VideoWriter(const std::string& path, int32_t width, int32_t height, FrameRate rate,
              std::optional<AudioSource> audio = std::nullopt, const VideoStyle& style = {});
  // Abandons the file unless Finish succeeded.
  ~VideoWriter();
  VideoWriter(const VideoWriter&) = delete;
  VideoWriter& operator=(const VideoWriter&) = delete;

  void WriteFrame(const ImageBuffer& frame);
  // Ends the stream, waits for ffmpeg to encode what it holds and renames the
  // file into place. A cancel requested meanwhile abandons the file: false.
  bool Finish(const CancelToken* cancel = nullptr);
  // Stops ffmpeg and removes the temporary file.
  void Abandon() noexcept;

  const std::string& temporaryPath() const { return temporary_; }

 private:
  [[noreturn]] void Fail(const std::string& why);
  std::string path_;
  std::string temporary_;
  std::unique_ptr<RemoveOnSecondInterrupt> interruptMark_;
  int32_t width_, height_;
  std::unique_ptr<Subprocess> ffmpeg_;
  std::vector<uint8_t> packed_;
  bool finished_ = false;
};

}  // namespace lfhost
