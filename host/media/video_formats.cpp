#include "host/media/video_formats.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numeric>
#include <sstream>
#include <stdexcept>

#include "host/core/image_buffer.h"
#include "host/core/lowercase.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixdesc.h>
}

namespace lfhost {
namespace {

const std::vector<VideoCodec>& Codecs() {
  static const std::vector<VideoCodec> codecs = {
      {"h264", "libx264", 1, 16384},          {"hevc", "libx265", 16, 16384},
      {"prores", "prores_ks", 1, kMaxFrameSide}, {"ffv1", "ffv1", 1, kMaxFrameSide},
      {"vp9", "libvpx-vp9", 1, 16384}};
  return codecs;
}

// Only audio that players take there is held as it is: ffmpeg also muxes
// Vorbis into MP4 and QuickTime, which few play.
const std::vector<VideoContainer>& Containers() {
  static const std::vector<std::string> mp4Audio = {"aac", "alac", "mp3", "ac3", "eac3", "opus"};
  static const std::vector<VideoContainer> containers = {
      {".mp4", "h264", {"h264", "hevc", "vp9"}, mp4Audio, {"-c:a", "aac", "-b:a", "256k"}, true},
      {".m4v", "h264", {"h264", "hevc", "vp9"}, mp4Audio, {"-c:a", "aac", "-b:a", "256k"}, true},
      {".mov", "prores", {"h264", "hevc", "prores"}, {"aac", "alac", "mp3", "ac3", "eac3", "pcm_"},
       {"-c:a", "pcm_s24le"}, true},
      {".mkv", "ffv1", {"h264", "hevc", "prores", "ffv1", "vp9"},
       {"aac", "alac", "mp3", "ac3", "eac3", "opus", "vorbis", "flac", "dts", "truehd", "pcm_"}, {"-c:a", "flac"}, false},
      {".webm", "vp9", {"vp9"}, {"opus", "vorbis"}, {"-c:a", "libopus", "-b:a", "192k"}, false},
  };
  return containers;
}

// Extensions read as video though we do not write them.
constexpr const char* kReadOnly[] = {".avi", ".mxf", ".mpg", ".mpeg", ".ts", ".m2ts", ".mts",
                                     ".flv", ".wmv", ".ogv", ".3gp", ".y4m", ".gif"};

}  // namespace

bool IsWritableFrameRate(const FrameRate& rate) {
  // Compared as fractions, in a type wide enough for any product of two sides.
  using Wide = long double;
  const Wide num = static_cast<Wide>(rate.num), den = static_cast<Wide>(rate.den);
  return rate.num > 0 && rate.den > 0 && num * kSlowestVideoRate.den >= den * kSlowestVideoRate.num &&
         num * kFastestVideoRate.den <= den * kFastestVideoRate.num;
}

std::string ExtensionOf(const std::string& path) { return Lowercase(std::filesystem::path(path).extension().string()); }

bool VideoContainer::Holds(const std::string& codec) const {
  return std::find(codecs.begin(), codecs.end(), codec) != codecs.end();
}

bool VideoContainer::HoldsAudio(const std::string& codec) const {
  for (const std::string& c : audio) {
    if (c == "pcm_" ? codec.rfind("pcm_s", 0) == 0 || codec.rfind("pcm_f", 0) == 0 : codec == c) return true;
  }
  return false;
}

const VideoContainer* FindContainer(const std::string& extension) {
  const std::string e = Lowercase(extension);
  for (const VideoContainer& c : Containers()) {
    if (e == c.extension) return &c;
  }
  return nullptr;
}

const VideoCodec* FindCodec(const std::string& name) {
  for (const VideoCodec& c : Codecs()) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

std::string WritableVideoExtensions() {
  std::string list;
  const size_t n = Containers().size();
  for (size_t i = 0; i < n; ++i) list += (i == 0 ? "" : i + 1 == n ? " or " : ", ") + std::string(Containers()[i].extension);
  return list;
}

std::string WritableCodecNames() {
  std::string list;
  for (const VideoCodec& c : Codecs()) list += (list.empty() ? "" : ", ") + std::string(c.name);
  return list;
}

bool IsWritableVideoExtension(const std::string& extension) { return FindContainer(extension) != nullptr; }

bool IsVideoExtension(const std::string& extension) {
  const std::string e = Lowercase(extension);
  return IsWritableVideoExtension(e) || std::find(std::begin(kReadOnly), std::end(kReadOnly), e) != std::end(kReadOnly);
}

std::vector<std::string> EncoderPixelFormats(const std::string& encoder) {
  // The library the ffmpeg program encodes with, asked in this process: the
  // same list its "-h encoder=" help prints, without starting it.
  std::vector<std::string> formats;
  const AVCodec* codec = avcodec_find_encoder_by_name(encoder.c_str());
  for (const AVPixelFormat* f = codec ? codec->pix_fmts : nullptr; f && *f != AV_PIX_FMT_NONE; ++f) {
    if (const char* name = av_get_pix_fmt_name(*f)) formats.emplace_back(name);
  }
  return formats;
}

bool IsYuvPixelFormat(const std::string& pixelFormat) {
  return pixelFormat.rfind("yuv", 0) == 0 || pixelFormat.rfind("nv", 0) == 0 || pixelFormat.rfind("gray", 0) == 0 ||
         pixelFormat.rfind("ya", 0) == 0;
}

// ffprobe gives rates as "num/den" ("0/0" when unknown).
std::optional<FrameRate> RationalRate(const std::string& text) {
  const size_t slash = text.find('/');
  if (slash == std::string::npos) return std::nullopt;
  try {
    const int64_t num = std::stoll(text.substr(0, slash));
    const int64_t den = std::stoll(text.substr(slash + 1));
    if (num <= 0 || den <= 0) return std::nullopt;
    const int64_t g = std::gcd(num, den);
    return FrameRate{num / g, den / g};
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<FrameRate> ParseFrameRate(const std::string& text) {
  if (text.find('/') != std::string::npos) {
    for (char c : text) {
      if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '/')) return std::nullopt;
    }
    return RationalRate(text);
  }
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(value) || value <= 0 || value > 1000 ||
      std::isspace(static_cast<unsigned char>(text[0]))) {
    return std::nullopt;
  }
  for (const double ntsc : {24.0, 30.0, 60.0}) {
    if (std::fabs(value - ntsc * 1000 / 1001) < 0.006) return FrameRate{static_cast<int64_t>(ntsc) * 1000, 1001};
  }
  const int64_t thousandths = std::llround(value * 1000);
  if (thousandths <= 0) return std::nullopt;
  const int64_t g = std::gcd(thousandths, int64_t{1000});
  return FrameRate{thousandths / g, 1000 / g};
}

VideoFormat WithColourDefaults(VideoFormat format, int32_t height) {
  // Players take untagged HD as BT.709 and SD as BT.601; we read it the same way.
  if (format.matrix.empty() || format.matrix == "unknown" || format.matrix == "unspecified") {
    format.matrix = height >= 720 ? "bt709" : "smpte170m";
  }
  if (format.range != "tv" && format.range != "pc") format.range = format.pixelFormat.rfind("yuvj", 0) == 0 ? "pc" : "tv";
  return format;
}

bool PixelFormatHasAlpha(const std::string& f) {
  return f.rfind("yuva", 0) == 0 || f.rfind("gbrap", 0) == 0 || f.rfind("ya", 0) == 0 ||
         f.find("rgba") != std::string::npos || f.find("bgra") != std::string::npos ||
         f.find("argb") != std::string::npos || f.find("abgr") != std::string::npos;
}

bool IsDeepVideo(const VideoFormat& format) { return format.bits > 8; }

std::string TimecodeAfter(const std::string& timecode, FrameRate rate, int64_t frames) {
  int h, m, sec, f;
  char separator;
  if (std::sscanf(timecode.c_str(), "%d:%d:%d%c%d", &h, &m, &sec, &separator, &f) != 5) return timecode;
  const int64_t fps = std::max<int64_t>(1, std::llround(rate.value()));
  const bool drop = separator == ';' || separator == ',';
  // Drop-frame timecode skips the first frame numbers of each minute but every tenth.
  const int64_t dropped = drop ? std::llround(static_cast<double>(fps) / 15) : 0;
  const int64_t minutes = 60 * h + m;
  int64_t n = ((60 * minutes) + sec) * fps + f - dropped * (minutes - minutes / 10) + frames;
  n %= 24 * 3600 * fps - dropped * (24 * 60 - 24 * 6);
  if (drop) {
    const int64_t perTen = fps * 600 - dropped * 9, perMinute = fps * 60 - dropped;
    const int64_t tens = n / perTen, rest = n % perTen;
    n += dropped * 9 * tens + (rest > dropped ? dropped * ((rest - dropped) / perMinute) : 0);
  }
  char text[96];
  std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld%c%02lld", static_cast<long long>(n / (fps * 3600)),
                static_cast<long long>(n / (fps * 60) % 60), static_cast<long long>(n / fps % 60), separator,
                static_cast<long long>(n % fps));
  return text;
}

}  // namespace lfhost
