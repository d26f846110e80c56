// Host-owned frames as the module sees them: 8-bit A, R, G, B per pixel. Rows are
// padded (rowBytes = 4 x width rounded up to a multiple of 64, plus 64) so that a
// module assuming packed rows fails, and the whole buffer sits between guard
// bytes that worldPass verifies; row padding is guarded too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "host/core/frame_memory.h"
#include "shell/host_protocol.h"

namespace lfhost {

// Widest and tallest frame the module can take: it keeps sizes in 16 bits.
inline constexpr int32_t kMaxFrameSide = 32767;

class ImageBuffer {
 public:
  static constexpr size_t kGuardBytes = 64;
  static constexpr uint8_t kGuardValue = 0xD7;

  ImageBuffer() = default;
  // All pixels 0 (transparent black). Throws HostError for a size that is not
  // positive or is too large to allocate; sizes above kMaxFrameSide are allowed
  // here and refused when a render is asked for.
  ImageBuffer(int32_t width, int32_t height);
  ImageBuffer(ImageBuffer&&) noexcept;
  ImageBuffer& operator=(ImageBuffer&&) noexcept;
  ImageBuffer(const ImageBuffer&) = delete;
  ImageBuffer& operator=(const ImageBuffer&) = delete;
  ImageBuffer Clone() const;

  static int32_t RowBytesFor(int32_t width);

  int32_t width() const { return world_.width; }
  int32_t height() const { return world_.height; }
  int32_t rowBytes() const { return world_.rowBytes; }
  bool empty() const { return storage_ == nullptr; }

  uint8_t* row(int32_t y) { return world_.data + static_cast<size_t>(y) * world_.rowBytes; }
  const uint8_t* row(int32_t y) const { return world_.data + static_cast<size_t>(y) * world_.rowBytes; }
  // Byte `channel` (0 alpha, 1 red, 2 green, 3 blue) of pixel (x, y).
  uint8_t& at(int32_t x, int32_t y, int channel) { return row(y)[static_cast<size_t>(x) * 4 + channel]; }
  uint8_t at(int32_t x, int32_t y, int channel) const { return row(y)[static_cast<size_t>(x) * 4 + channel]; }

  PixelWorld* world() { return &world_; }
  const PixelWorld* world() const { return &world_; }

  void Fill(uint8_t a, uint8_t r, uint8_t g, uint8_t b);
  // True while nothing was written before, after, or between the rows.
  bool GuardsIntact() const;

  // Packed R, G, B, A rows, top to bottom (what image files and checksums use).
  std::vector<uint8_t> ToRGBA() const;
  static ImageBuffer FromRGBA(const uint8_t* rgba, int32_t width, int32_t height);

 private:
  std::unique_ptr<uint8_t[], FreeFrame> storage_;
  size_t storageBytes_ = 0;
  PixelWorld world_{};
};

}  // namespace lfhost
