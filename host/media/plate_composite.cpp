#include "host/media/plate_composite.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

#include <OpenImageIO/half.h>

#include "host/core/host_error.h"
#include "host/core/lowercase.h"
#include "host/media/image_io.h"
#include "host/media/sample_composite.h"

namespace lfhost {

// A colour processor, and when it treats the channels apart (a transfer curve,
// as between sRGB and linear) its curves sampled at `steps` + 1 values from 0 to
// 1: image libraries evaluate a transfer function sample by sample with pow,
// several hundred milliseconds for a 1920x1080 frame, while the flare layer has
// only 256 levels a channel.
struct PlateLook::Conversion {
  OIIO::ColorProcessorHandle processor;
  int steps = 0;
  std::vector<float> curves[3];   // empty when the processor mixes channels

  bool separable() const { return !curves[0].empty(); }
  void Apply(float* rgb, int32_t count) const {
    processor->apply(rgb, count, 1, 3, sizeof(float), 3 * sizeof(float), 3 * sizeof(float) * count);
  }
};

namespace {

OIIO::ColorConfig& Colours() { return ColourConfig(); }

std::string KnownColourSpaces() {
  std::string names;
  for (const std::string& name : Colours().getColorSpaceNames()) names += (names.empty() ? "" : ", ") + name;
  return names;
}

bool IsSrgb(const std::string& name) { return Lowercase(name) == "srgb"; }

std::shared_ptr<const PlateLook::Conversion> MakeConversion(const std::string& from, const std::string& to, int steps) {
  auto conversion = std::make_shared<PlateLook::Conversion>();
  conversion->processor = Colours().createColorProcessor(from, to);
  if (!conversion->processor) {
    const std::string& unknown = IsSrgb(from) ? to : from;
    throw HostError("the colour configuration (" + Colours().configname() + ") cannot convert from " + from + " to " +
                    to + " (" + unknown + " is none of its colour spaces: " + KnownColourSpaces() + ")");
  }
  if (conversion->processor->isNoOp()) return nullptr;
  conversion->steps = steps;
  if (!conversion->processor->hasChannelCrosstalk()) {
    std::vector<float> ramp;
    for (int i = 0; i <= steps; ++i) ramp.insert(ramp.end(), 3, static_cast<float>(i) / static_cast<float>(steps));
    conversion->Apply(ramp.data(), steps + 1);
    for (int c = 0; c < 3; ++c) {
      for (int i = 0; i <= steps; ++i) conversion->curves[c].push_back(ramp[3 * i + c]);
    }
  }
  return conversion;
}

// One sample with the layer's share `a` on it. Integer samples are rounded and
// kept within their range; a floating-point sample without flare is returned
// as it is, so that negative zeros and NaN payloads survive too.
template <class T>
T CompositeSample(T p, float a, CompositeMode mode) {
  if (a == 0.0f) return p;
  if constexpr (std::is_integral_v<T>) {
    constexpr double kMax = std::numeric_limits<T>::max();
    const double v = static_cast<double>(p);
    const double out = mode == CompositeMode::Screen ? v + (kMax - v) * a : v + kMax * a;
    return static_cast<T>(std::clamp(std::floor(out + 0.5), 0.0, kMax));
  } else {
    using Wide = std::conditional_t<std::is_same_v<T, double>, double, float>;
    const Wide v = static_cast<Wide>(p);
    return static_cast<T>(mode == CompositeMode::Screen ? v + (Wide{1} - v) * a : v + a);
  }
}

// The layer being composited: one of the two renders, never copied.
struct LayerRef {
  const ImageBuffer* exact = nullptr;
  const FullFlare* full = nullptr;

