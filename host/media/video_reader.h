// Decodes a video's first stream frame by frame: as its stored samples,
// unconverted, in this process (ReadSamples, through VideoDecoder); or through
// Debian's ffmpeg, on a pipe of raw frames, as the module's 8-bit A, R, G, B
// frames (ReadFrame) or, for video of more than 8 bits, as 16-bit R, G, B(, A)
// frames in an OpenImageIO buffer (ReadDeepFrame). Conversions from YUV use the
// video's own matrix and range.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <OpenImageIO/imagebuf.h>

#include "host/core/image_buffer.h"
#include "host/media/subprocess.h"
#include "host/media/video_decoder.h"
#include "host/media/video_probe.h"
#include "host/media/video_samples.h"

namespace lfhost {

// How frames come out of a VideoReader.
enum class VideoReading { Frames, Deep, Samples };

class VideoReader {
 public:
  // Samples need a format that carries them (CarriesStoredSamples).
  VideoReader(const std::string& path, const VideoInfo& info, VideoReading reading = VideoReading::Frames);
  VideoReader(const std::string& path, const VideoInfo& info, bool deep)
      : VideoReader(path, info, deep ? VideoReading::Deep : VideoReading::Frames) {}
  ~VideoReader();
  // The next frame into `frame` (of the video's size); false after the last.
  // Throws HostError naming the file if decoding fails or stops mid-frame.
  bool ReadFrame(ImageBuffer& frame);
  // The same for a deep reader: the next frame into `frame` as R, G, B, and A
  // where the pixel format has alpha, TypeDesc::UINT16, the video's size at
  // origin 0 (reallocated when it is not so already).
  bool ReadDeepFrame(OIIO::ImageBuf& frame);
  // The same for a reader of samples: `frame` (reallocated when it is not of
  // the video's layout and size) holds the next frame's samples as stored.
  bool ReadSamples(VideoSamples& frame);
  // Stops decoding early.
  void Close();

 private:
  bool NextFrameBytes(uint8_t* into, size_t size);
  void Read(VideoReading expected);
  std::string path_;
  VideoInfo info_;
  VideoReading reading_;
  std::unique_ptr<Subprocess> ffmpeg_;
  std::unique_ptr<VideoDecoder> decoder_;   // for samples
  std::vector<uint8_t> packed_;
  bool planar_ = false;   // G, B, R(, A) planes rather than packed A, R, G, B
  int32_t channels_ = 4;
};

}  // namespace lfhost
