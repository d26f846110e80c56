// The flare onto plates deeper than 8 bits. The module draws its flare as a
// screen over the frame, and Blend With Original cross-fades the untouched frame
// back, which in real arithmetic is the same screen with the flare scaled by
// (1 - blend): p + (1 - p) x (1 - b) x F. So the flare is rendered once over
// opaque black, at the plate's display-window size and with Blend With
// Original 0 (its low-brightness fade stays in that layer): by the module at 8
// bits, or at full precision by the renderer the host links (FlarePrecision).
// The host puts that layer onto the plate at the plate's own precision,
// applying Blend With Original there. Display-referred (integer) plates are screened;
// scene-linear (half, float) plates get the layer converted from its sRGB
// encoding into their colour space, then added.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <OpenImageIO/color.h>
#include <OpenImageIO/imagebuf.h>

#include "host/core/command_result.h"
#include "host/core/effect_instance.h"
#include "host/core/image_buffer.h"
#include "host/media/media_frame.h"

namespace lfhost {

enum class CompositeMode { Screen, Add };
// "screen", "add".
std::optional<CompositeMode> ParseCompositeMode(const std::string& text);

// Which render gives a plate its flare layer: the module's exact 8-bit render,
// or the same flare drawn at full precision by the renderer the host links
// (EffectInstance::RenderFull), with no 8-bit steps in it.
enum class FlarePrecision { Exact, Full };
// "exact", "full".
std::optional<FlarePrecision> ParseFlarePrecision(const std::string& text);

// The flare over black, as one of the two renders drew it.
struct FlareLayer {
  FlarePrecision precision = FlarePrecision::Exact;
  ImageBuffer exact;   // the module's render (8-bit A, R, G, B) when Exact
  FullFlare full;      // when Full

  int32_t width() const { return precision == FlarePrecision::Full ? full.width : exact.width(); }
  int32_t height() const { return precision == FlarePrecision::Full ? full.height : exact.height(); }
  // Whether the flare reaches pixel (x, y): every composite leaves a black one alone.
  bool lit(int32_t x, int32_t y) const {
    if (precision == FlarePrecision::Full) {
      const float* p = full.row(y) + 3 * static_cast<size_t>(x);
      return p[0] != 0.0f || p[1] != 0.0f || p[2] != 0.0f;
    }
    const uint8_t* p = exact.row(y) + 4 * static_cast<size_t>(x);
    return (p[1] | p[2] | p[3]) != 0;
  }
};

// How the flare layers of one render go onto its plates, settled once: the
// operator, and the conversion of the layer's sRGB values into the plate's
// colour space (OpenImageIO's colour management: the OpenColorIO configuration
// $OCIO names, else OpenImageIO's built-in one). Shared by the frames in flight.
class PlateLook {
 public:
  // For plates whose colour samples are `type`: `mode`, else screen for integer
  // and add for floating-point samples; `colourSpace`, else the configuration's
  // scene-linear space for floating-point samples and sRGB (nothing to convert)
  // for integer ones. Throws HostError naming a colour space the configuration
  // does not know.
  static PlateLook For(OIIO::TypeDesc type, std::optional<CompositeMode> mode, const std::string& colourSpace);
  CompositeMode mode() const { return mode_; }
  const std::string& colourSpace() const { return colourSpace_; }

  // The flare's share of each R, G, B value of `count` layer pixels (8-bit A, R,
  // G, B), in the plate's colour space, times `scale`: 3 floats a pixel.
  void Amounts(const uint8_t* layerRow, int32_t count, float scale, float* amounts) const;
  // The same for `count` pixels of a full-precision layer (3 floats a pixel).
  void Amounts(const float* layerRow, int32_t count, float scale, float* amounts) const;
  // Plate colour in place (3 floats a pixel) to sRGB for a screen.
  void ToDisplay(float* rgb, int32_t count) const;
  // Whether the layer's values are converted on their way to the plate (they
  // are not for an sRGB plate: a byte is then its share of full scale).
  bool converts() const { return toPlate_ != nullptr; }

  struct Conversion;   // a colour processor and its curves

