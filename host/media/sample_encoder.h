// Encodes stored samples in this process, with Debian's libavcodec, and hands
// the coded stream on as NUT (libavformat) through a byte sink: the pipe of an
// ffmpeg that stores it as it is (-c:v copy) beside the audio, the tags and the
// timecode. Raw frames then never cross the pipe, and ffmpeg has no raw video
// to take apart.
//
// The encoder is set up as ffmpeg sets up its own in a re-encode with the same
// settings (time base one frame, the settings as AVOptions, the tags on the
// context and on every frame, global headers, a thread a core), so the coded
// stream is the one ffmpeg itself writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "host/core/cancel_token.h"
#include "host/media/video_encoding.h"
#include "host/media/video_formats.h"
#include "host/media/video_samples.h"

namespace lfhost {

class SampleEncoder {
 public:
  // Takes the coded bytes in order; false when their reader went away.
  using Sink = std::function<bool(const uint8_t* bytes, size_t size)>;

  // Opens the encoder and writes the stream's header. Throws HostError with
  // the reason (no file name: the caller knows it) when the encoder refuses
  // the settings or the sink fails.
  SampleEncoder(const EncoderSettings& settings, int32_t width, int32_t height, FrameRate rate, Sink sink);
  ~SampleEncoder();
  SampleEncoder(const SampleEncoder&) = delete;
  SampleEncoder& operator=(const SampleEncoder&) = delete;

  // Encodes a frame of the settings' pixel format and size; what the encoder
  // gives back meanwhile goes to the sink. Throws HostError with the reason.
  void Encode(const VideoSamples& frame);
  // Drains the encoder and ends the stream. A cancel requested meanwhile stops
  // it: false. Throws HostError with the reason.
  bool Finish(const CancelToken* cancel = nullptr);

  struct State;   // the libraries' contexts, and what they said

 private:
  std::unique_ptr<State> state_;
};

}  // namespace lfhost
