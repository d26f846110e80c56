#include "host/track/luma_frame.h"

#include <algorithm>
#include <array>

namespace lftrack {
namespace {

uint8_t Luma(const uint8_t* argb) {
  return static_cast<uint8_t>((54 * argb[1] + 183 * argb[2] + 19 * argb[3] + 128) >> 8);
}

class LumaHistogram {
 public:
  void Add(uint8_t v) {
    ++bins_[v];
    ++count_;
  }
  double Median() const {
    uint32_t below = 0;
    for (int v = 0; v < 255; ++v) {
      below += bins_[static_cast<size_t>(v)];
      if (2 * below >= count_) return v;
    }
    return 255;
  }

 private:
  std::array<uint32_t, 256> bins_{};
  uint32_t count_ = 0;
};

}  // namespace

double Patch::Mean3x3(int32_t x, int32_t y) const {
  int sum = 0, n = 0;
  for (int32_t dy = -1; dy <= 1; ++dy) {
    for (int32_t dx = -1; dx <= 1; ++dx) {
      if (Contains(x + dx, y + dy)) {
        sum += At(x + dx, y + dy);
        ++n;
      }
    }
  }
  return n ? static_cast<double>(sum) / n : 0;
}

double Patch::Median() const {
  if (luma.empty()) return 0;
  LumaHistogram h;
  for (uint8_t v : luma) h.Add(v);
  return h.Median();
}

Patch Patch::Crop(int32_t cx, int32_t cy, int32_t radius) const {
  Patch p;
  p.x0 = std::clamp(cx - radius, x0, x0 + width);
  p.y0 = std::clamp(cy - radius, y0, y0 + height);
  p.width = std::clamp(cx + radius + 1, x0, x0 + width) - p.x0;
  p.height = std::clamp(cy + radius + 1, y0, y0 + height) - p.y0;
  for (int32_t y = p.y0; y < p.y0 + p.height; ++y) {
    const auto row = luma.begin() + static_cast<std::ptrdiff_t>(y - y0) * width + (p.x0 - x0);
    p.luma.insert(p.luma.end(), row, row + p.width);
  }
  return p;
}

LumaFrame LumaFrame::View(const lfhost::ImageBuffer& frame) {
  LumaFrame f;
  f.frame_ = &frame;
  f.width_ = frame.width();
  f.height_ = frame.height();
  return f;
}

LumaFrame LumaFrame::Copy(const lfhost::ImageBuffer& frame) {
  LumaFrame f;
  f.width_ = frame.width();
  f.height_ = frame.height();
  f.plane_.resize(static_cast<size_t>(f.width_) * f.height_);
  for (int32_t y = 0; y < f.height_; ++y) {
    const uint8_t* row = frame.row(y);
    uint8_t* out = f.plane_.data() + static_cast<size_t>(y) * f.width_;
    for (int32_t x = 0; x < f.width_; ++x) out[x] = Luma(row + 4 * x);
  }
  return f;
}

Patch LumaFrame::Around(int32_t cx, int32_t cy, int32_t radius) const {
  Patch p;
  p.x0 = std::clamp(cx - radius, 0, width_);
  p.y0 = std::clamp(cy - radius, 0, height_);
  p.width = std::clamp(cx + radius + 1, 0, width_) - p.x0;
  p.height = std::clamp(cy + radius + 1, 0, height_) - p.y0;
  p.luma.resize(static_cast<size_t>(p.width) * p.height);
  uint8_t* out = p.luma.data();
  for (int32_t y = p.y0; y < p.y0 + p.height; ++y) {
    if (frame_) {
      const uint8_t* row = frame_->row(y);
      for (int32_t x = p.x0; x < p.x0 + p.width; ++x) *out++ = Luma(row + 4 * x);
    } else {
      out = std::copy_n(plane_.data() + static_cast<size_t>(y) * width_ + p.x0, p.width, out);
    }
  }
  return p;
}

}  // namespace lftrack
