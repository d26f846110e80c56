// Video files through Debian's ffmpeg: ffprobe tells the size, frame count,
// frame rate and whether there is audio; ffmpeg decodes to, and encodes from,
// raw 8-bit A, R, G, B frames on a pipe, which is exactly the module's layout.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/cancel_token.h"
#include "host/image_buffer.h"
#include "host/subprocess.h"

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

struct VideoInfo {
  int32_t width = 0;
  int32_t height = 0;
  int64_t frameCount = 0;
  FrameRate frameRate;
  bool hasAudio = false;
};

// Extensions (with the dot, any case) taken as video input, and those we can
// write: .mp4/.m4v (H.264), .mov (ProRes 4444), .mkv (FFV1, lossless RGBA),
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
};

// Audio to carry into an output: the part of `path`'s first audio stream that
// starts at `startSeconds`, `durationSeconds` long (the whole rest if unset).
struct AudioSource {
  std::string path;
  double startSeconds = 0;
  std::optional<double> durationSeconds;
};

// Encodes frames into a video file. The file is written under a temporary name
// beside the target and renamed by Finish, so a failed or cancelled encode
// leaves nothing behind.
class VideoWriter {
 public:
  // Throws HostError naming the file for an unknown extension or if ffmpeg
  // cannot be started.
  VideoWriter(const std::string& path, int32_t width, int32_t height, FrameRate rate,
              std::optional<AudioSource> audio = std::nullopt);
  // Abandons the file unless Finish succeeded.
  ~VideoWriter();
  VideoWriter(const VideoWriter&) = delete;
  VideoWriter& operator=(const VideoWriter&) = delete;

  void WriteFrame(const ImageBuffer& frame);
  // Ends the stream, waits for ffmpeg and renames the file into place.
  void Finish();
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
