// Encodes stored samples in this process, with Debian's libavcodec, and either
// stores the coded stream in the video file itself (libavformat) or hands it on
// as NUT through a byte sink: the pipe of an ffmpeg that stores it as it is
// (-c:v copy) beside the audio. Raw frames then never cross a pipe, and a
// video without audio needs no second process at all.
//
// The encoder is set up as ffmpeg sets up its own in a re-encode with the same
// settings (time base one frame, the settings as AVOptions, the tags on the
// context and on every frame, global headers, a thread a core), so the coded
// stream is the one ffmpeg itself writes; the file is stored as ffmpeg stores
// its own encode, to the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

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
  // The same, stored into the file at `path` (created or truncated), in the
  // container its extension names, with what `muxing` says beside the stream.
  SampleEncoder(const EncoderSettings& settings, int32_t width, int32_t height, FrameRate rate, const std::string& path,
                const MuxingSettings& muxing);
  ~SampleEncoder();
  SampleEncoder(const SampleEncoder&) = delete;
  SampleEncoder& operator=(const SampleEncoder&) = delete;

  // Encodes a frame of the settings' pixel format and size; what the encoder
  // gives back meanwhile goes to the sink. Throws HostError with the reason.
  void Encode(const VideoSamples& frame);
  // Drains the encoder and ends the stream (a file is complete and closed,
  // but not synced). A cancel requested meanwhile stops it: false. Throws
  // HostError with the reason.
  bool Finish(const CancelToken* cancel = nullptr);

  struct State;   // the libraries' contexts, and what they said

 private:
  // The encoder opened, the stream not yet: what both public constructors share.
  SampleEncoder(const EncoderSettings& settings, int32_t width, int32_t height, FrameRate rate);
  std::unique_ptr<State> state_;
};

}  // namespace lfhost
