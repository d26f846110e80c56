// How a video output is encoded: the codec, its settings and pixel format,
// the colour tags, and the conversion of the frames handed to ffmpeg into
// that pixel format, where they need one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/core/host_error.h"
#include "host/media/video_formats.h"

namespace lfhost {

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
  // The pixel format of the stored samples frames come as
  // (VideoWriter::WriteSamples); "" for frames of other kinds. They go to the
  // encoder as they are, or, where it stores them at another depth (ProRes
  // keeps 10 bits of what its decoder gives at 12), with the depth changed as
  // ffmpeg changes it in a re-encode of its own.
  std::string samples;
};

// An encoding option that cannot apply to this output (a usage mistake).
inline HostError ChoiceError(const std::string& message) { return UsageError(message); }

// What the encoder itself takes, in ffmpeg's own terms: the same settings
// whether ffmpeg encodes frames handed to it raw or this process encodes
// stored samples with libavcodec (SampleEncoder).
struct EncoderSettings {
  std::string encoder;       // "libx264", "prores_ks"
  std::string pixelFormat;   // what is stored
  // The encoder's options as ffmpeg's output options spell them ("-crf", "16",
  // "-profile:v", "hq"): each is an AVOption of the encoder or its context.
  std::vector<std::string> options;
  // The colour tags, likewise ("-colorspace", "bt709", "-color_range", "tv"):
  // the encoder stores them, and so does the container.
  std::vector<std::string> tags;
  FrameRate sampleAspect{0, 1};   // 0/1 for none
};

// What the container says beside the coded stream.
struct MuxingSettings {
  std::string tag;        // the stream's codec tag ("hvc1"); "" for the container's choice
  std::string timecode;   // of the first frame ("10:00:00:00"); "" for none
  bool faststart = false; // the index before the frames (MP4 and QuickTime)

  // As ffmpeg's output options: -tag:v, -timecode, -movflags.
  std::vector<std::string> Arguments() const;
};

struct EncoderPlan {
  std::string codec;   // as --codec names it
  EncoderSettings encoding;
  // For frames handed to ffmpeg raw: the filter that converts them into the
  // pixel format and sets their aspect and tags ("" for none), and whether it
  // scales between RGB and YUV or depths.
  std::string filter;
  bool scales = false;
  MuxingSettings muxing;
  // The coded stream loses nothing between two processes: false for VP9 with
  // alpha, which libvpx codes as a second stream beside each packet.
  bool travelsCoded = true;

  // ffmpeg's output arguments to encode frames handed over raw.
  std::vector<std::string> EncodingArguments() const;
  // ffmpeg's output arguments to store a stream coded elsewhere as it is, with
  // what ffmpeg's own encode would have said of it.
  std::vector<std::string> CopyArguments() const;
};

// How to encode a video of this size into `path`'s container. Codec, profile
// and pixel format follow `style.like` where the container and encoder take
// them. Throws ChoiceError naming the option for a choice the container or
// encoder cannot take.
EncoderPlan PlanEncoder(const std::string& path, int32_t width, int32_t height, const VideoStyle& style);

// The scaler flags of every conversion between YUV and RGB: the libraries'
// sample-exact path (full chroma, accurate rounding).
extern const char* const kScaleFlags;
// The scale filter's name for a matrix ffprobe names.
std::string ScaleMatrix(const std::string& matrix);
// The conversion of frames of more than 8 bits, by zimg (the zscale filter):
// `side` is "in" for the decoded picture's matrix and range, "" for the encoded
// one's; no matrix for RGB to RGB, which only changes depth.
std::string DeepConversion(const std::string& side, const std::string& matrix, const std::string& range);

}  // namespace lfhost
