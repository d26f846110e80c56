#include "host/media/video_samples.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <tuple>
#include <utility>

namespace lfhost {
namespace {

// Freed frames' memory, kept for frames of the same size: a run holds a frame
// a slot in flight, and a machine has few slots.
constexpr size_t kKeptFrames = 8;
std::mutex keptMutex;
std::vector<FrameBytes> kept;

// A frame's bytes, unset: a kept buffer of exactly that size, else a new one.
FrameBytes TakeFrameBytes(size_t size) {
  {
    std::lock_guard<std::mutex> lock(keptMutex);
    for (auto it = kept.begin(); it != kept.end(); ++it) {
      if (it->size() != size) continue;
      FrameBytes bytes = std::move(*it);
      kept.erase(it);
      return bytes;
    }
  }
  return FrameBytes(size);
}

void GiveFrameBytes(FrameBytes&& bytes) noexcept {
  if (bytes.empty()) return;
  try {
    std::lock_guard<std::mutex> lock(keptMutex);
    // The oldest goes first: after a change of size it is the one of no use.
    if (kept.size() == kKeptFrames) kept.erase(kept.begin());
    kept.push_back(std::move(bytes));
  } catch (...) {
    // Nothing kept: the memory is simply freed.
  }
}

// The depth a format name ends with ("10le" after the "p"); 8 for none.
std::optional<int32_t> DepthSuffix(const std::string& rest) {
  if (rest.empty()) return 8;
  if (rest.size() < 3 || rest.compare(rest.size() - 2, 2, "le") != 0) return std::nullopt;
  const std::string digits = rest.substr(0, rest.size() - 2);
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  const int32_t bits = std::atoi(digits.c_str());
  if (bits <= 8 || bits > 16) return std::nullopt;
  return bits;
}

}  // namespace

std::optional<SampleLayout> SampleLayout::Of(const std::string& pixelFormat) {
  SampleLayout layout;
  layout.pixelFormat = pixelFormat;
  std::string rest;
  if (pixelFormat.rfind("gbrap", 0) == 0 || pixelFormat.rfind("gbrp", 0) == 0) {
    layout.rgb = true;
    layout.alpha = pixelFormat[3] == 'a';
    rest = pixelFormat.substr(layout.alpha ? 5 : 4);
  } else {
    for (const char* prefix : {"yuva", "yuvj", "yuv"}) {
      if (pixelFormat.rfind(prefix, 0) == 0) {
        rest = pixelFormat.substr(std::string(prefix).size());
        layout.alpha = prefix[3] == 'a';
        layout.fullRange = prefix[3] == 'j';
        break;
      }
    }
    // Luma pixels a chroma sample spans, across and down, as log2.
    static const std::pair<const char*, std::pair<int32_t, int32_t>> kSubsampling[] = {
        {"444p", {0, 0}}, {"422p", {1, 0}}, {"420p", {1, 1}}, {"440p", {0, 1}}, {"411p", {2, 0}}, {"410p", {2, 1}}};
    bool known = false;
    for (const auto& [name, shift] : kSubsampling) {
      if (rest.rfind(name, 0) == 0) {
        std::tie(layout.chromaShiftX, layout.chromaShiftY) = shift;
        rest = rest.substr(4);
        known = true;
        break;
      }
    }
    if (!known) return std::nullopt;
  }
  const std::optional<int32_t> bits = DepthSuffix(rest);
  if (!bits || (layout.fullRange && *bits != 8)) return std::nullopt;
  layout.bits = *bits;
  return layout;
}

std::optional<SampleColour> SampleColour::Of(const SampleLayout& layout, const std::string& matrix,
                                             const std::string& range) {
  SampleColour colour;
  const double max = layout.maxValue();
  if (layout.rgb) {
    colour.lumaSpan = colour.chromaSpan = max;
    return colour;
  }
  static const std::pair<const char*, std::pair<double, double>> kWeights[] = {
      {"bt709", {0.2126, 0.0722}}, {"smpte170m", {0.299, 0.114}}, {"bt470bg", {0.299, 0.114}},
      {"bt2020nc", {0.2627, 0.0593}}, {"smpte240m", {0.212, 0.087}}, {"fcc", {0.30, 0.11}}};
  bool known = false;
  for (const auto& [name, weights] : kWeights) {
    if (matrix == name) {
      std::tie(colour.kr, colour.kb) = weights;
      known = true;
    }
  }
  if (!known) return std::nullopt;
  const double step = static_cast<double>(1 << (layout.bits - 8));
  if (layout.fullRange || range == "pc") {
    colour.lumaSpan = colour.chromaSpan = max;
    colour.chromaOffset = static_cast<double>(1 << (layout.bits - 1));
  } else {
    colour.lumaOffset = 16 * step;
    colour.lumaSpan = 219 * step;
    colour.chromaOffset = 128 * step;
    colour.chromaSpan = 224 * step;
  }
  return colour;
}

bool CarriesStoredSamples(const VideoFormat& format) {
  const std::optional<SampleLayout> layout = SampleLayout::Of(format.pixelFormat);
  if (!layout || (layout->rgb && layout->bits == 8)) return false;
  return SampleColour::Of(*layout, format.matrix, format.range).has_value();
}

bool StoresSamplesOf(const std::string& stored, const std::string& samples) {
  const std::optional<SampleLayout> a = SampleLayout::Of(stored), b = SampleLayout::Of(samples);
  return a && b && a->rgb == b->rgb && a->alpha == b->alpha && a->fullRange == b->fullRange &&
         a->chromaShiftX == b->chromaShiftX && a->chromaShiftY == b->chromaShiftY;
}

VideoSamples::VideoSamples(const SampleLayout& layout, const SampleColour& colour, int32_t width, int32_t height)
    : layout_(layout), colour_(colour), width_(width), height_(height) {
  size_t at = 0;
  for (int32_t p = 0; p < layout_.planes(); ++p) {
    offsets_[p] = at;
    at += static_cast<size_t>(planeWidth(p)) * planeHeight(p) * layout_.sampleBytes();
  }
  Allocate(at);
}

void VideoSamples::Allocate(size_t size) {
  auto* bytes = new FrameBytes(TakeFrameBytes(size + kAlignment));
  bytes_.reset(bytes, [](FrameBytes* freed) {
    GiveFrameBytes(std::move(*freed));
    delete freed;
  });
  const auto address = reinterpret_cast<uintptr_t>(bytes->data());
  start_ = (kAlignment - address % kAlignment) % kAlignment;
  size_ = size;
}

VideoSamples::~VideoSamples() = default;

void VideoSamples::CopyShared() { *this = VideoSamples(std::as_const(*this)); }

VideoSamples::VideoSamples(const VideoSamples& other)
    : layout_(other.layout_), colour_(other.colour_), width_(other.width_), height_(other.height_) {
  std::copy(std::begin(other.offsets_), std::end(other.offsets_), offsets_);
  if (other.empty()) return;
  Allocate(other.size_);
  std::copy(other.data(), other.data() + size_, data());
}

VideoSamples& VideoSamples::operator=(const VideoSamples& other) {
  if (this != &other) *this = VideoSamples(other);
  return *this;
}

VideoSamples::VideoSamples(VideoSamples&& other) noexcept { *this = std::move(other); }

VideoSamples& VideoSamples::operator=(VideoSamples&& other) noexcept {
  if (this != &other) {
    layout_ = std::move(other.layout_);
    colour_ = other.colour_;
    width_ = other.width_;
    height_ = other.height_;
    std::copy(std::begin(other.offsets_), std::end(other.offsets_), offsets_);
    bytes_ = std::move(other.bytes_);
    start_ = other.start_;
    size_ = other.size_;
    other.start_ = other.size_ = 0;
    other.width_ = other.height_ = 0;
  }
  return *this;
}

int32_t VideoSamples::planeWidth(int32_t plane) const {
  if (plane != 1 && plane != 2) return width_;
  return -((-width_) >> layout_.chromaShiftX);   // rounded up, as ffmpeg sizes chroma planes
}

int32_t VideoSamples::planeHeight(int32_t plane) const {
  if (plane != 1 && plane != 2) return height_;
  return -((-height_) >> layout_.chromaShiftY);
}

}  // namespace lfhost
