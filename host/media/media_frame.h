// One frame on its way from a source to a sink. An 8-bit RGB(A) frame travels
// as the module's own 8-bit world and is rendered onto directly. A video frame
// going to a video of the same pixel format travels as its stored samples and
// gets the flare composited onto them (sample_composite.h). A deeper plate
// (16-bit, half or float samples, 10-bit DPX) travels at its file's own
// precision, with every channel, window and header field, and gets the flare
// composited onto it by the host (plate_composite.h).
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <OpenImageIO/imagebuf.h>

#include "host/core/image_buffer.h"
#include "host/media/video_samples.h"

namespace lfhost {

// Every part of an image file (one for most formats, several for a multi-part
// OpenEXR). `headers` are the file's own: sample types (per channel where the
// file has them), windows, channel names, header fields. `parts` hold the
// samples, each in one type wide enough for all of its channels.
struct Plate {
  std::vector<OIIO::ImageSpec> headers;
  std::vector<OIIO::ImageBuf> parts;
  size_t flared = 0;            // the part the flare goes onto
  std::string extension;        // of the file read, lower case: header fields carry to the same format only
  std::optional<int> jpegQuality;   // a JPEG's own, which a JPEG output keeps (ImageTraits::jpegQuality)

  bool empty() const { return parts.empty(); }
  OIIO::ImageBuf& image() { return parts[flared]; }
  const OIIO::ImageBuf& image() const { return parts[flared]; }
  // The display window, in which the flare is placed.
  int32_t width() const { return image().spec().full_width; }
  int32_t height() const { return image().spec().full_height; }
};

struct MediaFrame {
  ImageBuffer image;   // an 8-bit frame, when `plate` and `samples` are empty
  Plate plate;
  VideoSamples samples;
  // The flare alone (FlarePass), when the render is asked for it as well.
  std::shared_ptr<MediaFrame> flare;
  // Either makes a frame as it stands, so sources hand out what they read.
  MediaFrame() = default;
  MediaFrame(ImageBuffer frame) : image(std::move(frame)) {}
  MediaFrame(Plate deep) : plate(std::move(deep)) {}
  MediaFrame(VideoSamples stored) : samples(std::move(stored)) {}
  bool deep() const { return !plate.empty(); }
  bool stored() const { return !samples.empty(); }
};

}  // namespace lfhost