  static LayerRef Of(const FlareLayer& layer) {
    return layer.precision == FlarePrecision::Full ? LayerRef{nullptr, &layer.full} : LayerRef{&layer.exact, nullptr};
  }
  int32_t width() const { return full ? full->width : exact->width(); }
  int32_t height() const { return full ? full->height : exact->height(); }
};

// Row `y` of the layer from column x, `count` pixels: the amounts, and for
// each pixel whether the layer is black there (such a pixel is left alone).
void LayerAmounts(LayerRef layer, const PlateLook& look, int32_t y, int32_t x, int32_t count, float scale,
                  float* amounts, uint8_t* black) {
  if (layer.full) {
    const float* flare = layer.full->row(y) + 3 * static_cast<size_t>(x);
    look.Amounts(flare, count, scale, amounts);
    for (int32_t i = 0; i < count; ++i) {
      black[i] = flare[3 * i] == 0.0f && flare[3 * i + 1] == 0.0f && flare[3 * i + 2] == 0.0f;
    }
    return;
  }
  const uint8_t* flare = layer.exact->row(y) + 4 * static_cast<size_t>(x);
  look.Amounts(flare, count, scale, amounts);
  for (int32_t i = 0; i < count; ++i) black[i] = (flare[4 * i + 1] | flare[4 * i + 2] | flare[4 * i + 3]) == 0;
}

template <class T>
void CompositeRows(OIIO::ImageBuf& plate, LayerRef layer, float scale, const PlateLook& look) {
  const OIIO::ImageSpec& layout = plate.spec();
  const std::array<int, 3> rgb = ColourChannels(layout);
  // The layer covers the display window; the data window may be larger or smaller.
  const int x0 = std::max(layout.x, layout.full_x), x1 = std::min(layout.x + layout.width, layout.full_x + layer.width());
  const int y0 = std::max(layout.y, layout.full_y), y1 = std::min(layout.y + layout.height, layout.full_y + layer.height());
  if (x0 >= x1) return;
  const int32_t count = x1 - x0;
  const size_t pixelBytes = layout.pixel_bytes();
  std::vector<float> amounts(3 * static_cast<size_t>(count));
  std::vector<uint8_t> black(static_cast<size_t>(count));
  for (int y = y0; y < y1; ++y) {
    LayerAmounts(layer, look, y - layout.full_y, x0 - layout.full_x, count, scale, amounts.data(), black.data());
    auto* pixel = static_cast<char*>(plate.pixeladdr(x0, y));
    for (int32_t i = 0; i < count; ++i, pixel += pixelBytes) {
      if (black[i]) continue;
      T* samples = reinterpret_cast<T*>(pixel);
      for (int c = 0; c < 3; ++c) samples[rgb[c]] = CompositeSample(samples[rgb[c]], amounts[3 * i + c], look.mode());
    }
  }
}

void CompositeLayer(OIIO::ImageBuf& plate, LayerRef layer, int32_t weight, const PlateLook& look, double exposure) {
  // Samples are written in place: a plate backed by the image cache is read into memory first.
  if (!plate.make_writable(true) || !plate.localpixels()) throw HostError("the plate's samples cannot be written in memory");
  const float scale = LayerScale(weight, exposure);
  switch (plate.spec().format.basetype) {
    case OIIO::TypeDesc::UINT8: return CompositeRows<uint8_t>(plate, layer, scale, look);
    case OIIO::TypeDesc::UINT16: return CompositeRows<uint16_t>(plate, layer, scale, look);
    case OIIO::TypeDesc::UINT32: return CompositeRows<uint32_t>(plate, layer, scale, look);
    case OIIO::TypeDesc::HALF: return CompositeRows<Imath::half>(plate, layer, scale, look);
    case OIIO::TypeDesc::FLOAT: return CompositeRows<float>(plate, layer, scale, look);
    case OIIO::TypeDesc::DOUBLE: return CompositeRows<double>(plate, layer, scale, look);
    default: throw HostError(std::string("cannot composite onto ") + plate.spec().format.c_str() + " samples");
  }
}

}  // namespace

float LayerScale(int32_t weight, double exposure) {
  const float blended = static_cast<float>(65536 - std::clamp(weight, 0, 65536)) / 65536.0f;
  return blended * static_cast<float>(std::exp2(exposure));
}

std::optional<FlarePrecision> ParseFlarePrecision(const std::string& text) {
  if (text == "exact") return FlarePrecision::Exact;
  if (text == "full") return FlarePrecision::Full;
  return std::nullopt;
}

std::optional<CompositeMode> ParseCompositeMode(const std::string& text) {
  if (text == "screen") return CompositeMode::Screen;
  if (text == "add") return CompositeMode::Add;
  return std::nullopt;
}

PlateLook PlateLook::For(OIIO::TypeDesc type, std::optional<CompositeMode> mode, const std::string& colourSpace) {
  const bool floating = IsFloatingSamples(type);
  PlateLook look;
  look.mode_ = mode.value_or(floating ? CompositeMode::Add : CompositeMode::Screen);
  look.colourSpace_ = colourSpace;
  if (look.colourSpace_.empty()) {
    look.colourSpace_ = floating ? SceneLinearSpace() : "sRGB";
  }
  if (!IsSrgb(look.colourSpace_)) {
    look.toPlate_ = MakeConversion("sRGB", look.colourSpace_, 255);
    look.toPlateFine_ = MakeConversion("sRGB", look.colourSpace_, 4096);
    look.toDisplay_ = MakeConversion(look.colourSpace_, "sRGB", 4096);
  }
  return look;
}

void PlateLook::Amounts(const uint8_t* layerRow, int32_t count, float scale, float* amounts) const {
  if (toPlate_ && toPlate_->separable()) {
    for (int32_t i = 0; i < count; ++i) {
      for (int c = 0; c < 3; ++c) amounts[3 * i + c] = toPlate_->curves[c][layerRow[4 * i + 1 + c]] * scale;
    }
    return;
  }
  // Each byte's share of full scale, worked out once rather than divided per sample.
  static const std::array<float, 256> kShare = [] {
    std::array<float, 256> share{};
    for (int v = 0; v < 256; ++v) share[v] = ByteShare(static_cast<uint8_t>(v));
    return share;
  }();
  if (!toPlate_) {
    for (int32_t i = 0; i < count; ++i) {
      for (int c = 0; c < 3; ++c) amounts[3 * i + c] = kShare[layerRow[4 * i + 1 + c]] * scale;
    }
    return;
  }
  for (int32_t i = 0; i < 3 * count; ++i) amounts[i] = kShare[layerRow[4 * (i / 3) + 1 + i % 3]];
  toPlate_->Apply(amounts, count);
  for (int32_t i = 0; i < 3 * count; ++i) amounts[i] *= scale;
}

void PlateLook::Amounts(const float* layerRow, int32_t count, float scale, float* amounts) const {
  std::copy(layerRow, layerRow + 3 * static_cast<size_t>(count), amounts);
  if (toPlateFine_ && !toPlateFine_->separable()) toPlateFine_->Apply(amounts, count);
  if (toPlateFine_ && toPlateFine_->separable()) {
    // Between the curve's samples it is taken as straight; a value beyond 0..1
    // (a streak brighter than full scale) goes through the processor itself.
    const float steps = static_cast<float>(toPlateFine_->steps);
    for (int32_t i = 0; i < 3 * count; ++i) {
      const float v = amounts[i];
      if (v >= 0.0f && v <= 1.0f) {
        const float at = v * steps;
        const int below = std::min(static_cast<int>(at), toPlateFine_->steps - 1);
        const std::vector<float>& curve = toPlateFine_->curves[i % 3];
        amounts[i] = curve[below] + (curve[below + 1] - curve[below]) * (at - static_cast<float>(below));
      } else if (v == v) {
        float grey[3] = {v, v, v};
        toPlateFine_->Apply(grey, 1);
        amounts[i] = grey[i % 3];
      }
    }
  }
  for (int32_t i = 0; i < 3 * count; ++i) amounts[i] *= scale;
}

void PlateLook::ToDisplay(float* rgb, int32_t count) const {
  if (!toDisplay_) return;
  if (!toDisplay_->separable()) return toDisplay_->Apply(rgb, count);
  // For a screen only: the curve between its samples is taken as straight,
  // and values beyond 0..1 as its ends (what an 8-bit screen shows of them).
  const float steps = static_cast<float>(toDisplay_->steps);
  for (int32_t i = 0; i < 3 * count; ++i) {
    const float at = std::clamp(std::isnan(rgb[i]) ? 0.0f : rgb[i], 0.0f, 1.0f) * steps;
    const int below = std::min(static_cast<int>(at), toDisplay_->steps - 1);
    const std::vector<float>& curve = toDisplay_->curves[i % 3];
    rgb[i] = curve[below] + (curve[below + 1] - curve[below]) * (at - static_cast<float>(below));
  }
}


void CompositeFlare(OIIO::ImageBuf& plate, const FlareLayer& layer, int32_t weight, const PlateLook& look,
                    double exposure) {
  CompositeLayer(plate, LayerRef::Of(layer), weight, look, exposure);
}

Plate FlarePass(const FlareLayer& layer, int32_t weight, const PlateLook& look, const MediaFrame& frame,
                double exposure) {
  const OIIO::ImageSpec like = frame.deep() ? frame.plate.headers[frame.plate.flared]
                                            : OIIO::ImageSpec(layer.width(), layer.height(), 3, OIIO::TypeDesc::UINT8);
  OIIO::ImageSpec header = like;
  header.x = header.full_x;
  header.y = header.full_y;
  header.width = header.full_width = layer.width();
  header.height = header.full_height = layer.height();
  header.tile_width = header.tile_height = 0;
  header.nchannels = 3;
  header.channelnames = {"R", "G", "B"};
  header.channelformats.clear();
  header.alpha_channel = header.z_channel = -1;
  // Of the frame's own kind, so that a depth asked for converts the pass as it
  // converts the plate: shares of an integer frame are display-referred, and
  // written at half or float they become scene-linear with the plate.
  header.set_format(ColourSampleType(like));
  OIIO::ImageSpec held = header;
  held.set_format(OIIO::TypeDesc::FLOAT);
  OIIO::ImageBuf pass(held);
  const float scale = LayerScale(weight, exposure);
  std::vector<uint8_t> black(static_cast<size_t>(layer.width()));
  for (int32_t y = 0; y < layer.height(); ++y) {
    LayerAmounts(LayerRef::Of(layer), look, y, 0, layer.width(), scale,
                 static_cast<float*>(pass.pixeladdr(header.x, header.y + y)), black.data());
  }
  Plate plate;
  plate.headers.push_back(std::move(header));
  plate.parts.push_back(std::move(pass));
  plate.extension = frame.plate.extension;
  return plate;
}

Plate PlateFromImage(const ImageBuffer& image, bool alpha) {
  const int channels = alpha ? 4 : 3;
  OIIO::ImageSpec header(image.width(), image.height(), channels, OIIO::TypeDesc::UINT8);
  header.alpha_channel = alpha ? 3 : -1;
  OIIO::ImageBuf samples(header);
  for (int32_t y = 0; y < image.height(); ++y) {
    auto* out = static_cast<uint8_t*>(samples.pixeladdr(0, y));
    for (int32_t x = 0; x < image.width(); ++x) {
      for (int c = 0; c < 3; ++c) *out++ = image.at(x, y, 1 + c);
      if (alpha) *out++ = image.at(x, y, 0);
    }
  }
  Plate plate;
  plate.headers.push_back(std::move(header));
  plate.parts.push_back(std::move(samples));
  return plate;
}

ImageBuffer PlateForDisplay(const OIIO::ImageBuf& plate, const PlateLook& look) {
  const OIIO::ImageSpec& layout = plate.spec();
  ImageBuffer shown(layout.full_width, layout.full_height);
  shown.Fill(255, 0, 0, 0);
  const std::array<int, 3> rgb = ColourChannels(layout);
  const int x0 = std::max(layout.x, layout.full_x), x1 = std::min(layout.x + layout.width, layout.full_x + layout.full_width);
  const int y0 = std::max(layout.y, layout.full_y), y1 = std::min(layout.y + layout.height, layout.full_y + layout.full_height);
  if (x0 >= x1) return shown;
  const int32_t count = x1 - x0;
  std::vector<float> samples(static_cast<size_t>(count) * layout.nchannels), colour(3 * static_cast<size_t>(count));
  auto byte = [](float v) { return static_cast<uint8_t>(std::lround(std::clamp(std::isnan(v) ? 0.0f : v, 0.0f, 1.0f) * 255.0f)); };
  for (int y = y0; y < y1; ++y) {
    plate.get_pixels(OIIO::ROI(x0, x1, y, y + 1, 0, 1, 0, layout.nchannels), OIIO::TypeDesc::FLOAT, samples.data());
    for (int32_t i = 0; i < count; ++i) {
      for (int c = 0; c < 3; ++c) colour[3 * i + c] = samples[static_cast<size_t>(i) * layout.nchannels + rgb[c]];
    }
    look.ToDisplay(colour.data(), count);
    for (int32_t i = 0; i < count; ++i) {
      uint8_t* p = shown.row(y - layout.full_y) + 4 * static_cast<size_t>(x0 - layout.full_x + i);
      p[0] = layout.alpha_channel >= 0 ? byte(samples[static_cast<size_t>(i) * layout.nchannels + layout.alpha_channel]) : 255;
      for (int c = 0; c < 3; ++c) p[1 + c] = byte(colour[3 * i + c]);
    }
  }
  return shown;
}

namespace {

// An opaque black frame of this size, made once for all threads.
std::shared_ptr<const ImageBuffer> SharedBlackFrame(int32_t width, int32_t height) {
  static std::mutex made;
  static std::shared_ptr<const ImageBuffer> latest;
  std::lock_guard<std::mutex> lock(made);
  if (!latest || latest->width() != width || latest->height() != height) {
    auto black = std::make_shared<ImageBuffer>(width, height);
    black->Fill(255, 0, 0, 0);
    latest = std::move(black);
  }
  return latest;
}

}  // namespace

CommandResult RenderLayer(EffectInstance& effect, const CheckedParams& blended, const FrameSettings& settings,
                          FlarePrecision precision, int32_t width, int32_t height, FlareLayer& layer) {
  layer.precision = precision;
  const CheckedParams values = blended.Unblended();
  if (precision == FlarePrecision::Full) return effect.RenderFull(width, height, values, layer.full, settings);
  // The module only reads its input: one black frame serves every frame of a
  // size on every thread, rather than 8 MB made and filled for each 1080p
  // frame or thread.
  const std::shared_ptr<const ImageBuffer> black = SharedBlackFrame(width, height);
  // The render command overwrites the whole output, so a layer of this size is used again as it is.
  if (layer.exact.width() != width || layer.exact.height() != height) layer.exact = ImageBuffer(width, height);
  return effect.Render(*black, layer.exact, values, settings);
}

CommandResult RenderOntoPlate(EffectInstance& effect, OIIO::ImageBuf& plate, const CheckedParams& values,
                              const FrameSettings& settings, const PlateLook& look, FlarePrecision precision,
                              FlareLayer* layerOut) {
  FlareLayer layer;
  const CommandResult result =
      RenderLayer(effect, values, settings, precision, plate.spec().full_width, plate.spec().full_height, layer);
  if (!result.ok()) return result;
  CompositeFlare(plate, layer, BlendWeight(values->blend), look, values.exposure());
  if (layerOut) *layerOut = std::move(layer);
  return result;
}

CommandResult RenderOnto(EffectInstance& effect, MediaFrame& frame, const CheckedParams& values,
                         const FrameSettings& settings, const PlateLook& look, FlarePrecision precision,
                         FlareLayer* layer) {
  const bool linear = frame.deep() && frame.plate.image().spec().format.is_floating_point();
  if (values.exposure() != 0 && !linear) {
    throw UsageError(std::string(kExposureNeedsLinear) + "; this frame holds integer samples");
  }
  if (frame.deep()) return RenderOntoPlate(effect, frame.plate.image(), values, settings, look, precision, layer);
  if (frame.stored()) {
    // A layer a thread serves each frame of a video, rather than megabytes made for each.
    thread_local FlareLayer reused;
    FlareLayer& flare = layer ? *layer : reused;
    const CommandResult result =
        RenderLayer(effect, values, settings, precision, frame.samples.width(), frame.samples.height(), flare);
    if (!result.ok()) return result;
    CompositeFlare(frame.samples, flare, BlendWeight(values->blend), look);
    return result;
  }
  ImageBuffer output(frame.image.width(), frame.image.height());
  const CommandResult result = effect.Render(frame.image, output, values, settings);
  if (!result.ok()) return result;
  frame.image = std::move(output);
  if (!layer) return result;
  return RenderLayer(effect, values, settings, precision, frame.image.width(), frame.image.height(), *layer);
}

}  // namespace lfhost
