#include "host/core/builtin_frame.h"

#include <algorithm>
#include <cstdlib>

namespace lfhost {

ImageBuffer MakeDarkFrame(int32_t width, int32_t height) {
  ImageBuffer frame(width, height);
  // Top colour (14, 18, 30), bottom (3, 3, 6); up to 6 levels lighter at the
  // horizontal middle, falling off linearly to the sides.
  constexpr int kTop[3] = {14, 18, 30};
  constexpr int kBottom[3] = {3, 3, 6};
  constexpr int kMiddleLift = 6;
  const int64_t h = std::max(1, height - 1);
  const int64_t halfWidth = std::max(1, width / 2);
  for (int32_t y = 0; y < height; ++y) {
    uint8_t* p = frame.row(y);
    for (int32_t x = 0; x < width; ++x, p += 4) {
      const int64_t lift = kMiddleLift * (halfWidth - std::min<int64_t>(halfWidth, std::llabs(x - halfWidth))) / halfWidth;
      p[0] = 255;
      for (int c = 0; c < 3; ++c) {
        p[1 + c] = static_cast<uint8_t>((kTop[c] * (h - y) + kBottom[c] * y) / h + lift);
      }
    }
  }
  return frame;
}

}  // namespace lfhost
