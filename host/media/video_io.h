// Video files through Debian's ffmpeg: ffprobe tells the size, frame count,
// frame rate, whether there is audio and how the pictures are coded; ffmpeg
// decodes to, and encodes from, raw 8-bit frames on a pipe (packed A, R, G, B,
// the module's layout, or planar G, B, R, A where that converts more exactly),
// or, for video of more than 8 bits, 16-bit R, G, B(, A) frames held in an
// OpenImageIO buffer, so nothing is cut to 8 bits on the way.
// The YUV-RGB conversions both ways use the video's own matrix and range.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <OpenImageIO/imagebuf.h>

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

// The rates a video is written at: from one frame a minute to 1000 frames a
// second, which every container we write takes. Matroska and WebM time frames
// in milliseconds, so faster frames would share one time; MP4 and QuickTime
// refuse, or mistime, frames that last many minutes.
inline constexpr FrameRate kSlowestVideoRate{1, 60};
inline constexpr FrameRate kFastestVideoRate{1000, 1};
bool IsWritableFrameRate(const FrameRate& rate);

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
  // Bits a sample: the stream's own count where it states one, else its pixel
  // format's, whichever is more; 0 when neither is known.
  int32_t bits = 0;
};

// Bits a sample of a pixel format as ffmpeg lists it, its deepest component's:
// 8 for "yuv420p", 10 for "yuv422p10le", 16 for "rgba64le"; 0 for a name
// ffmpeg does not know.
int32_t PixelFormatBits(const std::string& pixelFormat);

// True for video of more than 8 bits a sample (10-bit ProRes, 12-bit HEVC):
// its frames are read and written at 16 bits (VideoReader's `deep`,
// VideoStyle::deep) rather than as the module's 8-bit frames.
bool IsDeepVideo(const VideoFormat& format);

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
// What ffprobe states of the first video stream (its size, rate, coding and
// colours) without reading its packets: no frame count or times, no check for
// damage or size. Throws HostError naming the file as ProbeVideo does.
VideoInfo ProbeVideoStreams(const std::string& path);

// Decodes the first video stream frame by frame, in order: as the module's
// 8-bit frames (ReadFrame), or, when `deep`, at 16 bits a sample (ReadDeepFrame).
class VideoReader {
 public:
  VideoReader(const std::string& path, const VideoInfo& info, bool deep = false);
  ~VideoReader();
  // The next frame into `frame` (of the video's size); false after the last.
  // Throws HostError naming the file if decoding fails or stops mid-frame.
  bool ReadFrame(ImageBuffer& frame);
  // The same for a deep reader: the next frame into `frame` as R, G, B, and A
  // where the pixel format has alpha, TypeDesc::UINT16, the video's size at
  // origin 0 (reallocated when it is not so already).
  bool ReadDeepFrame(OIIO::ImageBuf& frame);
  // Stops decoding early.
  void Close();

 private:
  bool NextFrameBytes();
  std::string path_;
  VideoInfo info_;
  std::unique_ptr<Subprocess> ffmpeg_;
  std::vector<uint8_t> packed_;
  bool planar_ = false;   // G, B, R(, A) planes rather than packed A, R, G, B
  bool deep_ = false;
  int32_t channels_ = 4;
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
  // Frames come as OIIO::ImageBuf (VideoWriter's deep WriteFrame) and are
  // stored at 10 bits or more: ProRes at 10, FFV1 at 16, H.264, HEVC and VP9 at
  // 10; or at the input's own pixel format where the output follows its codec
  // (12-bit HEVC stays 12-bit, 8-bit H.264 stays 8-bit).
  bool deep = false;
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
  // For a deep writer: a frame of R, G, B(, A) of any sample type, converted to
  // 16 bits (values beyond 0-1 clamp); opaque where it has no alpha.
  void WriteFrame(const OIIO::ImageBuf& frame);
  // Ends the stream, waits for ffmpeg to encode what it holds and renames the
  // file into place. A cancel requested meanwhile abandons the file: false.
  bool Finish(const CancelToken* cancel = nullptr);
  // Stops ffmpeg and removes the temporary file.
  void Abandon() noexcept;

  const std::string& temporaryPath() const { return temporary_; }

 private:
  [[noreturn]] void Fail(const std::string& why);
  void CheckFrame(int32_t width, int32_t height);
  void SendFrame();
  std::string path_;
  std::string temporary_;
  std::unique_ptr<RemoveOnSecondInterrupt> interruptMark_;
  int32_t width_, height_;
  std::unique_ptr<Subprocess> ffmpeg_;
  std::vector<uint8_t> packed_;
  bool deep_ = false;
  bool alpha_ = true;
  bool finished_ = false;
};

}  // namespace lfhost
