#include "host/media/image_io.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <cstdio>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>

#include "host/media/files.h"
#include "host/core/host_error.h"

namespace lfhost {
namespace {

namespace fs = std::filesystem;
using OIIO::TypeDesc;

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

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

}  // namespace

ImageTraits ReadImageTraits(const std::string& path) {
  const QuietImageLibraries quiet;
  auto in = OIIO::ImageInput::open(path);
  if (!in) throw HostError(path + ": cannot read the image (" + OIIO::geterror() + ")");
  const OIIO::ImageSpec& header = in->spec();
  ImageTraits traits;
  traits.alpha = MapChannels(header).a >= 0;
  traits.metadata = header.extra_attribs;
  traits.extension = Lower(fs::path(path).extension().string());
  traits.pixelAspect = header.get_float_attribute("PixelAspectRatio", 0.0f);
  return traits;
}

bool IsWritableImageExtension(const std::string& extension) {
  const std::string e = Lower(extension);
  return e == ".png" || e == ".jpg" || e == ".jpeg" || e == ".tif" || e == ".tiff" || e == ".exr" || e == ".dpx";
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
  if (header.deep) throw HostError(path + ": is a deep image (several samples per pixel), which cannot be read");
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

std::pair<int32_t, int32_t> ReadImageSize(const std::string& path) {
  const QuietImageLibraries quiet;
  const OpenedImage image = OpenImage(path);
  return {image.header.width, image.header.height};
}

namespace {

// What the image library passes over in a DPX header: it reads the first image
// element whatever the header's element count says, and trusts its data offset.
// Empty when the header is sound or the file is no DPX.
std::string DpxHeaderDamage(const std::string& path) {
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
  if (dataOffset >= static_cast<uint64_t>(file.tellg())) return "the DPX image data would start past the file's end";
  return "";
}

// The decode itself, with the libraries kept quiet; what a read that succeeded
// still complained of goes to `damage`, to be reported once they may speak.
ImageBuffer DecodeImage(const std::string& path, std::string& damage) {
  const QuietImageLibraries quiet;
  OpenedImage opened = OpenImage(path);
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
  if (!ok) throw HostError(path + ": cannot read the image (" + ReadFailure(in->geterror()) + ")");
  // A read that succeeded may still have met missing data (a JPEG cut short is
  // filled with grey, a TIFF strip past the file's end left empty): the
  // reader's messages say so.
  damage = in->geterror();
  in->close();
  if (damage.empty()) damage = DpxHeaderDamage(path);
  return image;
}

}  // namespace

ImageBuffer ReadImage(const std::string& path) {
  std::string damage;
  ImageBuffer image = DecodeImage(path, damage);
  if (!damage.empty()) ReportDamage(path, damage);
  return image;
}

void WriteImage(const ImageBuffer& image, const std::string& path) { WriteImage(image, path, ImageTraits{}); }

void WriteImage(const ImageBuffer& image, const std::string& path, const ImageTraits& traits) {
  const fs::path target(path);
  const std::string extension = Lower(target.extension().string());
  if (!IsWritableImageExtension(extension)) {
    throw HostError(path + ": unknown output format \"" + target.extension().string() +
                    "\" (use .png, .jpg, .tif, .exr or .dpx)");
  }
  if (image.empty()) throw HostError(path + ": no image to write");
  std::error_code ec;
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  if (!fs::is_directory(folder, ec)) throw HostError(path + ": the folder " + folder.string() + " does not exist");
  if (fs::is_directory(target, ec)) throw HostError(path + ": is a folder");

  const int w = image.width(), h = image.height();
  std::vector<uint8_t> rgba = image.ToRGBA();
  int channels = 4;
  TypeDesc fileType = TypeDesc::UINT8;
  if (extension == ".jpg" || extension == ".jpeg" || !traits.alpha) {
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
  for (const OIIO::ParamValue& field : traits.metadata) {
    if (!IsStorageField(field.name().string(), traits.extension == extension)) format.extra_attribs.push_back(field);
  }
  if (traits.pixelAspect > 0) format.attribute("PixelAspectRatio", static_cast<float>(traits.pixelAspect));
  if (channels == 4) {
    format.alpha_channel = 3;
    // The frame's colour is not premultiplied: store it as it is.
    format.attribute("oiio:UnassociatedAlpha", 1);
  }
  if (extension == ".jpg" || extension == ".jpeg") format.attribute("Compression", "jpeg:95");

  // The image is encoded in memory and written by WriteFileWhole, which checks
  // every byte to the disk: image libraries may ignore a failed write (a PNG cut
  // short on a full disk) or end the process over one.
  auto fail = [&](const std::string& why) { return HostError(path + ": cannot write the image (" + why + ")"); };
  std::vector<unsigned char> encoded;
  OIIO::Filesystem::IOVecOutput memory(encoded);
  auto out = OIIO::ImageOutput::create(path);
  if (!out) throw fail(OIIO::geterror());
  if (!out->set_ioproxy(&memory) || !out->open(path, format)) throw fail(out->geterror());
  bool ok;
  if (extension == ".exr") {
    std::vector<float> values(rgba.size());
    for (size_t i = 0; i < rgba.size(); ++i) values[i] = rgba[i] / 255.0f;
    ok = out->write_image(TypeDesc::FLOAT, values.data());
  } else {
    ok = out->write_image(TypeDesc::UINT8, rgba.data());
  }
  if (!ok) {
    const std::string why = out->geterror();
    out->close();
    throw fail(why);
  }
  if (!out->close()) throw fail(out->geterror());
  out.reset();
  WriteFileWhole(path, encoded.data(), encoded.size());
}

}  // namespace lfhost
