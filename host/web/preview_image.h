// What the preview does with a rendered frame before it leaves the server: an
// optional shrink for a quick look while the user drags, and PNG encoding. The
// module always renders the full frame; shrinking only ever follows rendering.
#pragma once

#include <cstdint>
#include <string>

#include "host/core/image_buffer.h"

namespace lfweb {

// `image` as 8-bit RGBA PNG file bytes (bit-exact: reading it back gives the
// same R, G, B, A). `compressionLevel` is zlib's 0..9: the preview uses low
// levels, since encoding a 1920x1080 frame at zlib's default level takes several
// times longer than rendering it.
std::string EncodePng(const lfhost::ImageBuffer& image, int compressionLevel);

// The image reduced to at most `maxWidth` pixels wide, keeping its aspect ratio,
// each output pixel the rounded mean of the source pixels its box covers (the
// boxes tile the source exactly). An image no wider than maxWidth comes back as
// an unchanged copy.
lfhost::ImageBuffer ShrinkToWidth(const lfhost::ImageBuffer& image, int32_t maxWidth);

}  // namespace lfweb