 private:
  CompositeMode mode_ = CompositeMode::Screen;
  std::string colourSpace_;
  std::shared_ptr<const Conversion> toPlate_, toDisplay_;   // null: none
  std::shared_ptr<const Conversion> toPlateFine_;           // toPlate_ for full-precision layers
};

// BlendWeight: host/core/effect_params.h.

// A layer byte's share of full scale, before any conversion and scale.
inline float ByteShare(uint8_t value) { return static_cast<float>(value) / 255.0f; }

// The factor each layer amount is multiplied by once it is in the plate's
// colour space: the share Blend With Original leaves the flare, (65536 -
// weight) / 65536, and 2^exposure in linear light (exposure 0 multiplies by
// exactly 1).
float LayerScale(int32_t weight, double exposure);
// Why exposure is refused where the flare goes onto integer samples.
inline constexpr const char* kExposureNeedsLinear =
    "exposure scales the flare in linear light, for floating-point (scene-linear) plates only";

// Composites `layer` (the module's render over opaque black at Blend With
// Original 0, the size of the plate's display window) onto the plate's R, G, B
// at the plate's precision, the layer scaled by (65536 - weight) / 65536:
// screen p + (1 - p) a or add p + a, a the layer's share (PlateLook::Amounts).
// Only the data window's pixels inside the display window can be reached.
// Alpha and every other channel stay as they are, and so does every pixel whose
// layer pixel is black, bit for bit (values above 1.0, negative zeros and NaNs
// included).
// `exposure`: stops of exposure for a floating-point plate (LayerScale).
void CompositeFlare(OIIO::ImageBuf& plate, const FlareLayer& layer, int32_t weight, const PlateLook& look,
                    double exposure = 0);

// The flare alone as `frame` gets it, over black: R, G, B over the frame's
// display window, in the frame's own sample type (8 bits for an 8-bit frame;
// a depth asked for is the writer's, which converts it as it does the plate),
// with a plate's header fields. Float samples hold the share a, integer ones
// round(max x a): screened or added onto the frame elsewhere, it gives the render.
Plate FlarePass(const FlareLayer& layer, int32_t weight, const PlateLook& look, const MediaFrame& frame,
                double exposure = 0);

// An 8-bit frame as a plate of 8-bit R, G, B (and A where `alpha`), for a frame
// that is rendered at depth though it was read at 8 bits.
Plate PlateFromImage(const ImageBuffer& image, bool alpha);

// The plate's display window for a screen: colour converted to sRGB (see
// PlateLook::ToDisplay) and rounded to 8 bits, clamped to 0..1; pixels outside
// the data window black.
ImageBuffer PlateForDisplay(const OIIO::ImageBuf& plate, const PlateLook& look);

// The flare over black at `width` x `height` in `precision`: the module's
// render of `values` with Blend With Original 0, or the full-precision one.
CommandResult RenderLayer(EffectInstance& effect, const CheckedParams& values, const FrameSettings& settings,
                          FlarePrecision precision, int32_t width, int32_t height, FlareLayer& layer);

// Renders the flare onto one plate, held in an ImageBuf of any sample type:
// the layer over black in `precision` (RenderLayer), then CompositeFlare
// applies `values`' Blend With Original. `layer`, when given, receives the
// layer. A result that is not ok leaves the plate as it was.
CommandResult RenderOntoPlate(EffectInstance& effect, OIIO::ImageBuf& plate, const CheckedParams& values,
                              const FrameSettings& settings, const PlateLook& look,
                              FlarePrecision precision = FlarePrecision::Exact, FlareLayer* layer = nullptr);

// Renders the flare onto a frame: an 8-bit one by the module itself, exactly as
// it always did, a deep one by RenderOntoPlate in `precision`, stored video
// samples by rendering the layer over black in `precision` and compositing it
// (sample_composite.h). `layer`, when given, receives the flare over black in
// `precision` (rendered a second time for an 8-bit frame).
CommandResult RenderOnto(EffectInstance& effect, MediaFrame& frame, const CheckedParams& values,
                         const FrameSettings& settings, const PlateLook& look,
                         FlarePrecision precision = FlarePrecision::Exact, FlareLayer* layer = nullptr);

}  // namespace lfhost
