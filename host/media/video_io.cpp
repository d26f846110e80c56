#include "host/media/video_io.h"


#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <numeric>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "host/media/files.h"
#include "host/core/host_error.h"

namespace lfhost {
namespace {

namespace fs = std::filesystem;

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string Size(int32_t w, int32_t h) { return std::to_string(w) + "x" + std::to_string(h); }

// The codecs we write, the encoder for each and the containers that hold it.
struct CodecChoice {
  const char* name;         // as ffprobe names the codec, and as --codec takes it
  const char* encoder;
  std::vector<std::string> containers;
  // The sides of the frames the encoder takes: x264 and libvpx stop at 16384
  // pixels, x265 also refuses frames under 16 pixels a side.
  int32_t smallestSide, largestSide;
};
const std::vector<CodecChoice>& Codecs() {
  static const std::vector<CodecChoice> codecs = {
      {"h264", "libx264", {".mp4", ".m4v", ".mov", ".mkv"}, 1, 16384},
      {"hevc", "libx265", {".mp4", ".m4v", ".mov", ".mkv"}, 16, 16384},
      {"prores", "prores_ks", {".mov", ".mkv"}, 1, kMaxFrameSide},
      {"ffv1", "ffv1", {".mkv"}, 1, kMaxFrameSide},
      {"vp9", "libvpx-vp9", {".webm", ".mkv", ".mp4"}, 1, 16384},
  };
  return codecs;
}
const CodecChoice* FindCodec(const std::string& name) {
  for (const CodecChoice& c : Codecs()) {
    if (name == c.name) return &c;
  }
  return nullptr;
}
bool Holds(const CodecChoice& codec, const std::string& extension) {
  return std::find(codec.containers.begin(), codec.containers.end(), extension) != codec.containers.end();
}
// A container's codec when the input's cannot go in it (or there is no input video).
const char* DefaultCodec(const std::string& extension) {
  if (extension == ".mov") return "prores";
  if (extension == ".mkv") return "ffv1";
  if (extension == ".webm") return "vp9";
  return "h264";
}

// What ffmpeg says about itself for `what` ("-pix_fmts", "encoder=libx264"),
// asked once per run.
std::string FfmpegHelp(const std::string& what) {
  static std::mutex mutex;
  static std::map<std::string, std::string> known;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = known.find(what);
  if (it != known.end()) return it->second;
  const std::vector<std::string> argv = what[0] == '-' ? std::vector<std::string>{"ffmpeg", "-hide_banner", what}
                                                       : std::vector<std::string>{"ffmpeg", "-hide_banner", "-h", what};
  return known[what] = RunForOutput(argv, "cannot ask ffmpeg about " + what);
}

// The pixel formats an encoder takes, as its own help lists them.
std::vector<std::string> EncoderPixelFormats(const std::string& encoder) {
  std::vector<std::string> formats;
  const std::string help = FfmpegHelp("encoder=" + encoder);
  const std::string label = "Supported pixel formats:";
  const size_t at = help.find(label);
  if (at != std::string::npos) {
    std::istringstream line(help.substr(at + label.size(), help.find('\n', at) - at - label.size()));
    for (std::string f; line >> f;) formats.push_back(f);
  }
  return formats;
}

bool IsYuv(const std::string& pixelFormat) {
  return pixelFormat.rfind("yuv", 0) == 0 || pixelFormat.rfind("nv", 0) == 0 || pixelFormat.rfind("gray", 0) == 0 ||
         pixelFormat.rfind("ya", 0) == 0;
}

// The scale filter's name for a matrix ffprobe names.
std::string ScaleMatrix(const std::string& matrix) {
  if (matrix == "smpte170m" || matrix == "bt470bg") return "bt601";
  if (matrix == "bt2020nc" || matrix == "bt2020c") return "bt2020";
  return matrix;   // bt709, fcc, smpte240m
}

// Deep frames are converted by zimg (the zscale filter): swscale's 16-bit
// conversions to and from YUV are off by up to a third of a percent (10-bit
// white, 940, comes out as 65283; 65535 goes back as 943), zimg's are exact to
// the rounding, without dither. `side` is "in" for the decoded picture's
// matrix and range, "" for the encoded one's; no matrix for RGB to RGB, which
// only changes depth.
std::string DeepConversion(const std::string& side, const std::string& matrix, const std::string& range) {
  if (matrix.empty()) return "zscale=dither=none";
  // ffmpeg 5.1's zscale misspells smpte240m; its number is taken.
  return "zscale=matrix" + side + "=" + (matrix == "smpte240m" ? "7" : matrix) + ":range" + side + "=" + range +
         ":dither=none";
}

// ProRes profiles as ffprobe reports them, and as prores_ks takes them.
std::string ProresProfile(const std::string& reported) {
  static const std::pair<const char*, const char*> names[] = {
      {"Proxy", "proxy"}, {"LT", "lt"}, {"Standard", "standard"}, {"HQ", "hq"}, {"4444", "4444"}, {"4444 XQ", "4444xq"},
      {"4444XQ", "4444xq"}};
  for (const auto& [from, to] : names) {
    if (reported == from || reported == to) return to;
  }
  return "";
}

// Libraries' sample-exact YUV-RGB conversion: full chroma, accurate rounding.
// ffmpeg's planar gbrap (planes G, B, R, A) to and from the frame's A, R, G, B.
void PlanesToFrame(const uint8_t* planes, ImageBuffer& frame) {
  const size_t plane = static_cast<size_t>(frame.width()) * frame.height();
  for (int32_t y = 0; y < frame.height(); ++y) {
    const size_t at = static_cast<size_t>(y) * frame.width();
    uint8_t* p = frame.row(y);
    for (int32_t x = 0; x < frame.width(); ++x, p += 4) {
      p[0] = planes[3 * plane + at + x];
      p[1] = planes[2 * plane + at + x];
      p[2] = planes[at + x];
      p[3] = planes[plane + at + x];
    }
  }
}
void FrameToPlanes(const ImageBuffer& frame, uint8_t* planes) {
  const size_t plane = static_cast<size_t>(frame.width()) * frame.height();
  for (int32_t y = 0; y < frame.height(); ++y) {
    const size_t at = static_cast<size_t>(y) * frame.width();
    const uint8_t* p = frame.row(y);
    for (int32_t x = 0; x < frame.width(); ++x, p += 4) {
      planes[3 * plane + at + x] = p[0];
      planes[2 * plane + at + x] = p[1];
      planes[at + x] = p[2];
      planes[plane + at + x] = p[3];
    }
  }
}

const char* const kScaleFlags = "accurate_rnd+full_chroma_int+bitexact";

// Audio re-encoded to suit the container.
std::vector<std::string> AudioArguments(const std::string& extension) {
  if (extension == ".mov") return {"-c:a", "pcm_s24le"};
  if (extension == ".mkv") return {"-c:a", "flac"};
  if (extension == ".webm") return {"-c:a", "libopus", "-b:a", "192k"};
  return {"-c:a", "aac", "-b:a", "256k"};
}

// Whether a container holds audio of this codec (ffprobe's name) as it is, so
// it is copied rather than re-encoded. Only what players take there is
// listed: ffmpeg also muxes Vorbis into MP4 and QuickTime, which few play.
bool HoldsAudio(const std::string& extension, const std::string& codec) {
  static const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> held = {
      {{".mp4", ".m4v"}, {"aac", "alac", "mp3", "ac3", "eac3", "opus"}},
      {{".mov"}, {"aac", "alac", "mp3", "ac3", "eac3", "pcm_"}},
      {{".mkv"}, {"aac", "alac", "mp3", "ac3", "eac3", "opus", "vorbis", "flac", "dts", "truehd", "pcm_"}},
      {{".webm"}, {"opus", "vorbis"}},
  };
  for (const auto& [containers, codecs] : held) {
    if (std::find(containers.begin(), containers.end(), extension) == containers.end()) continue;
    for (const std::string& c : codecs) {
      // "pcm_" stands for the linear PCM codecs, signed or float, of any width and order.
      if (c == "pcm_" ? codec.rfind("pcm_s", 0) == 0 || codec.rfind("pcm_f", 0) == 0 : codec == c) return true;
    }
  }
  return false;
}

// The codec of a file's first audio stream as ffprobe names it; "" for none.
std::string AudioCodecOf(const std::string& path) {
  std::string name = RunForOutput({"ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                                   "stream=codec_name", "-of", "csv=p=0", "--", path},
                                  path + ": cannot read the audio");
  name.erase(std::remove_if(name.begin(), name.end(), [](unsigned char c) { return std::isspace(c); }), name.end());
  return name;
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

// ffmpeg drops a Y4M file's last frame without a word when the file is cut
// short inside it, so a cut file would pass for a whole one. Every frame is a
// "FRAME" line and the same number of bytes, which the first two frame lines
// measure; the rest are walked at that stride. Empty when the file is whole,
// too short to tell (one frame) or no Y4M.
std::string Y4mDamage(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::string line;
  if (!std::getline(file, line) || line.rfind("YUV4MPEG2 ", 0) != 0) return "";
  file.seekg(0, std::ios::end);
  const uint64_t size = static_cast<uint64_t>(file.tellg());
  const uint64_t first = line.size() + 1;
  file.seekg(static_cast<std::streamoff>(first));
  if (!std::getline(file, line) || line.rfind("FRAME", 0) != 0) return "frame 0 has no FRAME line";
  const uint64_t firstData = first + line.size() + 1;
  // The second frame line: the first "FRAME" after the first frame's data,
  // looked for in the file's raw bytes.
  std::string bytes(static_cast<size_t>(std::min<uint64_t>(size - firstData, uint64_t{1} << 27)), '\0');
  file.seekg(static_cast<std::streamoff>(firstData));
  file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<size_t>(file.gcount()));
  file.clear();
  // A frame's pixels may hold the letters "FRAME" too: a stride that does not
  // find every later frame line is passed over for the next.
  for (size_t candidate = bytes.find("FRAME"); candidate != std::string::npos;
       candidate = bytes.find("FRAME", candidate + 1)) {
    uint64_t at = first, frames = 0;
    for (; at < size; ++frames) {
      file.seekg(static_cast<std::streamoff>(at));
      if (!std::getline(file, line) || line.rfind("FRAME", 0) != 0) break;
      at += line.size() + 1 + candidate;
    }
    file.clear();
    if (at == size) return "";
    if (at > size) return "the file ends inside frame " + std::to_string(frames - 1);
  }
  return "";
}

}  // namespace

bool IsWritableFrameRate(const FrameRate& rate) {
  // Compared as fractions, in a type wide enough for any product of two sides.
  using Wide = long double;
  const Wide num = static_cast<Wide>(rate.num), den = static_cast<Wide>(rate.den);
  return rate.num > 0 && rate.den > 0 && num * kSlowestVideoRate.den >= den * kSlowestVideoRate.num &&
         num * kFastestVideoRate.den <= den * kFastestVideoRate.num;
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

int32_t PixelFormatBits(const std::string& pixelFormat) {
  // ffmpeg's table: FLAGS NAME NB_COMPONENTS BITS_PER_PIXEL BIT_DEPTHS, the
  // last as "10-10-10".
  std::istringstream lines(FfmpegHelp("-pix_fmts"));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string flags, name, components, perPixel, depths;
    if (!(fields >> flags >> name >> components >> perPixel >> depths) || name != pixelFormat) continue;
    int32_t most = 0;
    std::istringstream each(depths);
    for (std::string d; std::getline(each, d, '-');) most = std::max(most, static_cast<int32_t>(std::atoi(d.c_str())));
    return most;
  }
  return 0;
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

std::vector<std::string> EncoderArguments(const std::string& path, int32_t width, int32_t height,
                                          const VideoStyle& style) {
  const std::string extension = Lower(fs::path(path).extension().string());
  const VideoFormat& like = style.like;
  // The codec: the one asked for, else the input's where the container holds
  // it, else the container's own.
  const CodecChoice* codec = FindCodec(style.codec.empty() ? like.codec : style.codec);
  if (!style.codec.empty()) {
    if (!codec) throw ChoiceError("--codec: \"" + style.codec + "\" is not a codec we write (h264, hevc, prores, ffv1, vp9)");
    if (!Holds(*codec, extension)) throw ChoiceError("--codec: " + path + ": a " + extension + " file cannot hold " + style.codec);
  }
  if (!codec || !Holds(*codec, extension)) codec = FindCodec(DefaultCodec(extension));
  const std::string name = codec->name;
  if (std::min(width, height) < codec->smallestSide || std::max(width, height) > codec->largestSide) {
    throw ChoiceError("-o: " + path + ": " + name + " encodes frames of " + std::to_string(codec->smallestSide) + " to " +
                      std::to_string(codec->largestSide) + " pixels a side, not " + Size(width, height) +
                      " (ProRes in .mov or FFV1 in .mkv take any size)");
  }
  const bool followsInput = name == like.codec;

  std::vector<std::string> v = {"-c:v", codec->encoder};
  std::string pixelFormat;
  if (name == "prores") {
    std::string profile = style.quality.empty() ? (followsInput ? ProresProfile(like.profile) : "") : ProresProfile(style.quality);
    if (!style.quality.empty() && profile.empty()) {
      throw ChoiceError("--quality: \"" + style.quality + "\" is not a ProRes profile (proxy, lt, standard, hq, 4444, 4444xq)");
    }
    if (profile.empty()) profile = "4444";
    const bool full = profile.rfind("4444", 0) == 0;
    pixelFormat = full ? (style.alpha ? "yuva444p10le" : "yuv444p10le") : "yuv422p10le";
    v.insert(v.end(), {"-profile:v", profile, "-vendor", "apl0"});
  } else if (name == "ffv1") {
    if (!style.quality.empty()) throw ChoiceError("--quality: FFV1 is lossless and takes no quality");
    v.insert(v.end(), {"-level", "3"});
    // Deep frames are kept whole: FFV1 is lossless at 16 bits too.
    pixelFormat = style.deep ? (style.alpha ? "gbrap16le" : "gbrp16le") : style.alpha ? "bgra" : "bgr0";
  } else {
    const bool vp9 = name == "vp9";
    const int64_t most = vp9 ? 63 : 51;
    std::string crf = style.quality.empty() ? (vp9 ? "20" : name == "hevc" ? "18" : "16") : style.quality;
    char* end = nullptr;
    const long value = std::strtol(crf.c_str(), &end, 10);
    if (crf.empty() || *end != '\0' || value < 0 || value > most) {
      throw ChoiceError("--quality: \"" + crf + "\" is not a " + name + " quality (a CRF from 0, best, to " +
                      std::to_string(most) + ")");
    }
    v.insert(v.end(), {"-crf", crf});
    if (vp9) v.insert(v.end(), {"-b:v", "0"});
    if (name == "h264") v.insert(v.end(), {"-preset", "medium"});
    if (name == "hevc") v.insert(v.end(), {"-preset", "medium", "-x265-params", "log-level=error", "-tag:v", "hvc1"});
    // 4:2:0 chroma wants even sides; odd frames keep full chroma.
    const bool even = width % 2 == 0 && height % 2 == 0;
    // Deep frames go to 10 bits, which every one of these encoders takes; VP9
    // has no deep format with alpha, and keeping the alpha matters more.
    const std::string deep = style.deep ? "10le" : "";
    pixelFormat = vp9 && style.alpha ? "yuva420p" : even ? "yuv420p" + deep : "yuv444p" + deep;
  }
  const std::vector<std::string> takes = EncoderPixelFormats(codec->encoder);
  auto taken = [&](const std::string& f) { return std::find(takes.begin(), takes.end(), f) != takes.end(); };
  if (!style.pixelFormat.empty()) {
    if (!taken(style.pixelFormat)) {
      std::string list;
      for (const std::string& f : takes) list += (list.empty() ? "" : " ") + f;
      throw ChoiceError("--pix-fmt: " + name + " cannot store \"" + style.pixelFormat + "\" (it takes " + list + ")");
    }
    pixelFormat = style.pixelFormat;
  } else if (followsInput && name != "prores" && taken(like.pixelFormat) &&
             (style.alpha || !PixelFormatHasAlpha(like.pixelFormat))) {
    pixelFormat = like.pixelFormat;
  }
  v.insert(v.end(), {"-pix_fmt", pixelFormat});

  // RGB frames become YUV through the input's matrix and range (the usual ones
  // for RGB input), and the output says so.
  VideoFormat colour = like;
  if (colour.matrix == "gbr" || colour.matrix == "rgb") colour.matrix.clear();
  if (like.range.empty() || !IsYuv(like.pixelFormat)) colour.range.clear();
  colour.pixelFormat = pixelFormat;
  colour = WithColourDefaults(colour, height);
  std::string filter = "format=" + pixelFormat;
  if (style.sampleAspect.num > 0) filter += ",setsar=" + style.sampleAspect.text();
  // Each colour tag goes both to the encoder and onto the frames: some
  // encoders (ProRes) store only what the frames say.
  std::string tags;
  auto tag = [&](const char* option, const char* field, const std::string& value) {
    v.insert(v.end(), {option, value});
    tags += (tags.empty() ? ",setparams=" : ":") + std::string(field) + "=" + value;
  };
  if (IsYuv(pixelFormat)) {
    filter = (style.deep ? DeepConversion("", colour.matrix, colour.range)
                         : "scale=out_color_matrix=" + ScaleMatrix(colour.matrix) + ":out_range=" + colour.range) +
             "," + filter;
    tag("-colorspace", "colorspace", colour.matrix);
    tag("-color_range", "range", colour.range);
  } else if (style.deep) {
    filter = DeepConversion("", "", "") + "," + filter;
  }
  if (!like.primaries.empty() && like.primaries != "unknown") tag("-color_primaries", "color_primaries", like.primaries);
  if (!like.transfer.empty() && like.transfer != "unknown") tag("-color_trc", "color_trc", like.transfer);
  filter += tags;
  if (!like.timecode.empty()) v.insert(v.end(), {"-timecode", like.timecode});
  if (extension == ".mp4" || extension == ".m4v" || extension == ".mov") v.insert(v.end(), {"-movflags", "+faststart"});
  v.insert(v.begin(), {"-sws_flags", kScaleFlags, "-vf", filter});
  return v;
}

bool IsWritableVideoExtension(const std::string& extension) {
  const std::string e = Lower(extension);
  return e == ".mp4" || e == ".m4v" || e == ".mov" || e == ".mkv" || e == ".webm";
}

bool IsVideoExtension(const std::string& extension) {
  static const char* const kOthers[] = {".avi", ".mxf", ".mpg", ".mpeg", ".ts", ".m2ts", ".mts", ".flv",
                                        ".wmv", ".ogv", ".3gp", ".y4m", ".gif"};
  const std::string e = Lower(extension);
  return IsWritableVideoExtension(e) || std::find(std::begin(kOthers), std::end(kOthers), e) != std::end(kOthers);
}

// Counts the video's frames (its packets) and sees whether they are evenly
// spaced: a variable-rate clip's frames are not, by more than the clock's tick.
void MeasureFrameTimes(const std::string& path, std::optional<FrameRate> timeBase, VideoInfo& info) {
  const std::string text = RunForOutput({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                         "packet=pts", "-of", "csv=p=0", "--", path},
                                        path + ": cannot read the video");
  std::vector<int64_t> times;
  std::istringstream lines(text);
  info.frameCount = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    ++info.frameCount;
    char* end = nullptr;
    const long long t = std::strtoll(line.c_str(), &end, 10);
    if (end != line.c_str()) times.push_back(t);
  }
  if (!timeBase || times.size() < 3 || static_cast<int64_t>(times.size()) != info.frameCount) return;
  std::sort(times.begin(), times.end());
  int64_t shortest = INT64_MAX, longest = 0;
  for (size_t i = 1; i < times.size(); ++i) {
    shortest = std::min(shortest, times[i] - times[i - 1]);
    longest = std::max(longest, times[i] - times[i - 1]);
  }
  if (longest - shortest > 1) {
    const double tick = static_cast<double>(timeBase->num) / static_cast<double>(timeBase->den);
    info.frameGaps = {shortest * tick, longest * tick};
  }
}

// ProbeVideoStreams, with the stream's clock for MeasureFrameTimes.
static VideoInfo ReadStreams(const std::string& path, std::optional<FrameRate>& timeBase) {
  CheckInputFile(path);
  const std::string text = RunForOutput(
      {"ffprobe", "-v", "error", "-show_entries",
       "stream=codec_type,codec_name,profile,pix_fmt,bits_per_raw_sample,width,height,r_frame_rate,avg_frame_rate,time_base,"
       "color_space,color_primaries,color_transfer,color_range,sample_aspect_ratio:stream_tags=timecode:format_tags=timecode",
       "-of", "json", "--", path},
      path + ": cannot read the video");
  nlohmann::json root;
  try {
    root = nlohmann::json::parse(text);
  } catch (const std::exception& e) {
    throw HostError(path + ": cannot read the video (ffprobe's answer is not JSON)");
  }
  VideoInfo info;
  bool haveVideo = false;
  for (const auto& stream : root.value("streams", nlohmann::json::array())) {
    const std::string type = stream.value("codec_type", "");
    if (type == "audio") info.hasAudio = true;
    if (type != "video" || haveVideo) continue;
    haveVideo = true;
    info.format.codec = stream.value("codec_name", "");
    info.format.profile = stream.value("profile", "");
    info.format.pixelFormat = stream.value("pix_fmt", "");
    info.format.bits = std::max(PixelFormatBits(info.format.pixelFormat),
                                static_cast<int32_t>(std::atoi(stream.value("bits_per_raw_sample", "").c_str())));
    info.format.matrix = stream.value("color_space", "");
    info.format.primaries = stream.value("color_primaries", "");
    info.format.transfer = stream.value("color_transfer", "");
    info.format.range = stream.value("color_range", "");
    std::string sar = stream.value("sample_aspect_ratio", "");
    std::replace(sar.begin(), sar.end(), ':', '/');
    if (const std::optional<FrameRate> aspect = RationalRate(sar)) info.sampleAspect = *aspect;
    info.width = stream.value("width", 0);
    info.height = stream.value("height", 0);
    const std::optional<FrameRate> rate = RationalRate(stream.value("r_frame_rate", ""));
    const std::optional<FrameRate> average = RationalRate(stream.value("avg_frame_rate", ""));
    // The stream's base rate (exact for constant-rate video); the average where
    // the base rate is unknown or is a timestamp clock rather than a frame rate.
    if (rate && rate->value() <= 1000) info.frameRate = *rate;
    else if (average) info.frameRate = *average;
    timeBase = RationalRate(stream.value("time_base", ""));
  }
  if (!haveVideo) throw HostError(path + ": has no video stream");
  // A timecode track or tag, wherever the container keeps it (Matroska
  // spells the tag in capitals).
  auto timecodeOf = [&](const nlohmann::json& holder) {
    const nlohmann::json tags = holder.value("tags", nlohmann::json::object());
    if (info.format.timecode.empty()) info.format.timecode = tags.value("timecode", tags.value("TIMECODE", ""));
  };
  for (const auto& holder : root.value("streams", nlohmann::json::array())) timecodeOf(holder);
  if (root.contains("format")) timecodeOf(root["format"]);
  info.format = WithColourDefaults(info.format, info.height);
  return info;
}

VideoInfo ProbeVideoStreams(const std::string& path) {
  std::optional<FrameRate> timeBase;
  return ReadStreams(path, timeBase);
}

VideoInfo ProbeVideo(const std::string& path) {
  std::optional<FrameRate> timeBase;
  VideoInfo info = ReadStreams(path, timeBase);
  if (info.width <= 0 || info.height <= 0) throw HostError(path + ": the video has no frame size");
  if (info.width > kMaxFrameSide || info.height > kMaxFrameSide) {
    throw HostError(path + ": " + Size(info.width, info.height) +
                    " is too large: at most 32767 pixels in either dimension");
  }
  if (const std::string why = Y4mDamage(path); !why.empty()) ReportDamage(path, why);
  MeasureFrameTimes(path, timeBase, info);
  if (info.frameCount <= 0) throw HostError(path + ": the video has no frames");
  return info;
}

// ---- Reading -------------------------------------------------------------------

// Deep frames cross the pipe as ffmpeg's little-endian 16-bit formats.
static_assert(std::endian::native == std::endian::little);

VideoReader::VideoReader(const std::string& path, const VideoInfo& info, bool deep)
    : path_(path), info_(info), deep_(deep) {
  // Every decoded frame once, in stream order and unrotated, so frame n here is
  // frame n of what ffprobe counted. YUV becomes RGB through the video's own
  // matrix and range, into planar G, B, R, A: swscale's packed 32-bit RGB output
  // from YUV takes a less exact path (white comes out as 253). RGB video comes
  // packed, as A, R, G, B: swscale shifts alpha by a pixel from packed to planar.
  // Deep frames come as 16-bit planes, alpha only where the video has it.
  const bool yuv = IsYuv(info.format.pixelFormat);
  planar_ = deep || yuv;
  const bool alpha = !deep || PixelFormatHasAlpha(info.format.pixelFormat);
  channels_ = alpha ? 4 : 3;
  const std::string format = !deep ? (planar_ ? "gbrap" : "argb") : alpha ? "gbrap16le" : "gbrp16le";
  const std::string filter =
      deep  ? DeepConversion("in", yuv ? info.format.matrix : "", info.format.range) + ",format=" + format
      : yuv ? "scale=in_color_matrix=" + ScaleMatrix(info.format.matrix) + ":in_range=" + info.format.range +
                  ",format=" + format
            : "format=" + format;
  ffmpeg_ = std::make_unique<Subprocess>(
      std::vector<std::string>{"ffmpeg", "-v", "error", "-nostdin", "-noautorotate", "-i", path, "-map", "0:v:0",
                               "-an", "-sn", "-dn", "-fps_mode", "passthrough", "-sws_flags", kScaleFlags, "-vf",
                               filter, "-f", "rawvideo", "-pix_fmt", format, "pipe:1"},
      false, true);
  packed_.resize(static_cast<size_t>(info.width) * info.height * channels_ * (deep ? 2 : 1));
}

VideoReader::~VideoReader() { Close(); }

void VideoReader::Close() {
  if (ffmpeg_) ffmpeg_->Kill();
  ffmpeg_.reset();
}

bool VideoReader::NextFrameBytes() {
  if (!ffmpeg_) return false;
  const size_t got = ffmpeg_->ReadUpTo(packed_.data(), packed_.size());
  if (got < packed_.size()) {
    const int status = ffmpeg_->Wait();
    const std::string why = ffmpeg_->LastErrorLine();
    ffmpeg_.reset();
    if (status != 0 || got != 0) {
      throw HostError(path_ + ": cannot decode the video (" +
                      (why.empty() ? (got ? "it ends in the middle of a frame" : "ffmpeg failed") : why) + ")");
    }
    // ffmpeg runs with "-v error": a message from a decode that ended well is
    // damage it stepped over ("File ended prematurely").
    if (!why.empty()) ReportDamage(path_, why.rfind("[", 0) == 0 && why.find("] ") != std::string::npos
                                              ? why.substr(why.find("] ") + 2) : why);
    return false;
  }
  return true;
}

bool VideoReader::ReadFrame(ImageBuffer& frame) {
  if (deep_) throw std::logic_error("VideoReader::ReadFrame on a deep reader");
  if (!NextFrameBytes()) return false;
  if (frame.width() != info_.width || frame.height() != info_.height) frame = ImageBuffer(info_.width, info_.height);
  if (planar_) {
    PlanesToFrame(packed_.data(), frame);
  } else {
    const size_t rowBytes = static_cast<size_t>(info_.width) * 4;
    for (int32_t y = 0; y < info_.height; ++y) std::memcpy(frame.row(y), packed_.data() + y * rowBytes, rowBytes);
  }
  return true;
}

// Where R, G, B, A are among ffmpeg's planes G, B, R, A.
constexpr int kPlaneOf[4] = {2, 0, 1, 3};

bool VideoReader::ReadDeepFrame(OIIO::ImageBuf& frame) {
  if (!deep_) throw std::logic_error("VideoReader::ReadDeepFrame on an 8-bit reader");
  if (!NextFrameBytes()) return false;
  const OIIO::ImageSpec& layout = frame.spec();
  if (layout.width != info_.width || layout.height != info_.height || layout.nchannels != channels_ || layout.x != 0 ||
      layout.y != 0 || layout.format != OIIO::TypeDesc::UINT16 || !frame.localpixels()) {
    frame.reset(OIIO::ImageSpec(info_.width, info_.height, channels_, OIIO::TypeDesc::UINT16));
  }
  OIIO::ROI roi = frame.roi();
  const size_t plane = static_cast<size_t>(info_.width) * info_.height * 2;
  for (int c = 0; c < channels_; ++c) {
    roi.chbegin = c;
    roi.chend = c + 1;
    frame.set_pixels(roi, OIIO::TypeDesc::UINT16, packed_.data() + kPlaneOf[c] * plane);
  }
  return true;
}

// ---- Writing -------------------------------------------------------------------

VideoWriter::VideoWriter(const std::string& path, int32_t width, int32_t height, FrameRate rate,
                         std::optional<AudioSource> audio, const VideoStyle& style)
    : path_(path), width_(width), height_(height), deep_(style.deep), alpha_(style.alpha) {
  const fs::path target(path);
  const std::string extension = Lower(target.extension().string());
  if (!IsWritableVideoExtension(extension)) {
    throw HostError(path + ": unknown video format \"" + target.extension().string() +
                    "\" (use .mp4, .m4v, .mov, .mkv or .webm)");
  }
  temporary_ = TemporaryPathBeside(path);
  const std::vector<std::string> codec = EncoderArguments(path, width, height, style);
  interruptMark_ = std::make_unique<RemoveOnSecondInterrupt>(temporary_);
  // Deep frames without alpha cross the pipe without an alpha plane.
  const int32_t planes = deep_ && !alpha_ ? 3 : 4;
  std::vector<std::string> argv = {"ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "rawvideo", "-pix_fmt",
                                   !deep_ ? "gbrap" : planes == 4 ? "gbrap16le" : "gbrp16le", "-s", Size(width, height),
                                   "-framerate", rate.text(), "-i", "pipe:0"};
  if (audio) {
    char start[32];
    std::snprintf(start, sizeof start, "%.6f", audio->startSeconds);
    argv.insert(argv.end(), {"-ss", start});
    if (audio->durationSeconds) {
      char duration[32];
      std::snprintf(duration, sizeof duration, "%.6f", *audio->durationSeconds);
      argv.insert(argv.end(), {"-t", duration});
    }
    argv.insert(argv.end(), {"-i", audio->path, "-map", "0:v:0", "-map", "1:a:0?"});
  } else {
    argv.insert(argv.end(), {"-map", "0:v:0"});
  }
  argv.insert(argv.end(), codec.begin(), codec.end());
  if (audio) {
    // Copied as it is coded where the container holds that (a part is cut at
    // the audio's own packets, a few milliseconds each), re-encoded otherwise.
    const std::string codec = AudioCodecOf(audio->path);
    if (codec.empty() || HoldsAudio(extension, codec)) {
      argv.insert(argv.end(), {"-c:a", "copy"});
    } else {
      const std::vector<std::string> sound = AudioArguments(extension);
      argv.insert(argv.end(), sound.begin(), sound.end());
      std::fprintf(stderr, "lensflare: %s: a %s file cannot hold %s audio as it is; it is re-encoded as %s\n",
                   path.c_str(), extension.c_str(), codec.c_str(), sound[1].c_str());
    }
  }
  argv.push_back(temporary_);
  ffmpeg_ = std::make_unique<Subprocess>(argv, true, false);
  packed_.resize(static_cast<size_t>(width) * height * planes * (deep_ ? 2 : 1));
}

VideoWriter::~VideoWriter() {
  if (!finished_) Abandon();
}

void VideoWriter::Fail(const std::string& why) {
  const std::string line = ffmpeg_ ? ffmpeg_->LastErrorLine() : "";
  Abandon();
  throw HostError(path_ + ": cannot encode the video (" + (line.empty() ? why : line) + ")");
}

void VideoWriter::CheckFrame(int32_t width, int32_t height) {
  if (!ffmpeg_ || finished_) throw HostError(path_ + ": the video is already closed");
  if (width != width_ || height != height_) Fail("frame of " + Size(width, height) + " in a video of " + Size(width_, height_));
}

void VideoWriter::SendFrame() {
  if (!ffmpeg_->WriteAll(packed_.data(), packed_.size())) {
    ffmpeg_->Wait();
    Fail("ffmpeg stopped");
  }
}

void VideoWriter::WriteFrame(const ImageBuffer& frame) {
  if (deep_) throw std::logic_error("VideoWriter: an 8-bit frame for a deep video");
  CheckFrame(frame.width(), frame.height());
  FrameToPlanes(frame, packed_.data());
  SendFrame();
}

void VideoWriter::WriteFrame(const OIIO::ImageBuf& frame) {
  if (!deep_) throw std::logic_error("VideoWriter: a deep frame for an 8-bit video");
  OIIO::ROI roi = frame.roi();
  CheckFrame(roi.width(), roi.height());
  if (roi.nchannels() < 3) Fail("a frame of " + std::to_string(roi.nchannels()) + " channels; it takes R, G, B");
  const size_t plane = static_cast<size_t>(width_) * height_ * 2;
  for (int c = 0; c < (alpha_ ? 4 : 3); ++c) {
    uint8_t* to = packed_.data() + kPlaneOf[c] * plane;
    roi.chbegin = c;
    roi.chend = c + 1;
    if (c < frame.nchannels()) frame.get_pixels(roi, OIIO::TypeDesc::UINT16, to);
    else std::memset(to, 0xFF, plane);   // opaque: 65535
  }
  SendFrame();
}

bool VideoWriter::Finish(const CancelToken* cancel) {
  if (finished_) return true;
  if (!ffmpeg_) throw HostError(path_ + ": the video was abandoned");
  // The encoder's look-ahead and the muxer's last pass can take a while after
  // the last frame; Ctrl-C is honoured meanwhile.
  std::optional<int> ended;
  while (!(ended = ffmpeg_->Poll())) {
    if (cancel && cancel->requested()) {
      Abandon();
      return false;
    }
    usleep(20000);
  }
  const int status = *ended;
  if (status != 0) Fail("ffmpeg failed with status " + std::to_string(status));
  try {
    SyncFile(temporary_, path_);
  } catch (const HostError&) {
    Abandon();
    throw;
  }
  // A cancel that came as ffmpeg ended or while the file went to the disk
  // still leaves nothing: the video exists from the rename on, not before.
  if (cancel && cancel->requested()) {
    Abandon();
    return false;
  }
  std::error_code ec;
  fs::rename(temporary_, path_, ec);
  if (ec) Fail(ec.message());
  finished_ = true;
  interruptMark_.reset();
  ffmpeg_.reset();
  return true;
}

void VideoWriter::Abandon() noexcept {
  if (ffmpeg_) ffmpeg_->Kill();
  ffmpeg_.reset();
  std::error_code ec;
  if (!finished_) fs::remove(temporary_, ec);
  interruptMark_.reset();
}

}  // namespace lfhost
