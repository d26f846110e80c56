#include "host/media/video_reader.h"

#include <bit>
#include <cstring>
#include <stdexcept>

#include "host/core/host_error.h"
#include "host/media/files.h"
#include "host/media/video_encoding.h"

namespace lfhost {
namespace {

// Frames of more than 8 bits cross the pipe as ffmpeg's little-endian 16-bit formats.
static_assert(std::endian::native == std::endian::little);

// Where R, G, B, A are among ffmpeg's planes G, B, R, A.
constexpr int kPlaneOf[4] = {2, 0, 1, 3};

// Libraries' sample-exact YUV-RGB conversion: full chroma, accurate rounding.
// ffmpeg's planar gbrap (planes G, B, R, A) to and from the frame's A, R, G, B.
void PlanesToFrame(const uint8_t* planes, ImageBuffer& frame) {
  const size_t plane = static_cast<size_t>(frame.width()) * frame.height();
  for (int32_t y = 0; y < frame.height(); ++y) {
    const size_t at = static_cast<size_t>(y) * frame.width();
    uint8_t* p = frame.row(y);
    for (int32_t x = 0; x < frame.width(); ++x, p += 4) {
      p[0] = planes[3 * plane + at + x];
      p[1] = planes[2 * plane + at + x];
      p[2] = planes[at + x];
      p[3] = planes[plane + at + x];
    }
  }
}

// The filter and raw format a reader asks ffmpeg for.
std::pair<std::string, std::string> Decoding(const VideoFormat& format, VideoReading reading, bool& planar,
                                             int32_t& channels) {
  // YUV becomes RGB through the video's own matrix and range, into planar G,
  // B, R, A: swscale's packed 32-bit RGB output from YUV takes a less exact
  // path (white comes out as 253). RGB video comes packed, as A, R, G, B:
  // swscale shifts alpha by a pixel from packed to planar. Deep frames come as
  // 16-bit planes, alpha only where the video has it.
  const bool deep = reading == VideoReading::Deep;
  const bool yuv = IsYuvPixelFormat(format.pixelFormat);
  planar = deep || yuv;
  const bool alpha = !deep || PixelFormatHasAlpha(format.pixelFormat);
  channels = alpha ? 4 : 3;
  const std::string raw = !deep ? (planar ? "gbrap" : "argb") : alpha ? "gbrap16le" : "gbrp16le";
  const std::string filter =
      deep  ? DeepConversion("in", yuv ? format.matrix : "", format.range) + ",format=" + raw
      : yuv ? "scale=in_color_matrix=" + ScaleMatrix(format.matrix) + ":in_range=" + format.range + ",format=" + raw
            : "format=" + raw;
  return {filter, raw};
}

}  // namespace

VideoReader::VideoReader(const std::string& path, const VideoInfo& info, VideoReading reading)
    : path_(path), info_(info), reading_(reading) {
  if (reading == VideoReading::Samples && !CarriesStoredSamples(info.format)) {
    throw std::logic_error("VideoReader: samples of " + info.format.pixelFormat + " cannot be read as stored");
  }
  if (reading == VideoReading::Samples) {
    decoder_ = std::make_unique<VideoDecoder>(path);
    return;
  }
  const auto [filter, raw] = Decoding(info.format, reading, planar_, channels_);
  // Every decoded frame once, in stream order and unrotated, so frame n here is
  // frame n of the packets the probe counted.
  std::vector<std::string> argv = {"ffmpeg", "-v", "error", "-nostdin", "-noautorotate", "-i", path, "-map", "0:v:0",
                                   "-an", "-sn", "-dn", "-fps_mode", "passthrough"};
  argv.insert(argv.end(), {"-sws_flags", kScaleFlags, "-vf", filter, "-f", "rawvideo", "-pix_fmt", raw, "pipe:1"});
  ffmpeg_ = std::make_unique<Subprocess>(argv, false, true);
  packed_.resize(static_cast<size_t>(info.width) * info.height * channels_ * (reading == VideoReading::Deep ? 2 : 1));
}

VideoReader::~VideoReader() { Close(); }

void VideoReader::Close() {
  if (ffmpeg_) ffmpeg_->Kill();
  ffmpeg_.reset();
  decoder_.reset();
}

bool VideoReader::NextFrameBytes(uint8_t* into, size_t size) {
  if (!ffmpeg_) return false;
  const size_t got = ffmpeg_->ReadUpTo(into, size);
  if (got < size) {
    const int status = ffmpeg_->Wait();
    const std::string why = ffmpeg_->LastErrorLine();
    ffmpeg_.reset();
    if (status != 0 || got != 0) {
      throw HostError(path_ + ": cannot decode the video (" +
                      (why.empty() ? (got ? "it ends in the middle of a frame" : "ffmpeg failed") : why) + ")");
    }
    // ffmpeg runs with "-v error": a message from a decode that ended well is
    // damage it stepped over ("File ended prematurely").
    if (!why.empty()) ReportDamage(path_, why.rfind("[", 0) == 0 && why.find("] ") != std::string::npos
                                              ? why.substr(why.find("] ") + 2) : why);
    return false;
  }
  return true;
}

void VideoReader::Read(VideoReading expected) {
  if (reading_ != expected) throw std::logic_error("VideoReader: frames read otherwise than the reader was opened for");
}

bool VideoReader::ReadFrame(ImageBuffer& frame) {
  Read(VideoReading::Frames);
  if (!NextFrameBytes(packed_.data(), packed_.size())) return false;
  if (frame.width() != info_.width || frame.height() != info_.height) frame = ImageBuffer(info_.width, info_.height);
  if (planar_) {
    PlanesToFrame(packed_.data(), frame);
  } else {
    const size_t rowBytes = static_cast<size_t>(info_.width) * 4;
    for (int32_t y = 0; y < info_.height; ++y) std::memcpy(frame.row(y), packed_.data() + y * rowBytes, rowBytes);
  }
  return true;
}

bool VideoReader::ReadDeepFrame(OIIO::ImageBuf& frame) {
  Read(VideoReading::Deep);
  if (!NextFrameBytes(packed_.data(), packed_.size())) return false;
  const OIIO::ImageSpec& layout = frame.spec();
  if (layout.width != info_.width || layout.height != info_.height || layout.nchannels != channels_ || layout.x != 0 ||
      layout.y != 0 || layout.format != OIIO::TypeDesc::UINT16 || !frame.localpixels()) {
    frame.reset(OIIO::ImageSpec(info_.width, info_.height, channels_, OIIO::TypeDesc::UINT16));
  }
  OIIO::ROI roi = frame.roi();
  const size_t plane = static_cast<size_t>(info_.width) * info_.height * 2;
  for (int c = 0; c < channels_; ++c) {
    roi.chbegin = c;
    roi.chend = c + 1;
    frame.set_pixels(roi, OIIO::TypeDesc::UINT16, packed_.data() + kPlaneOf[c] * plane);
  }
  return true;
}

bool VideoReader::ReadSamples(VideoSamples& frame) {
  Read(VideoReading::Samples);
  const std::optional<SampleLayout> layout = SampleLayout::Of(info_.format.pixelFormat);
  // A frame still held by the encoder is not copied only to be overwritten.
  if (frame.empty() || frame.shared() || frame.layout().pixelFormat != layout->pixelFormat ||
      frame.width() != info_.width || frame.height() != info_.height) {
    frame = VideoSamples(*layout, *SampleColour::Of(*layout, info_.format.matrix, info_.format.range), info_.width,
                         info_.height);
  }
  if (!decoder_) return false;
  if (decoder_->Next(frame)) return true;
  decoder_.reset();
  return false;
}

}  // namespace lfhost
