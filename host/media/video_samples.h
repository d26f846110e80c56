// A video frame as its stream stores it: the planes of its own pixel format
// (luma and chroma at their own resolution, or G, B, R planes), at its own bit
// depth, with the matrix and range that give them colour. Frames travel this
// way from the decoder to the encoder, so a sample the flare does not reach is
// written back exactly as it was read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/core/frame_memory.h"
#include "host/media/video_formats.h"

namespace lfhost {

// How a planar pixel format lays out its samples: "yuv420p", "yuva444p10le",
// "yuvj422p", "gbrp12le". Samples of more than 8 bits are 16-bit little-endian
// words holding the value in their low bits.
struct SampleLayout {
  std::string pixelFormat;
  bool rgb = false;        // planes G, B, R (and A), as ffmpeg orders them
  bool alpha = false;      // a last plane of alpha
  bool fullRange = false;  // a "yuvj" format: full range whatever the stream says
  int32_t bits = 8;
  int32_t chromaShiftX = 0, chromaShiftY = 0;   // log2 of the luma pixels a chroma sample spans

  // The layout of a planar little-endian YUV or RGB format of 8 to 16 bits;
  // nothing for a packed, semi-planar, big-endian or grey format.
  static std::optional<SampleLayout> Of(const std::string& pixelFormat);
  int32_t planes() const { return alpha ? 4 : 3; }
  int32_t sampleBytes() const { return bits > 8 ? 2 : 1; }
  int32_t maxValue() const { return (1 << bits) - 1; }
};

// How stored values become R', G', B' (the colour the flare is screened onto):
// the luma weights of the matrix and the offsets and spans of the range.
struct SampleColour {
  double kr = 0.2126, kb = 0.0722;   // BT.709's; unused for RGB layouts
  double lumaOffset = 0, lumaSpan = 1, chromaOffset = 0, chromaSpan = 1;   // in code values

  // For samples of `layout` with this matrix and range (ffprobe's names);
  // nothing for a matrix whose luma is not a weighted sum of R', G', B' (constant
  // luminance BT.2020, YCgCo) or that is not known.
  static std::optional<SampleColour> Of(const SampleLayout& layout, const std::string& matrix, const std::string& range);
};

// True when frames of this format can be read, flared and written as stored
// samples: a planar layout (SampleLayout::Of) whose colour is known, other
// than 8-bit RGB, which the module takes as it is.
bool CarriesStoredSamples(const VideoFormat& format);

// True when an output of pixel format `stored` keeps samples of format
// `samples` as they are, or at another depth only: the same planes and
// subsampling, so no sample is resampled on the way.
bool StoresSamplesOf(const std::string& stored, const std::string& samples);

// A frame's bytes: in huge pages where they are large (frame_memory.h).
using FrameBytes = std::vector<uint8_t, FrameAllocator<uint8_t>>;

// A frame's samples. Their memory is taken from, and given back to, a small
// store of freed frames of the same size: a video's frames come and go at the
// frame rate, and fresh megabytes would be zeroed and faulted in page by page
// for every one. A frame's samples are unset until written (the decoder fills
// them whole). The first plane starts on a 64-byte boundary, as libavcodec
// aligns its own frames, so an encoder can take the samples where they are.
class VideoSamples {
 public:
  // Where the first plane starts: on a multiple of this many bytes.
  static constexpr size_t kAlignment = 64;
  VideoSamples() = default;
  VideoSamples(const SampleLayout& layout, const SampleColour& colour, int32_t width, int32_t height);
  ~VideoSamples();
  VideoSamples(const VideoSamples& other);
  VideoSamples& operator=(const VideoSamples& other);
  VideoSamples(VideoSamples&& other) noexcept;
  VideoSamples& operator=(VideoSamples&& other) noexcept;
  bool empty() const { return size_ == 0; }
  const SampleLayout& layout() const { return layout_; }
  const SampleColour& colour() const { return colour_; }
  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  // Plane 0 is luma (G for RGB); 1 and 2 chroma (B and R); 3 alpha.
  int32_t planeWidth(int32_t plane) const;
  int32_t planeHeight(int32_t plane) const;
  template <class T>
  T* row(int32_t plane, int32_t y) {
    Unshare();
    return const_cast<T*>(std::as_const(*this).row<T>(plane, y));
  }
  template <class T>
  const T* row(int32_t plane, int32_t y) const {
    return reinterpret_cast<const T*>(data() + offsets_[plane] + static_cast<size_t>(y) * planeWidth(plane) * sizeof(T));
  }
  // Every plane, one after another, as ffmpeg's raw video carries a frame.
  uint8_t* data() {
    Unshare();
    return const_cast<uint8_t*>(std::as_const(*this).data());
  }
  const uint8_t* data() const { return bytes_ ? bytes_->data() + start_ : nullptr; }
  size_t size() const { return size_; }
  // The samples, held unchanged for as long as the holder keeps them, even
  // after this frame is gone: an encoder that keeps frames in flight reads
  // them where they are. Writing to the frame while they are held (a reader
  // filling the same frame with the next one) first gives it samples of its own.
  std::shared_ptr<const uint8_t> Share() const { return {bytes_, data()}; }
  bool shared() const { return bytes_.use_count() > 1; }

 private:
  SampleLayout layout_;
  SampleColour colour_;
  int32_t width_ = 0, height_ = 0;
  size_t offsets_[4] = {};
  // Back to the store of freed frames when the last holder lets go.
  std::shared_ptr<FrameBytes> bytes_;
  size_t start_ = 0, size_ = 0;   // the samples within `bytes_`
  void Allocate(size_t size);
  // Own copy of the samples, before a write, while another holds them.
  void Unshare() {
    if (shared()) CopyShared();
  }
  void CopyShared();
};

}  // namespace lfhost
