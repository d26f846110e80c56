// Reading and writing frames with OpenImageIO: PNG, JPEG, TIFF, OpenEXR, DPX,
// to and from the module's A, R, G, B layout.
#pragma once

#include <string>

#include <OpenImageIO/paramlist.h>

#include "host/core/image_buffer.h"

namespace lfhost {

// Reads an image file into a frame. Grey becomes R = G = B; without an alpha
// channel alpha is 255. 8-bit files are taken as they are (an 8-bit RGBA PNG
// round-trips bit for bit); 16-bit (and other integer) samples become
// round(v x 255 / 65535); float and half samples are clamped to 0..1 and become
// round(v x 255), with no colour transform. Throws HostError naming the file if
// it cannot be read, is not a regular file, is wider or taller than 32767
// pixels, declares more pixels than its size can hold, or needs more memory to
// decode than is available: all found from the header, before any decoding.
ImageBuffer ReadImage(const std::string& path);
// The width and height an image file declares, after the same checks.
std::pair<int32_t, int32_t> ReadImageSize(const std::string& path);

// Writes a frame, choosing the format from the extension (.png .jpg .jpeg .tif
// .tiff .exr .dpx). PNG and TIFF get 8-bit RGBA, JPEG 8-bit RGB (no alpha),
// DPX 8-bit RGBA, OpenEXR half-float RGBA of v / 255. The file is encoded in
// memory and written whole (WriteFileWhole), so a failure leaves neither a partial
// file nor a damaged earlier one. Throws HostError naming the file and the reason.
void WriteImage(const ImageBuffer& image, const std::string& path);

// What an output keeps of its input image besides the pixels: its channels
// (RGB stays RGB, grey becomes RGB, alpha only where the input has one) and its
// header fields (ICC profile, EXIF with the orientation, DPX and EXR fields,
// timecode). The pixels themselves are never turned: the flare centre is in
// stored pixels.
struct ImageTraits {
  bool alpha = true;
  OIIO::ParamValueList metadata;
  std::string extension;     // of the input, lower case: colour-space fields only carry to the same format
  double pixelAspect = 0;    // stated pixel aspect ratio; 0 when the file says none
};

// The traits of an image file, from its header. Throws HostError naming the file.
ImageTraits ReadImageTraits(const std::string& path);

// WriteImage, storing the channels and header fields `traits` says.
void WriteImage(const ImageBuffer& image, const std::string& path, const ImageTraits& traits);

// Keeps image libraries from printing on standard error while it lives: read
// failures are reported once, by us, in one line. OpenImageIO's PNG reader lets
// libpng print "libpng error: ..." for a damaged file before it hands the error
// back, and has no setting to stop that, so file descriptor 2 points to an
// in-memory file meanwhile. A sanitizer that ends the process during a read
// still has its report copied to the real standard error. The stdio lock on
// stderr is held throughout, so other threads' messages wait for the decode
// instead of being lost.
class QuietImageLibraries {
 public:
  QuietImageLibraries() noexcept;
  ~QuietImageLibraries();
  QuietImageLibraries(const QuietImageLibraries&) = delete;
  QuietImageLibraries& operator=(const QuietImageLibraries&) = delete;

 private:
  int savedStderr_ = -1;
};

// True for an extension WriteImage knows (case-insensitive, with the dot).
bool IsWritableImageExtension(const std::string& extension);

}  // namespace lfhost
