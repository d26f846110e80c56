#include "host/media/video_encoding.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <utility>

namespace lfhost {

const char* const kScaleFlags = "accurate_rnd+full_chroma_int+bitexact";

std::string ScaleMatrix(const std::string& matrix) {
  if (matrix == "smpte170m" || matrix == "bt470bg") return "bt601";
  if (matrix == "bt2020nc" || matrix == "bt2020c") return "bt2020";
  return matrix;   // bt709, fcc, smpte240m
}

// swscale's 16-bit conversions to and from YUV are off by up to a third of a
// percent (10-bit white, 940, comes out as 65283; 65535 goes back as 943);
// zimg's are exact to the rounding, without dither.
std::string DeepConversion(const std::string& side, const std::string& matrix, const std::string& range) {
  if (matrix.empty()) return "zscale=dither=none";
  // ffmpeg 5.1's zscale misspells smpte240m; its number is taken.
  return "zscale=matrix" + side + "=" + (matrix == "smpte240m" ? "7" : matrix) + ":range" + side + "=" + range +
         ":dither=none";
}

namespace {

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

// The codec: the one asked for, else the input's where the container holds
// it, else the container's own.
const VideoCodec& ChooseCodec(const std::string& path, const VideoContainer& container, const VideoStyle& style) {
  const VideoCodec* codec = FindCodec(style.codec.empty() ? style.like.codec : style.codec);
  if (!style.codec.empty()) {
    if (!codec) throw ChoiceError("--codec: \"" + style.codec + "\" is not a codec we write (" + WritableCodecNames() + ")");
    if (!container.Holds(style.codec)) {
      throw ChoiceError("--codec: " + path + ": a " + std::string(container.extension) + " file cannot hold " + style.codec);
    }
  }
  if (!codec || !container.Holds(codec->name)) codec = FindCodec(container.defaultCodec);
  return *codec;
}

// The codec's own settings (and the container's for it) into `plan`, and the
// pixel format it stores unless the input's or --pix-fmt is taken instead.
void CodecSettings(const VideoStyle& style, bool followsInput, int32_t width, int32_t height, EncoderPlan& plan,
                   std::string& pixelFormat) {
  const std::string& name = plan.codec;
  std::vector<std::string>& v = plan.encoding.options;
  if (name == "prores") {
    std::string profile =
        style.quality.empty() ? (followsInput ? ProresProfile(style.like.profile) : "") : ProresProfile(style.quality);
    if (!style.quality.empty() && profile.empty()) {
      throw ChoiceError("--quality: \"" + style.quality + "\" is not a ProRes profile (proxy, lt, standard, hq, 4444, 4444xq)");
    }
    if (profile.empty()) profile = "4444";
    const bool full = profile.rfind("4444", 0) == 0;
    pixelFormat = full ? (style.alpha ? "yuva444p10le" : "yuv444p10le") : "yuv422p10le";
    v = {"-profile:v", profile, "-vendor", "apl0"};
    return;
  }
  if (name == "ffv1") {
    if (!style.quality.empty()) throw ChoiceError("--quality: FFV1 is lossless and takes no quality");
    // Deep frames are kept whole: FFV1 is lossless at 16 bits too.
    pixelFormat = style.deep ? (style.alpha ? "gbrap16le" : "gbrp16le") : style.alpha ? "bgra" : "bgr0";
    v = {"-level", "3"};
    return;
  }
  const bool vp9 = name == "vp9";
  const int64_t most = vp9 ? 63 : 51;
  const std::string crf = style.quality.empty() ? (vp9 ? "20" : name == "hevc" ? "18" : "16") : style.quality;
  char* end = nullptr;
  const long value = std::strtol(crf.c_str(), &end, 10);
  if (crf.empty() || *end != '\0' || value < 0 || value > most) {
    throw ChoiceError("--quality: \"" + crf + "\" is not a " + name + " quality (a CRF from 0, best, to " +
                      std::to_string(most) + ")");
  }
  v = {"-crf", crf};
  if (vp9) v.insert(v.end(), {"-b:v", "0"});
  if (name == "h264") v.insert(v.end(), {"-preset", "medium"});
  if (name == "hevc") {
    v.insert(v.end(), {"-preset", "medium", "-x265-params", "log-level=error"});
    plan.muxing.tag = "hvc1";
  }
  // 4:2:0 chroma wants even sides; odd frames keep full chroma. Deep frames go
  // to 10 bits, which every one of these encoders takes; VP9 has no deep
  // format with alpha, and keeping the alpha matters more.
  const bool even = width % 2 == 0 && height % 2 == 0;
  const std::string deep = style.deep ? "10le" : "";
  pixelFormat = vp9 && style.alpha ? "yuva420p" : even ? "yuv420p" + deep : "yuv444p" + deep;
}

// --pix-fmt where the encoder takes it, else the input's own where the output
// follows its codec, else the codec's choice.
std::string ChoosePixelFormat(const VideoCodec& codec, const VideoStyle& style, bool followsInput,
                              const std::string& codecChoice) {
  const std::vector<std::string> takes = EncoderPixelFormats(codec.encoder);
  auto taken = [&](const std::string& f) { return std::find(takes.begin(), takes.end(), f) != takes.end(); };
  if (!style.pixelFormat.empty()) {
    if (!taken(style.pixelFormat)) {
      std::string list;
      for (const std::string& f : takes) list += (list.empty() ? "" : " ") + f;
      throw ChoiceError("--pix-fmt: " + std::string(codec.name) + " cannot store \"" + style.pixelFormat +
                        "\" (it takes " + list + ")");
    }
    return style.pixelFormat;
  }
  if (followsInput && std::string(codec.name) != "prores" && taken(style.like.pixelFormat) &&
      (style.alpha || !PixelFormatHasAlpha(style.like.pixelFormat))) {
    return style.like.pixelFormat;
  }
  return codecChoice;
}

// The filter that turns the frames handed over into `pixelFormat` and tags
// them, with the tags also as encoder options into `v` (some encoders, ProRes,
// store only what the frames say). RGB frames become YUV through the input's
// matrix and range (the usual ones for RGB input); stored samples are already in it.
std::string ColourFilter(const VideoStyle& style, const std::string& pixelFormat, int32_t height,
                         std::vector<std::string>& v) {
  const VideoFormat& like = style.like;
  VideoFormat colour = like;
  if (colour.matrix == "gbr" || colour.matrix == "rgb") colour.matrix.clear();
  if (like.range.empty() || !IsYuvPixelFormat(like.pixelFormat)) colour.range.clear();
  colour.pixelFormat = pixelFormat;
  colour = WithColourDefaults(colour, height);
  std::string filter = !style.samples.empty() ? "" : "format=" + pixelFormat;
  if (style.sampleAspect.num > 0) filter += (filter.empty() ? "" : ",") + ("setsar=" + style.sampleAspect.text());
  std::string tags;
  auto tag = [&](const char* option, const char* field, const std::string& value) {
    v.insert(v.end(), {option, value});
    tags += (tags.empty() ? "setparams=" : ":") + std::string(field) + "=" + value;
  };
  if (IsYuvPixelFormat(pixelFormat)) {
    if (style.samples.empty()) {
      filter = (style.deep ? DeepConversion("", colour.matrix, colour.range)
                           : "scale=out_color_matrix=" + ScaleMatrix(colour.matrix) + ":out_range=" + colour.range) +
               "," + filter;
    }
    tag("-colorspace", "colorspace", colour.matrix);
    tag("-color_range", "range", colour.range);
  } else if (style.deep && style.samples.empty()) {
    filter = DeepConversion("", "", "") + "," + filter;
  }
  if (!like.primaries.empty() && like.primaries != "unknown") tag("-color_primaries", "color_primaries", like.primaries);
  if (!like.transfer.empty() && like.transfer != "unknown") tag("-color_trc", "color_trc", like.transfer);
  if (!tags.empty()) filter += (filter.empty() ? "" : ",") + tags;
  return filter;
}

}  // namespace

EncoderPlan PlanEncoder(const std::string& path, int32_t width, int32_t height, const VideoStyle& style) {
  const std::string extension = ExtensionOf(path);
  const VideoContainer* container = FindContainer(extension);
  if (!container) {
    throw HostError(path + ": unknown video format \"" + std::filesystem::path(path).extension().string() + "\" (use " +
                    WritableVideoExtensions() + ")");
  }
  const VideoCodec& codec = ChooseCodec(path, *container, style);
  if (std::min(width, height) < codec.smallestSide || std::max(width, height) > codec.largestSide) {
    throw ChoiceError("-o: " + path + ": " + codec.name + " encodes frames of " + std::to_string(codec.smallestSide) +
                      " to " + std::to_string(codec.largestSide) + " pixels a side, not " + std::to_string(width) + "x" +
                      std::to_string(height) + " (ProRes in .mov or FFV1 in .mkv take any size)");
  }
  const bool followsInput = codec.name == style.like.codec;
  EncoderPlan plan;
  plan.codec = codec.name;
  EncoderSettings& e = plan.encoding;
  e.encoder = codec.encoder;
  std::string codecChoice;
  CodecSettings(style, followsInput, width, height, plan, codecChoice);
  e.pixelFormat = ChoosePixelFormat(codec, style, followsInput, codecChoice);
  e.sampleAspect = style.sampleAspect;
  plan.filter = ColourFilter(style, e.pixelFormat, height, e.tags);
  plan.scales = style.samples.empty();
  plan.muxing.timecode = style.like.timecode;
  plan.muxing.faststart = container->faststart;
  plan.travelsCoded = !(plan.codec == "vp9" && PixelFormatHasAlpha(e.pixelFormat));
  return plan;
}

std::vector<std::string> MuxingSettings::Arguments() const {
  std::vector<std::string> v;
  if (!tag.empty()) v.insert(v.end(), {"-tag:v", tag});
  if (!timecode.empty()) v.insert(v.end(), {"-timecode", timecode});
  if (faststart) v.insert(v.end(), {"-movflags", "+faststart"});
  return v;
}

std::vector<std::string> EncoderPlan::EncodingArguments() const {
  std::vector<std::string> v;
  if (scales) v = {"-sws_flags", kScaleFlags};
  if (!filter.empty()) v.insert(v.end(), {"-vf", filter});
  v.insert(v.end(), {"-c:v", encoding.encoder});
  v.insert(v.end(), encoding.options.begin(), encoding.options.end());
  v.insert(v.end(), {"-pix_fmt", encoding.pixelFormat});
  v.insert(v.end(), encoding.tags.begin(), encoding.tags.end());
  const std::vector<std::string> container = muxing.Arguments();
  v.insert(v.end(), container.begin(), container.end());
  return v;
}

// ffmpeg's own encode says its frames are progressive and leaves their chroma
// siting unsaid; a copied stream would take both from what its decoder finds.
std::vector<std::string> EncoderPlan::CopyArguments() const {
  std::vector<std::string> v = {"-c:v", "copy"};
  v.insert(v.end(), encoding.tags.begin(), encoding.tags.end());
  v.insert(v.end(), {"-field_order", "progressive", "-chroma_sample_location", "unspecified"});
  const std::vector<std::string> container = muxing.Arguments();
  v.insert(v.end(), container.begin(), container.end());
  return v;
}

}  // namespace lfhost
