#include "host/media/image_io.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numeric>
#include <optional>
#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/imageio.h>

#include "host/core/cancel_token.h"
#include "host/core/host_error.h"
#include "host/core/lowercase.h"
#include "host/media/files.h"
#include "host/media/jpeg_quality.h"
#include "host/media/memory_output.h"

namespace lfhost {
namespace {

namespace fs = std::filesystem;
using OIIO::TypeDesc;

// Source channels for R, G, B, A (-1: absent) from the file's layout.
struct ChannelMap {
  int r, g, b, a;
};

ChannelMap MapChannels(const OIIO::ImageSpec& header) {
  const int n = header.nchannels;
  int alpha = header.alpha_channel;
  if (alpha < 0 && (n == 2 || n >= 4)) alpha = n == 2 ? 1 : 3;
  if (n <= 2) return {0, 0, 0, alpha};
  return {0, 1, 2, alpha};
}

// Header fields that describe the file's own storage rather than the picture:
// the writer sets them for what it writes.
bool IsStorageField(const std::string& name, bool sameFormat) {
  static const char* const kStorage[] = {"oiio:BitsPerSample", "oiio:UnassociatedAlpha", "oiio:ColorSpace",
                                         "oiio:Gamma", "compression", "Compression", "CompressionQuality", "PixelAspectRatio",
                                         "dpx:ImageDescriptor", "dpx:Packing", "tiff:PhotometricInterpretation",
                                         "tiff:PlanarConfiguration", "tiff:Compression", "tiff:RowsPerStrip",
                                         "planarconfig", "jpeg:subsampling", "png:compressionLevel"};
  // A colour space, compression and chroma subsampling mean the same in the
  // same format only.
  if (sameFormat && (name == "oiio:ColorSpace" || name == "oiio:Gamma" || name == "compression" ||
                     name == "jpeg:subsampling")) {
    return false;
  }
  return std::find(std::begin(kStorage), std::end(kStorage), name) != std::end(kStorage);
}

// The lower-case extension of `path`, one for each format (.jpeg is .jpg,
// .tiff is .tif): fields that mean something in one format only carry
// between files of that format, whichever spelling each has.
std::string FormatExtension(const std::string& path) {
  const std::string extension = Lowercase(fs::path(path).extension().string());
  if (extension == ".jpeg") return ".jpg";
  if (extension == ".tiff") return ".tif";
  return extension;
}

// The quality a JPEG output keeps for an input read by `in`: a JPEG's own,
// read for each file, so that every frame of a sequence saved at qualities of
// its own keeps its own.
std::optional<int> KeptJpegQuality(const std::string& path, const OIIO::ImageInput& in) {
  if (std::string(in.format_name()) != "jpeg") return std::nullopt;
  return JpegQualityOf(path);
}

// The "Compression" field that writes a JPEG at `quality`.
std::string JpegCompression(int quality) { return "jpeg:" + std::to_string(quality); }

}  // namespace

ImageTraits ReadImageTraits(const std::string& path) {
  const QuietImageLibraries quiet;
  auto in = OIIO::ImageInput::open(path);
  if (!in) throw HostError(path + ": cannot read the image (" + OIIO::geterror() + ")");
  const OIIO::ImageSpec& header = in->spec();
  ImageTraits traits;
  traits.alpha = MapChannels(header).a >= 0;
  traits.metadata = header.extra_attribs;
  traits.extension = FormatExtension(path);
  traits.pixelAspect = header.get_float_attribute("PixelAspectRatio", 0.0f);
  traits.jpegQuality = KeptJpegQuality(path, *in);
  return traits;
}

bool IsWritableImageExtension(const std::string& extension) {
  const std::string e = Lowercase(extension);
  return e == ".png" || IsJpegExtension(e) || e == ".tif" || e == ".tiff" || e == ".exr" || e == ".dpx";
}

bool IsJpegExtension(const std::string& extension) {
  const std::string e = Lowercase(extension);
  return e == ".jpg" || e == ".jpeg";
}

namespace {

// While the libraries are quiet their standard error goes to gCapture; should a
// sanitizer end the process meanwhile (a memory error found inside a decoder),
// its report is there, and the death callback copies it to the real standard
// error, gSavedStderr, so that it is not lost.
std::atomic<int> gCapture{-1}, gSavedStderr{-1};

extern "C" void ForwardCapturedReport() {
  const int capture = gCapture.load(), saved = gSavedStderr.load();
  if (capture < 0 || saved < 0) return;
  char buffer[4096];
  off_t at = 0;
  for (ssize_t n; (n = pread(capture, buffer, sizeof buffer, at)) > 0; at += n) {
    if (write(saved, buffer, static_cast<size_t>(n)) != n) break;
  }
}

}  // namespace

// Present only when a sanitizer runtime is linked in.
extern "C" void __sanitizer_set_death_callback(void (*callback)(void)) __attribute__((weak));

QuietImageLibraries::QuietImageLibraries() noexcept {
  flockfile(stderr);
  std::fflush(stderr);
  static std::once_flag once;
  std::call_once(once, [] {
    if (__sanitizer_set_death_callback) __sanitizer_set_death_callback(&ForwardCapturedReport);
  });
  const int capture = memfd_create("lensflare-library-messages", MFD_CLOEXEC);
  if (capture < 0) return;
  savedStderr_ = fcntl(2, F_DUPFD_CLOEXEC, 3);
  if (savedStderr_ >= 0 && dup2(capture, 2) >= 0) {
    gSavedStderr = savedStderr_;
    gCapture = capture;
    return;
  }
  close(capture);
}

QuietImageLibraries::~QuietImageLibraries() {
  std::fflush(stderr);
  if (savedStderr_ >= 0) {
    dup2(savedStderr_, 2);
    const int capture = gCapture.exchange(-1);
    gSavedStderr = -1;
    if (capture >= 0) close(capture);
    close(savedStderr_);
  }
  funlockfile(stderr);
}

namespace {

// A library's reason for a failed read, on one line; some give none.
std::string ReadFailure(const std::string& why) {
  if (why.empty()) return "the file is damaged or cut short";
  std::string line;
  for (char c : why) line += c == '\n' ? std::string("; ") : std::string(1, c);
  return line;
}

// The bytes of memory free for new work, from the kernel's own estimate; none
// when it cannot be read.
std::optional<uint64_t> AvailableMemory() {
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  uint64_t kib = 0;
  while (meminfo >> key >> kib) {
    if (key == "MemAvailable:") return kib * 1024;
    meminfo.ignore(256, '\n');
  }
  return std::nullopt;
}

// An image opened as far as its header, after the checks that keep a hostile
// file from costing more than it could honestly need: a regular file (not a FIFO
// or device that would block or never end), pixels within the module's limit,
// a declared size its file could hold and memory to decode it.
struct OpenedImage {
  std::unique_ptr<OIIO::ImageInput> in;
  OIIO::ImageSpec header;
};

void CheckNotDeep(const std::string& path, const OIIO::ImageSpec& header) {
  if (header.deep) throw HostError(path + ": is a deep image (several samples per pixel), which cannot be read");
}

OpenedImage OpenImage(const std::string& path) {
  const off_t fileSize = CheckInputFile(path);
  // Pixels stay exactly as stored: no premultiplication by alpha on the way in.
  OIIO::ImageSpec config;
  config.attribute("oiio:UnassociatedAlpha", 1);
  OpenedImage image;
  image.in = OIIO::ImageInput::open(path, &config);
  if (!image.in) throw HostError(path + ": cannot read the image (" + ReadFailure(OIIO::geterror()) + ")");
  // Size, channel count, alpha channel and sample type are all that is read.
  const OIIO::ImageSpec& header = image.header = image.in->spec_dimensions(0);
  CheckNotDeep(path, header);
  if (header.width <= 0 || header.height <= 0 || header.nchannels <= 0) {
    throw HostError(path + ": the image has no pixels");
  }
  const std::string size = std::to_string(header.width) + "x" + std::to_string(header.height);
  if (header.width > kMaxFrameSide || header.height > kMaxFrameSide) {
    throw HostError(path + ": " + size + " is too large: at most 32767 pixels in either dimension");
  }
  // No image format compresses more than about 1:3000 (deflate stops near
  // 1:1032, TIFF's LZW near 1:2700); a header declaring far more pixels than its
  // file can hold is damaged or hostile.
  const uint64_t stored = static_cast<uint64_t>(header.width) * header.height * header.nchannels * header.format.size();
  if (stored / 100000 > static_cast<uint64_t>(fileSize)) {
    throw HostError(path + ": declares " + size + " pixels but the file holds only " + std::to_string(fileSize) +
                    " bytes: it is damaged");
  }
  // Decoding holds the samples (at most 4 bytes each) and the frame (4 bytes a pixel).
  const uint64_t pixels = static_cast<uint64_t>(header.width) * header.height;
  const uint64_t needed = pixels * header.nchannels * std::min<size_t>(header.format.size(), 4) + pixels * 4;
  if (const auto available = AvailableMemory(); available && needed > *available) {
    throw HostError(path + ": " + size + " needs " + std::to_string(needed >> 20) + " MiB to read, more than the " +
                    std::to_string(*available >> 20) + " MiB of memory available");
  }
  return image;
}

}  // namespace

namespace {

// The fewest bytes the image data of a DPX element can take: `samples` of
// `bits` each, 10- and 12-bit samples either packed end to end (packing 0) or
// filled into 32-bit words, three 10-bit or one 12-bit to each half word. Rows
// may add padding, never take less. Nothing when the layout is not one these
// rules cover (run-length coding, an unknown bit size).
std::optional<uint64_t> DpxElementBytes(uint64_t samples, uint32_t bits, uint32_t packing, uint32_t encoding) {
  if (encoding != 0) return std::nullopt;
  switch (bits) {
    case 1: return (samples + 31) / 32 * 4;
    case 8: case 16: case 32: case 64: return samples * bits / 8;
    case 10: case 12:
      if (packing == 0) return (samples * bits + 31) / 32 * 4;
      return bits == 10 ? (samples + 2) / 3 * 4 : samples * 2;
    default: return std::nullopt;
  }
}

// The channels of a DPX element by its descriptor; 0 for one not known.
uint32_t DpxDescriptorChannels(uint32_t descriptor) {
  if ((descriptor >= 1 && descriptor <= 8) || descriptor == 0) return 1;
  switch (descriptor) {
    case 50: case 101: case 102: return 3;
    case 51: case 52: case 103: return 4;
    case 100: return 2;
    default: return descriptor >= 150 && descriptor <= 156 ? descriptor - 148 : 0;
  }
}

// What the image library passes over in a DPX file: it reads the first image
// element whatever the header's element count says, trusts its data offset,
// and fills the rows of data a file cut short lacks with copies of earlier
// ones. Empty when the file is sound or is no DPX.
std::string DpxDamage(const std::string& path) {
  unsigned char h[812];
  std::ifstream file(path, std::ios::binary);
  if (!file.read(reinterpret_cast<char*>(h), sizeof h)) return "";
  const bool big = std::equal(h, h + 4, "SDPX"), little = std::equal(h, h + 4, "XPDS");
  if (!big && !little) return "";
  auto number = [&](size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= uint32_t{h[at + i]} << (8 * (big ? bytes - 1 - i : i));
    return v;
  };
  const uint32_t elements = number(770, 2), dataOffset = number(808, 4);
  if (elements < 1 || elements > 8) return "the DPX header lists " + std::to_string(elements) + " image elements";
  file.seekg(0, std::ios::end);
  const uint64_t fileSize = static_cast<uint64_t>(file.tellg());
  if (dataOffset >= fileSize) return "the DPX image data would start past the file's end";
  // The first element, the one read: width, height, descriptor, bit size,
  // packing and encoding.
  const uint64_t width = number(772, 4), height = number(776, 4);
  const auto bytes = DpxElementBytes(width * height * DpxDescriptorChannels(h[800]), h[803], number(804, 2), number(806, 2));
  if (!bytes || *bytes == 0 || height == 0 || fileSize - dataOffset >= *bytes) return "";
  const uint64_t held = fileSize - dataOffset, firstMissing = held * height / *bytes + 1;
  return "the image data stops after " + std::to_string(held) + " of its " + std::to_string(*bytes) + " bytes: " +
         (firstMissing == height ? "row " + std::to_string(height) + " is"
                                 : "rows " + std::to_string(firstMissing) + " to " + std::to_string(height) + " are") +
         " missing";
}

// A PNG cut short after its last image data still decodes whole, but the file
// has lost its end: walks the chunks to the closing IEND. Empty when the file
// is whole or is no PNG.
std::string PngDamage(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  unsigned char head[8];
  if (!file.read(reinterpret_cast<char*>(head), sizeof head) || !std::equal(head, head + 8, kSignature)) return "";
  file.seekg(0, std::ios::end);
  const uint64_t fileSize = static_cast<uint64_t>(file.tellg());
  for (uint64_t at = 8;;) {
    unsigned char chunk[8];
    file.seekg(static_cast<std::streamoff>(at));
    if (at + 8 > fileSize || !file.read(reinterpret_cast<char*>(chunk), sizeof chunk)) {
      return "the file ends before its closing IEND chunk";
    }
    const uint64_t length = uint64_t{chunk[0]} << 24 | uint64_t{chunk[1]} << 16 | uint64_t{chunk[2]} << 8 | chunk[3];
    const std::string type(reinterpret_cast<const char*>(chunk + 4), 4);
    at += 12 + length;
    if (at > fileSize) return "the file ends inside its " + type + " chunk";
    if (type == "IEND") return "";
  }
}

// What a read that succeeded passes over: a DPX or PNG file cut short.
std::string FileDamage(const std::string& path) {
  const std::string dpx = DpxDamage(path);
  return dpx.empty() ? PngDamage(path) : dpx;
}

// Opens `path` and lets `read(opened, damage)` decode it with the image
// libraries kept quiet; `read` adds to `damage` what a read that succeeded still
// complained of (a JPEG cut short is filled with grey, a TIFF strip past the
// file's end left empty), reported once the libraries may speak again.
template <class Read>
auto ReadWhole(const std::string& path, Read read) {
  std::string damage;
  auto result = [&] {
    const QuietImageLibraries quiet;
    OpenedImage opened = OpenImage(path);
    auto decoded = read(opened, damage);
    opened.in->close();
    if (damage.empty()) damage = FileDamage(path);
    return decoded;
  }();
  if (!damage.empty()) ReportDamage(path, damage);
  return result;
}

// A failed read says why; where the library gives no reason (a DPX cut
// short), what is missing is told.
void CheckRead(bool ok, const std::string& path, OIIO::ImageInput& in) {
  if (ok) return;
  std::string why = in.geterror();
  if (why.empty()) why = FileDamage(path);
  throw HostError(path + ": cannot read the image (" + ReadFailure(why) + ")");
}

ImageBuffer DecodeImage(const std::string& path, OpenedImage& opened) {
  const auto& in = opened.in;
  const OIIO::ImageSpec& header = opened.header;
  const ChannelMap map = MapChannels(header);
  const size_t n = static_cast<size_t>(header.nchannels);
  const size_t samples = static_cast<size_t>(header.width) * header.height * n;
  ImageBuffer image(header.width, header.height);

  // Conversion to 8 bits: 8-bit samples as they are; other integer depths go
  // through 16 bits and round(v x 255 / 65535); floats are clamped to 0..1 and
  // rounded from v x 255. No colour space is changed.
  auto store = [&](auto sampleToByte, const auto* data) {
    for (int y = 0; y < header.height; ++y) {
      uint8_t* p = image.row(y);
      const auto* s = data + static_cast<size_t>(y) * header.width * n;
      for (int x = 0; x < header.width; ++x, p += 4, s += n) {
        p[0] = map.a >= 0 ? sampleToByte(s[map.a]) : 255;
        p[1] = sampleToByte(s[map.r]);
        p[2] = sampleToByte(s[map.g]);
        p[3] = sampleToByte(s[map.b]);
      }
    }
  };
  bool ok;
  const TypeDesc::BASETYPE base = static_cast<TypeDesc::BASETYPE>(header.format.basetype);
  if (base == TypeDesc::UINT8) {
    std::vector<uint8_t> data(samples);
    ok = in->read_image(0, 0, 0, header.nchannels, TypeDesc::UINT8, data.data());
    if (ok) store([](uint8_t v) { return v; }, data.data());
  } else if (base == TypeDesc::HALF || base == TypeDesc::FLOAT || base == TypeDesc::DOUBLE) {
    std::vector<float> data(samples);
    ok = in->read_image(0, 0, 0, header.nchannels, TypeDesc::FLOAT, data.data());
    if (ok) {
      store([](float v) {
        const float c = std::isnan(v) ? 0.0f : std::clamp(v, 0.0f, 1.0f);
        return static_cast<uint8_t>(std::lround(c * 255.0f));
      }, data.data());
    }
  } else {
    std::vector<uint16_t> data(samples);
    ok = in->read_image(0, 0, 0, header.nchannels, TypeDesc::UINT16, data.data());
    if (ok) store([](uint16_t v) { return static_cast<uint8_t>((uint32_t{v} * 255 + 32767) / 65535); }, data.data());
  }
  CheckRead(ok, path, *in);
  return image;
}

// One type that holds every channel of a part exactly and that the composite
// works on: the file's own when all channels share it and it is unsigned
// 8, 16 or 32 bits, half, float or double; else float (which holds 8- and
// 16-bit integers and half exactly) or double (32-bit integers too); at least
// `atLeast`, and floating point when that is.
TypeDesc HeldType(const OIIO::ImageSpec& header, TypeDesc atLeast) {
  auto widen = [](TypeDesc held, TypeDesc t) {
    if (t == held) return held;
    return held.size() >= 4 || t.size() >= 4 ? TypeDesc(TypeDesc::DOUBLE) : TypeDesc(TypeDesc::FLOAT);
  };
  TypeDesc held = header.format;
  for (const TypeDesc& t : header.channelformats) held = widen(held, t);
  const bool composited = held == TypeDesc::UINT8 || held == TypeDesc::UINT16 || held == TypeDesc::UINT32 ||
                          held.is_floating_point();
  if (!composited) held = held.size() >= 4 ? TypeDesc::DOUBLE : TypeDesc::FLOAT;
  if (atLeast != TypeDesc::UNKNOWN && atLeast.size() > held.size()) held = atLeast;
  if (atLeast.is_floating_point() && !held.is_floating_point()) held = TypeDesc::FLOAT;
  return held;
}

// A part with neither red, green nor blue (grey, grey and alpha) as R, G, B (and
// A), the grey copied to all three, so the flare keeps its colour.
OIIO::ImageBuf AsColour(OIIO::ImageBuf grey) {
  const OIIO::ImageSpec& layout = grey.spec();
  if (layout.nchannels > 2 || layout.channelindex("R") >= 0) return grey;
  const bool alpha = layout.nchannels == 2;
  const std::vector<int> order = alpha ? std::vector<int>{0, 0, 0, 1} : std::vector<int>{0, 0, 0};
  std::vector<std::string> names = {"R", "G", "B"};
  if (alpha) names.push_back(layout.channelnames[1]);
  OIIO::ImageBuf colour;
  if (!OIIO::ImageBufAlgo::channels(colour, grey, static_cast<int>(order.size()), order.data(), nullptr, names.data())) {
    throw HostError("cannot make the grey image RGB (" + colour.geterror() + ")");
  }
  colour.specmod().alpha_channel = alpha ? 3 : -1;
  return colour;
}

}  // namespace

ImageBuffer ReadImage(const std::string& path) {
  return ReadWhole(path, [&](OpenedImage& opened, std::string& damage) {
    ImageBuffer image = DecodeImage(path, opened);
    damage = opened.in->geterror();
    return image;
  });
}

OIIO::ImageSpec ReadImageHeader(const std::string& path) {
  const QuietImageLibraries quiet;
  return OpenImage(path).in->spec();
}

TypeDesc ColourSampleType(const OIIO::ImageSpec& header) {
  const int red = std::max(0, header.channelindex("R"));
  return red < static_cast<int>(header.channelformats.size()) ? header.channelformats[red] : header.format;
}

Plate ReadPlate(const std::string& path, const std::string& partName, TypeDesc atLeast) {
  Plate plate = ReadWhole(path, [&](OpenedImage& opened, std::string& damage) {
    Plate read;
    OIIO::ImageInput& in = *opened.in;
    for (int part = 0; in.seek_subimage(part, 0); ++part) {
      OIIO::ImageSpec header = in.spec();
      CheckNotDeep(path, header);
      if (!partName.empty() && header.get_string_attribute("oiio:subimagename") == partName) read.flared = read.parts.size();
      OIIO::ImageSpec held = header;
      held.set_format(HeldType(header, atLeast));
      held.channelformats.clear();
      OIIO::ImageBuf samples(held);
      CheckRead(in.read_image(part, 0, 0, header.nchannels, held.format, samples.localpixels()), path, in);
      read.headers.push_back(std::move(header));
      read.parts.push_back(std::move(samples));
      damage += in.geterror();
    }
    // The failed look for a part after the last is not damage.
    (void)in.geterror();
    read.jpegQuality = KeptJpegQuality(path, in);
    return read;
  });
  if (!partName.empty() && plate.headers[plate.flared].get_string_attribute("oiio:subimagename") != partName) {
    std::string names;
    for (const auto& h : plate.headers) names += (names.empty() ? "" : ", ") + std::string(h.get_string_attribute("oiio:subimagename"));
    throw HostError(path + ": has no part named \"" + partName + "\"" +
                    (names.empty() ? std::string(" (it has no named parts)") : " (its parts: " + names + ")"));
  }
  const OIIO::ImageSpec& display = plate.headers[plate.flared];
  if (display.full_width > kMaxFrameSide || display.full_height > kMaxFrameSide || display.full_width <= 0 ||
      display.full_height <= 0) {
    throw HostError(path + ": its display window " + std::to_string(display.full_width) + "x" +
                    std::to_string(display.full_height) + " is not 1 to 32767 pixels in either dimension");
  }
  plate.image() = AsColour(std::move(plate.image()));
  if (OIIO::ImageSpec& header = plate.headers[plate.flared]; header.nchannels != plate.image().spec().nchannels) {
    const OIIO::ImageSpec& colour = plate.image().spec();
    header.format = ColourSampleType(header);
    header.channelformats.clear();
    header.nchannels = colour.nchannels;
    header.channelnames = colour.channelnames;
    header.alpha_channel = colour.alpha_channel;
  }
  plate.extension = FormatExtension(path);
  return plate;
}

int OutputChannels(const OIIO::ImageSpec& layout, const std::string& path) {
  const bool alpha = MapChannels(layout).a >= 0;
  const int channels = layout.nchannels <= 2 ? layout.nchannels + 2 : layout.nchannels;
  const auto writer = OIIO::ImageOutput::create(path);
  const bool alphaFits = writer && writer->supports("alpha");
  if (writer && writer->supports("nchannels") && (!alpha || alphaFits)) return channels;
  return std::min(channels, alpha && alphaFits ? 4 : 3);
}

std::string UnfinishedOutput(const std::string& path, int width, int height, int channels, bool displayWindow) {
  const std::string prefix = path + ": ";
  std::error_code ec;
  if (fs::file_size(path, ec) == 0 && !ec) return "an empty file";
  try {
    const QuietImageLibraries quiet;
    OpenedImage opened = OpenImage(path);
    const OIIO::ImageSpec& header = opened.in->spec();
    const int w = displayWindow ? header.full_width : header.width, h = displayWindow ? header.full_height : header.height;
    if (w != width || h != height) {
      return std::to_string(w) + "x" + std::to_string(h) + " where the frame is " + std::to_string(width) + "x" +
             std::to_string(height);
    }
    if (header.nchannels != channels) {
      return std::to_string(header.nchannels) + " channels where the frame has " + std::to_string(channels);
    }
    std::vector<unsigned char> samples(header.image_bytes());
    CheckRead(opened.in->read_image(0, 0, 0, header.nchannels, header.format, samples.data()), path, *opened.in);
    std::string damage = opened.in->geterror();
    opened.in->close();
    if (damage.empty()) damage = FileDamage(path);
    return damage.empty() ? "" : "is damaged (" + damage.substr(0, damage.find('\n')) + ")";
  } catch (const HostError& e) {
    const std::string why = e.what();
    return why.rfind(prefix, 0) == 0 ? why.substr(prefix.size()) : why;
  }
}

void WriteImage(const ImageBuffer& image, const std::string& path) { WriteImage(image, path, ImageTraits{}); }

namespace {

// The lower-case extension of an output `path` that can be written, after
// checking its folder. Throws HostError naming the path.
std::string CheckOutputPath(const std::string& path) {
  const fs::path target(path);
  const std::string extension = FormatExtension(path);
  if (!IsWritableImageExtension(extension)) {
    throw HostError(path + ": unknown output format \"" + target.extension().string() +
                    "\" (use .png, .jpg, .tif, .exr or .dpx)");
  }
  std::error_code ec;
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  if (!fs::is_directory(folder, ec)) throw HostError(path + ": the folder " + folder.string() + " does not exist");
  if (fs::is_directory(target, ec)) throw HostError(path + ": is a folder");
  return extension;
}

// Encodes the parts `formats` describes in memory, `writePart(out, i)` writing
// the samples of each, and writes the file whole (WriteFileWhole), which checks
// every byte to the disk: image libraries may ignore a failed write (a PNG cut
// short on a full disk) or end the process over one. OpenEXR's multi-part
// writer leaves an in-memory target empty, so several parts are encoded into a
// hidden file beside the target first and its bytes written whole from there.
template <class WritePart>
void EncodeWhole(const std::string& path, const std::vector<OIIO::ImageSpec>& formats, WritePart writePart) {
  auto fail = [&](const std::string& why) { return HostError(path + ": cannot write the image (" + why + ")"); };
  const bool staged = formats.size() > 1;
  const std::string target = staged ? TemporaryPathBeside(path) : path;
  std::optional<RemoveOnSecondInterrupt> interruptMark;
  if (staged) interruptMark.emplace(target);
  struct Staging {
    std::string path;
    ~Staging() {
      if (!path.empty()) unlink(path.c_str());
    }
  } staging{staged ? target : std::string()};
  std::vector<unsigned char> encoded;
  const std::unique_ptr<OIIO::Filesystem::IOProxy> memory = NewMemoryOutput(encoded);
  auto out = OIIO::ImageOutput::create(path);
  if (!out) throw fail(OIIO::geterror());
  if ((!staged && !out->set_ioproxy(memory.get())) || !out->open(target, static_cast<int>(formats.size()), formats.data())) {
    throw fail(out->geterror());
  }
  for (size_t i = 0; i < formats.size(); ++i) {
    if ((i > 0 && !out->open(target, formats[i], OIIO::ImageOutput::AppendSubimage)) || !writePart(*out, i)) {
      const std::string why = out->geterror();
      out->close();
      throw fail(why);
    }
  }
  if (!out->close()) throw fail(out->geterror());
  out.reset();
  if (staged) {
    std::ifstream file(target, std::ios::binary);
    encoded.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (!file) throw fail("the encoded parts could not be read back");
  }
  WriteFileWhole(path, encoded.data(), encoded.size());
}

// Adds the header fields of `from` that an output keeps to `format`: storage
// fields only in the same format (IsStorageField).
void CarryFields(const OIIO::ParamValueList& from, bool sameFormat, OIIO::ImageSpec& format) {
  for (const OIIO::ParamValue& field : from) {
    // By its characters: ustring::string() would tie the tool to the image
    // library's own empty string (see memory_output.h).
    if (!IsStorageField(std::string(field.name().c_str()), sameFormat)) format.extra_attribs.push_back(field);
  }
}

// The date an output states: the input's own when it has one; else the time
// SOURCE_DATE_EPOCH gives (seconds since 1970, UTC), for builds that pin it;
// else none. The TIFF and OpenEXR writers would otherwise stamp the time of
// writing, so two identical renders would differ; an empty date they leave out.
void SetWriteDate(OIIO::ImageSpec& format) {
  if (format.find_attribute("DateTime")) return;
  std::string date;
  const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
  char* end = nullptr;
  const long long seconds = epoch && *epoch ? std::strtoll(epoch, &end, 10) : -1;
  if (seconds >= 0 && end && *end == '\0') {
    const time_t t = static_cast<time_t>(seconds);
    struct tm utc {};
    char text[32];
    if (gmtime_r(&t, &utc) && std::strftime(text, sizeof text, "%Y:%m:%d %H:%M:%S", &utc)) date = text;
  }
  format.attribute("DateTime", date);
}

}  // namespace

void WriteImage(const ImageBuffer& image, const std::string& path, const ImageTraits& traits) {
  const std::string extension = CheckOutputPath(path);
  if (image.empty()) throw HostError(path + ": no image to write");

  const int w = image.width(), h = image.height();
  std::vector<uint8_t> rgba = image.ToRGBA();
  int channels = 4;
  TypeDesc fileType = TypeDesc::UINT8;
  if (extension == ".jpg" || !traits.alpha) {
    channels = 3;
    size_t o = 0;
    for (size_t i = 0; i < rgba.size(); i += 4) {
      rgba[o++] = rgba[i];
      rgba[o++] = rgba[i + 1];
      rgba[o++] = rgba[i + 2];
    }
    rgba.resize(o);
  }
  if (extension == ".exr") fileType = TypeDesc::HALF;
  OIIO::ImageSpec format(w, h, channels, fileType);
  CarryFields(traits.metadata, traits.extension == extension, format);
  if (traits.pixelAspect > 0) format.attribute("PixelAspectRatio", static_cast<float>(traits.pixelAspect));
  if (channels == 4) {
    format.alpha_channel = 3;
    // The frame's colour is not premultiplied: store it as it is.
    format.attribute("oiio:UnassociatedAlpha", 1);
  }
  if (extension == ".jpg") format.attribute("Compression", JpegCompression(traits.jpegQuality.value_or(95)));
  SetWriteDate(format);
  EncodeWhole(path, {format}, [&](OIIO::ImageOutput& out, size_t) {
    if (extension != ".exr") return out.write_image(TypeDesc::UINT8, rgba.data());
    std::vector<float> values(rgba.size());
    for (size_t i = 0; i < rgba.size(); ++i) values[i] = rgba[i] / 255.0f;
    return out.write_image(TypeDesc::FLOAT, values.data());
  });
}

namespace {

// The sample type nearest to `wanted` that a file of `extension` stores: PNG
// and DPX hold 8 or 16 bits (DPX floats too), JPEG 8, OpenEXR half, float and
// 32-bit integers.
TypeDesc StorableType(const std::string& extension, TypeDesc wanted) {
  if (extension == ".jpg") return TypeDesc::UINT8;
  if (extension == ".png" && !(wanted == TypeDesc::UINT8)) return TypeDesc::UINT16;
  if (extension == ".exr" && (wanted == TypeDesc::UINT8 || wanted == TypeDesc::UINT16)) return TypeDesc::HALF;
  if (extension == ".exr" && wanted == TypeDesc::DOUBLE) return TypeDesc::FLOAT;
  return wanted;
}

bool IsColourOrAlpha(const OIIO::ImageSpec& layout, int channel) {
  const std::array<int, 3> rgb = ColourChannels(layout);
  return channel == layout.alpha_channel || std::find(rgb.begin(), rgb.end(), channel) != rgb.end();
}

// The header a part is written with: the file's own (types, windows, channel
// names, fields, compression) with the channels as `samples` holds them (a grey
// part made RGB, extra channels left out for a format without room for them);
// fields that describe storage kept only in the same format at the same depth;
// colour and alpha of the flared part stored as `depth` says.
OIIO::ImageSpec OutputFormat(const Plate& plate, size_t part, const OIIO::ImageBuf& samples,
                             const std::string& extension, const PlateWriting& how, const OIIO::ImageOutput& writer) {
  const OIIO::ImageSpec& file = plate.headers[part];
  OIIO::ImageSpec format = samples.spec();
  if (extension != plate.extension || how.depth) {
    format.extra_attribs.free();
    CarryFields(file.extra_attribs, extension == plate.extension, format);
  }
  const bool sameChannels = file.channelnames == format.channelnames;
  std::vector<TypeDesc> types;
  for (int c = 0; c < format.nchannels; ++c) {
    TypeDesc type = sameChannels ? file.channelformat(c) : ColourSampleType(file);
    if (how.depth && part == plate.flared && IsColourOrAlpha(format, c)) type = *how.depth;
    types.push_back(StorableType(extension, type));
  }
  format.set_format(types[0]);
  if (writer.supports("channelformats") && std::any_of(types.begin(), types.end(), [&](TypeDesc t) { return t != types[0]; })) {
    format.channelformats = types;
  }
  const float aspect = how.pixelAspect ? static_cast<float>(*how.pixelAspect) : file.get_float_attribute("PixelAspectRatio", 0);
  if (aspect > 0) format.attribute("PixelAspectRatio", aspect);
  // Without a quality of its own (an input that is not a JPEG) a JPEG gets
  // the writer's default, 98.
  if (const std::optional<int> quality = how.jpegQuality ? how.jpegQuality : plate.jpegQuality; quality && extension == ".jpg") {
    format.attribute("Compression", JpegCompression(*quality));
  }
  SetWriteDate(format);
  return format;
}

// R, G, B and alpha of a part whose other channels a format has no room for
// (PNG, JPEG), alpha only where the format holds one; nothing when all fit.
std::optional<OIIO::ImageBuf> FittedChannels(const OIIO::ImageBuf& part, const OIIO::ImageOutput& writer) {
  const OIIO::ImageSpec& layout = part.spec();
  const std::array<int, 3> rgb = ColourChannels(layout);
  const bool alphaFits = layout.alpha_channel < 0 || writer.supports("alpha");
  if (writer.supports("nchannels") && alphaFits) return std::nullopt;
  std::vector<int> kept(rgb.begin(), rgb.end());
  if (layout.alpha_channel >= 0 && writer.supports("alpha")) kept.push_back(layout.alpha_channel);
  std::vector<int> all(static_cast<size_t>(layout.nchannels));
  std::iota(all.begin(), all.end(), 0);
  if (kept == all) return std::nullopt;
  OIIO::ImageBuf fitted;
  if (!OIIO::ImageBufAlgo::channels(fitted, part, static_cast<int>(kept.size()), kept.data())) {
    throw HostError("cannot keep the colour channels (" + fitted.geterror() + ")");
  }
  fitted.specmod().alpha_channel = kept.size() == 4 ? 3 : -1;
  return fitted;
}

// The colour samples of the flared part in the space its file gets: when they
// go from integer (display-referred) to floating point (scene-linear) or back,
// converted from the plate's colour space to scene-linear or to sRGB; nothing
// when they stay of one kind. `format` is the part's output header: it records
// the space the samples are in.
std::optional<OIIO::ImageBuf> ConvertedColour(const Plate& plate, const OIIO::ImageBuf& part, const PlateWriting& how,
                                              const std::string& extension, OIIO::ImageSpec& format) {
  const std::array<int, 3> rgb = ColourChannels(format);
  const bool wasFloating = ColourSampleType(plate.headers[plate.flared]).is_floating_point();
  if (wasFloating == format.channelformat(rgb[0]).is_floating_point()) return std::nullopt;
  const std::string from = how.colourSpace.empty() ? (wasFloating ? SceneLinearSpace() : "sRGB") : how.colourSpace;
  const std::string to = wasFloating ? "sRGB" : SceneLinearSpace();
  const OIIO::ColorProcessorHandle processor = ColourConfig().createColorProcessor(from, to);
  if (!processor) {
    throw HostError("cannot convert the colour from " + from + " to " + to + " (the colour configuration, " +
                    ColourConfig().configname() + ", has no such space)");
  }
  OIIO::ImageBuf converted;
  if (!converted.copy(part, TypeDesc::FLOAT)) throw HostError("cannot convert the colour (" + converted.geterror() + ")");
  const size_t pixels = static_cast<size_t>(part.spec().width) * part.spec().height;
  const int channels = part.spec().nchannels;
  float* samples = static_cast<float*>(converted.localpixels());
  std::vector<float> colour(3 * pixels);
  for (size_t i = 0; i < pixels; ++i) {
    for (int c = 0; c < 3; ++c) colour[3 * i + c] = samples[i * channels + rgb[c]];
  }
  if (!processor->isNoOp()) {
    processor->apply(colour.data(), static_cast<int>(pixels), 1, 3, sizeof(float), 3 * sizeof(float),
                     3 * sizeof(float) * pixels);
  }
  for (size_t i = 0; i < pixels; ++i) {
    for (int c = 0; c < 3; ++c) samples[i * channels + rgb[c]] = colour[3 * i + c];
  }
  // Recorded where the format has a field of its own for it: OpenEXR's header
  // and PNG's sRGB chunk (which OpenImageIO writes for "oiio:ColorSpace"). A
  // TIFF encoded in memory is left without it: its writer turns the field into
  // an EXIF directory that comes out unreadable there.
  format.erase_attribute("oiio:ColorSpace");
  format.erase_attribute("oiio:Gamma");
  if (extension == ".exr" || extension == ".png") format.attribute("oiio:ColorSpace", to);
  if (extension == ".exr") {
    // Rec. 709 / sRGB primaries and D65 white, which both spaces share.
    static const float kChromaticities[8] = {0.64f, 0.33f, 0.30f, 0.60f, 0.15f, 0.06f, 0.3127f, 0.3290f};
    format.attribute("chromaticities", OIIO::TypeDesc(OIIO::TypeDesc::FLOAT, 8), kChromaticities);
  }
  return converted;
}

}  // namespace

OIIO::ColorConfig& ColourConfig() {
  static OIIO::ColorConfig config;
  return config;
}

std::string SceneLinearSpace() {
  const char* linear = ColourConfig().getColorSpaceNameByRole("scene_linear");
  return linear ? linear : "linear";
}

std::array<int, 3> ColourChannels(const OIIO::ImageSpec& layout) {
  const std::array<int, 3> named = {layout.channelindex("R"), layout.channelindex("G"), layout.channelindex("B")};
  if (named[0] >= 0 && named[1] >= 0 && named[2] >= 0) return named;
  return {0, std::min(1, layout.nchannels - 1), std::min(2, layout.nchannels - 1)};
}

void WritePlate(const Plate& plate, const std::string& path, const PlateWriting& how) {
  const std::string extension = CheckOutputPath(path);
  if (plate.empty()) throw HostError(path + ": no image to write");
  auto writer = OIIO::ImageOutput::create(path);
  if (!writer) throw HostError(path + ": cannot write the image (" + OIIO::geterror() + ")");
  // The other parts of a multi-part file go to a file of the same format only.
  std::vector<size_t> written;
  for (size_t i = 0; i < plate.parts.size(); ++i) {
    if (i == plate.flared || (writer->supports("multiimage") && extension == plate.extension)) written.push_back(i);
  }
  std::vector<std::optional<OIIO::ImageBuf>> fitted;
  std::vector<OIIO::ImageSpec> formats;
  for (size_t i : written) {
    fitted.push_back(FittedChannels(plate.parts[i], *writer));
    formats.push_back(OutputFormat(plate, i, fitted.back() ? *fitted.back() : plate.parts[i], extension, how, *writer));
    if (i != plate.flared) continue;
    try {
      std::optional<OIIO::ImageBuf> converted =
          ConvertedColour(plate, fitted.back() ? *fitted.back() : plate.parts[i], how, extension, formats.back());
      if (converted) fitted.back() = std::move(converted);
    } catch (const HostError& e) {
      throw HostError(path + ": " + e.what());
    }
  }
  EncodeWhole(path, formats, [&](OIIO::ImageOutput& out, size_t i) {
    const OIIO::ImageBuf& part = fitted[i] ? *fitted[i] : plate.parts[written[i]];
    return out.write_image(part.spec().format, part.localpixels());
  });
}

}  // namespace lfhost
