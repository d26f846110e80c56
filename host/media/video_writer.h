// Encodes frames into a video file through Debian's ffmpeg: the module's 8-bit
// frames, 16-bit frames of a deep render, or stored samples (WriteSamples) go
// to it raw on a pipe; stored samples already in the pixel format the output
// stores are encoded in this process instead (SampleEncoder) and stored there
// too, or, where audio goes beside them, handed to ffmpeg coded to store as
// they are.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <OpenImageIO/imagebuf.h>

#include "host/core/cancel_token.h"
#include "host/core/image_buffer.h"
#include "host/media/sample_encoder.h"
#include "host/media/subprocess.h"
#include "host/media/video_encoding.h"
#include "host/media/video_samples.h"

namespace lfhost {

// The file is written under a temporary name beside the target and renamed by
// Finish, so a failed or cancelled encode leaves nothing behind.
//
// Audio is copied as it is coded where the container holds that codec, and
// re-encoded to suit the container otherwise, with a note on stderr.
class VideoWriter {
 public:
  // Throws HostError naming the file for an unknown extension or if ffmpeg
  // cannot be started, ChoiceError for a choice in `style` the output cannot take.
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
  // For a writer of samples (VideoStyle::samples): a frame in that pixel
  // format, encoded as it is.
  void WriteSamples(const VideoSamples& frame);
  // Ends the stream, waits for the encoder (and ffmpeg) to finish what they
  // hold and renames the file into place. A cancel requested meanwhile abandons the file: false.
  bool Finish(const CancelToken* cancel = nullptr);
  // Stops the encoder and ffmpeg and removes the temporary file.
  void Abandon() noexcept;

  const std::string& temporaryPath() const { return temporary_; }
  // The pixel format the video stores.
  const std::string& pixelFormat() const { return plan_.encoding.pixelFormat; }
  // True when this process encodes the frames (and ffmpeg at most stores them).
  bool encodesInProcess() const { return encoder_ != nullptr; }

 private:
  [[noreturn]] void Fail(const std::string& why);
  void CheckFrame(int32_t width, int32_t height);
  void Send(const uint8_t* bytes, size_t size);
  // Runs a step of the in-process encoder; its failure, or ffmpeg's, fails the video.
  void Encoding(const std::function<void()>& step);
  std::string path_;
  std::string temporary_;
  std::unique_ptr<RemoveOnSecondInterrupt> interruptMark_;
  int32_t width_, height_;
  EncoderPlan plan_;
  std::unique_ptr<Subprocess> ffmpeg_;
  std::unique_ptr<SampleEncoder> encoder_;
  bool pipeClosed_ = false;   // ffmpeg stopped taking the coded stream
  std::vector<uint8_t> packed_;
  bool deep_ = false;
  std::string samples_;   // the pixel format of stored samples handed over
  bool alpha_ = true;
  bool finished_ = false;
};

}  // namespace lfhost
