// Decodes a video's first stream in this process, with Debian's libavformat
// and libavcodec, as its stored samples: every decoded frame once, in the order
// the decoder gives them (presentation order), unrotated and unconverted, the
// planes copied as they are. A frame then costs the decoder's work and one copy,
// without a second process or a pipe between them.
#pragma once

#include <memory>
#include <string>

#include "host/media/video_samples.h"

namespace lfhost {

class VideoDecoder {
 public:
  // Opens `path` and its first video stream's decoder, with as many threads as
  // the machine has. Throws HostError "PATH: cannot decode the video (WHY)".
  explicit VideoDecoder(const std::string& path);
  ~VideoDecoder();
  VideoDecoder(const VideoDecoder&) = delete;
  VideoDecoder& operator=(const VideoDecoder&) = delete;

  // The next frame's samples into `frame`, whose layout and size must be the
  // decoded frame's; false after the last. A frame of another pixel format or
  // size throws HostError naming the file. Damage the decoder steps over (a
  // packet it cannot decode, a file cut short) is reported once, through
  // ReportDamage, when the stream ends.
  bool Next(VideoSamples& frame);

  struct State;   // the libraries' contexts, and what they said

 private:
  std::unique_ptr<State> state_;
};

}  // namespace lfhost
