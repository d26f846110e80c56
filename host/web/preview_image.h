// What the preview does with a rendered frame before it leaves the server: an
// optional shrink for a quick look while the user drags, and PNG encoding. The
// module always renders the full frame; shrinking only ever follows rendering.
#pragma once

#include <cstdint>
#include <string>

#include "host/core/image_buffer.h"

namespace lfweb {

// `image` as 8-bit RGBA PNG file bytes (bit-exact: reading it back gives the
// same R, G, B, A). `compressionLevel` is zlib's 0..9.
std::string EncodePng(const lfhost::ImageBuffer& image, int compressionLevel);

// The picture the page shows: the same exact PNG, its pixels stored
// uncompressed. Deflating a grainy 1920x1080 plate took several times longer
// than rendering it; stored, it costs little more than copying the pixels, and
// on this machine's own network the larger file costs almost nothing to send.
std::string EncodePagePicture(const lfhost::ImageBuffer& image);

// The PNG a download is: the same pixels packed smaller, for keeping.
std::string EncodeDownloadPng(const lfhost::ImageBuffer& image);

// The image reduced to at most `maxWidth` pixels wide, keeping its aspect ratio,
// each output pixel the rounded mean of the source pixels its box covers (the
// boxes tile the source exactly). An image no wider than maxWidth comes back as
// an unchanged copy.
lfhost::ImageBuffer ShrinkToWidth(const lfhost::ImageBuffer& image, int32_t maxWidth);

}  // namespace lfweb
