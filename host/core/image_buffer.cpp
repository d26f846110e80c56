#include "host/core/image_buffer.h"

#include <cstring>
#include <string>

#include "host/core/host_error.h"

namespace lfhost {
namespace {
// Beyond this a side is certainly not a frame anyone meant; it also keeps
// rowBytes and every offset within 32 bits.
constexpr int32_t kLargestBufferSide = 1 << 20;
}  // namespace

int32_t ImageBuffer::RowBytesFor(int32_t width) {
  const int64_t packed = int64_t{4} * width;
  return static_cast<int32_t>((packed + 63) / 64 * 64 + 64);
}

ImageBuffer::ImageBuffer(int32_t width, int32_t height) {
  if (width <= 0 || height <= 0 || width > kLargestBufferSide || height > kLargestBufferSide) {
    throw HostError("cannot make a " + std::to_string(width) + "x" + std::to_string(height) + " frame");
  }
  const int32_t rowBytes = RowBytesFor(width);
  const size_t pixelBytes = static_cast<size_t>(rowBytes) * static_cast<size_t>(height);
  storageBytes_ = pixelBytes + 2 * kGuardBytes;
  storage_.reset(static_cast<uint8_t*>(AllocateFrameMemory(storageBytes_)));
  if (!storage_) {
    throw HostError("not enough memory for a " + std::to_string(width) + "x" + std::to_string(height) +
                    " frame");
  }
  std::memset(storage_.get(), kGuardValue, storageBytes_);
  world_.data = storage_.get() + kGuardBytes;
  world_.rowBytes = rowBytes;
  world_.width = width;
  world_.height = height;
  for (int32_t y = 0; y < height; ++y) std::memset(row(y), 0, static_cast<size_t>(width) * 4);
}

ImageBuffer::ImageBuffer(ImageBuffer&& other) noexcept { *this = std::move(other); }

ImageBuffer& ImageBuffer::operator=(ImageBuffer&& other) noexcept {
  if (this != &other) {
    storage_ = std::move(other.storage_);
    storageBytes_ = other.storageBytes_;
    world_ = other.world_;
    other.storageBytes_ = 0;
    other.world_ = PixelWorld{};
  }
  return *this;
}

ImageBuffer ImageBuffer::Clone() const {
  if (empty()) return ImageBuffer();
  ImageBuffer copy(width(), height());
  std::memcpy(copy.storage_.get(), storage_.get(), storageBytes_);
  return copy;
}

void ImageBuffer::Fill(uint8_t a, uint8_t r, uint8_t g, uint8_t b) {
  for (int32_t y = 0; y < height(); ++y) {
    uint8_t* p = row(y);
    for (int32_t x = 0; x < width(); ++x, p += 4) {
      p[0] = a;
      p[1] = r;
      p[2] = g;
      p[3] = b;
    }
  }
}

bool ImageBuffer::GuardsIntact() const {
  if (empty()) return true;
  auto allGuard = [](const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      if (p[i] != kGuardValue) return false;
    }
    return true;
  };
  const size_t packed = static_cast<size_t>(width()) * 4;
  if (!allGuard(storage_.get(), kGuardBytes)) return false;
  if (!allGuard(world_.data + static_cast<size_t>(rowBytes()) * height(), kGuardBytes)) return false;
  for (int32_t y = 0; y < height(); ++y) {
    if (!allGuard(row(y) + packed, static_cast<size_t>(rowBytes()) - packed)) return false;
  }
  return true;
}

std::vector<uint8_t> ImageBuffer::ToRGBA() const {
  std::vector<uint8_t> rgba(static_cast<size_t>(width()) * height() * 4);
  uint8_t* out = rgba.data();
  for (int32_t y = 0; y < height(); ++y) {
    const uint8_t* p = row(y);
    for (int32_t x = 0; x < width(); ++x, p += 4, out += 4) {
      out[0] = p[1];
      out[1] = p[2];
      out[2] = p[3];
      out[3] = p[0];
    }
  }
  return rgba;
}

ImageBuffer ImageBuffer::FromRGBA(const uint8_t* rgba, int32_t width, int32_t height) {
  ImageBuffer image(width, height);
  for (int32_t y = 0; y < height; ++y) {
    uint8_t* p = image.row(y);
    for (int32_t x = 0; x < width; ++x, p += 4, rgba += 4) {
      p[0] = rgba[3];
      p[1] = rgba[0];
      p[2] = rgba[1];
      p[3] = rgba[2];
    }
  }
  return image;
}

}  // namespace lfhost
