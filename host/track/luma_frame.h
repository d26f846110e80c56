// The brightness a tracker looks at: the luma of a frame (0 to 255, weights
// 54 R + 183 G + 19 B over 256), read for a small rectangle at a time. A frame
// being read is looked at in place; a frame kept for later (to be tracked
// backward once the frames after it are done) is kept as a plane of one byte a
// pixel, a quarter of the frame.
#pragma once

#include <cstdint>
#include <vector>

#include "host/core/image_buffer.h"

namespace lftrack {

// Luma of the pixels of a rectangle that lie inside the frame; x0, y0 are frame
// coordinates of the first pixel.
struct Patch {
  int32_t x0 = 0, y0 = 0, width = 0, height = 0;
  std::vector<uint8_t> luma;   // rows top to bottom
  bool Contains(int32_t x, int32_t y) const { return x >= x0 && y >= y0 && x < x0 + width && y < y0 + height; }
  uint8_t At(int32_t x, int32_t y) const { return luma[static_cast<size_t>(y - y0) * width + (x - x0)]; }
  // The mean of the 3x3 pixels around (x, y) that lie in the patch: a single
  // hot grain pixel cannot pass for a light.
  double Mean3x3(int32_t x, int32_t y) const;
  // The median of all its pixels (0 for an empty patch).
  double Median() const;
  // The part of it within the square of half-side `radius` around (cx, cy).
  Patch Crop(int32_t cx, int32_t cy, int32_t radius) const;
};

class LumaFrame {
 public:
  // Reads `frame` where it is; it must outlive this view.
  static LumaFrame View(const lfhost::ImageBuffer& frame);
  // Keeps the whole frame's luma.
  static LumaFrame Copy(const lfhost::ImageBuffer& frame);

  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  // The pixels of the square of half-side `radius` around (cx, cy) (whole
  // pixels) that lie inside the frame.
  Patch Around(int32_t cx, int32_t cy, int32_t radius) const;

 private:
  const lfhost::ImageBuffer* frame_ = nullptr;
  std::vector<uint8_t> plane_;
  int32_t width_ = 0, height_ = 0;
};

}  // namespace lftrack
