// Reading and writing frames with OpenImageIO: PNG, JPEG, TIFF, OpenEXR, DPX,
// to and from the module's A, R, G, B layout.
#pragma once

#include <array>
#include <optional>
#include <string>

#include <OpenImageIO/color.h>
#include <OpenImageIO/imagebuf.h>
#include <OpenImageIO/paramlist.h>

#include "host/core/image_buffer.h"
#include "host/media/media_frame.h"

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

// The header of an image file's first part, after the checks ReadImage makes
// (its width and height those of its data window, read at 8 bits).
OIIO::ImageSpec ReadImageHeader(const std::string& path);
// The sample type of a header's colour (its red channel's, or the first's).
OIIO::TypeDesc ColourSampleType(const OIIO::ImageSpec& header);
// Half, float or double. Inline, unlike TypeDesc's own test, because the tool
// loads the image library only when a job first calls into it
// (host/cli/image_library_loader.cpp) and a video render never needs to.
inline bool IsFloatingSamples(OIIO::TypeDesc type) {
  return type.basetype == OIIO::TypeDesc::HALF || type.basetype == OIIO::TypeDesc::FLOAT ||
         type.basetype == OIIO::TypeDesc::DOUBLE;
}
// The red, green and blue channels of a part: those named R, G and B, else the
// first three (or the one grey channel three times).
std::array<int, 3> ColourChannels(const OIIO::ImageSpec& layout);

// Reads every part of an image file at its own precision: all channels, the
// data and display windows, the header fields. The part named `partName` (its
// "oiio:subimagename"; the first when empty) is the one to flare; its display
// window must be 1 to 32767 pixels either way, and when it is grey (one
// channel, or grey and alpha) it is made R, G, B (and alpha). Samples are held
// in `atLeast` where that is wider than the file's. Throws HostError naming the
// file, for the reasons ReadImage does and for a part name that is not there.
Plate ReadPlate(const std::string& path, const std::string& partName = "", OIIO::TypeDesc atLeast = {});

// How a plate is written: its own sample types unless `depth` sets the flared
// part's colour and alpha; the pixel aspect ratio it states, when not its own;
// the colour space of its colour samples (empty: sRGB for integer samples,
// scene-linear for floating-point ones).
struct PlateWriting {
  std::optional<OIIO::TypeDesc> depth;
  std::optional<double> pixelAspect;
  std::string colourSpace;
  // A JPEG output's quality (1 to 100) over the one its input keeps; also
  // for 8-bit frames (WriteImage's ImageTraits::jpegQuality).
  std::optional<int> jpegQuality = {};
};

// The process's colour management: $OCIO's configuration, else OpenImageIO's
// built-in one (linear, sRGB, Rec709). Read once: reading a file is costly.
OIIO::ColorConfig& ColourConfig();
// The configuration's scene-linear space.
std::string SceneLinearSpace();

// Writes a plate as it was read: sample types, channels, windows, header fields
// and compression kept in the same format (every part of a multi-part file);
// into another format the flared part alone, in the sample type nearest its
// own the format stores, with the fields that mean the same there, and only
// R, G, B and alpha where the format holds no others. Integer samples are
// display-referred and floating-point ones scene-linear, so a flared part whose
// colour goes from one kind to the other is converted on the way: from its
// colour space to scene-linear, or from it to sRGB; the file records the space
// it now holds ("oiio:ColorSpace", and an OpenEXR's chromaticities). Alpha is
// never converted. A JPEG is written at the quality `how` gives, else at its
// input JPEG's (Plate::jpegQuality), else at 98. Written whole, as WriteImage
// writes. Throws HostError
// naming the file and the reason (an unknown colour space among them).
void WritePlate(const Plate& plate, const std::string& path, const PlateWriting& how = {});

// Writes a frame, choosing the format from the extension (.png .jpg .jpeg .tif
// .tiff .exr .dpx). PNG and TIFF get 8-bit RGBA, JPEG 8-bit RGB (no alpha) at
// quality 95,
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
  // The quality a JPEG output is written at: a JPEG input's own (JpegQualityOf),
  // so that its tables come back; none for other inputs (95).
  std::optional<int> jpegQuality;
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

// The channels an output file named `path` gets for a frame read from a file
// of `layout`: grey made RGB (grey and alpha RGBA), and only R, G, B and alpha
// (alpha only where the format holds it) in a format without room for more.
int OutputChannels(const OIIO::ImageSpec& layout, const std::string& path);

// Why an output file already there is not a finished frame: it cannot be read
// whole (empty, cut short, garbage), or is not `width` x `height` (its display
// window's size when `displayWindow`) with `channels` channels. Empty when it
// is one.
std::string UnfinishedOutput(const std::string& path, int width, int height, int channels, bool displayWindow);

// True for an extension WriteImage knows (case-insensitive, with the dot).
bool IsWritableImageExtension(const std::string& extension);
// True for .jpg and .jpeg (case-insensitive).
bool IsJpegExtension(const std::string& extension);

}  // namespace lfhost
