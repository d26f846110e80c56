// The four controls: how a user's settings (pixels or percent, a lens name, a
// percentage) become the values the module receives, checked against the ranges
// the module declared.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/core/host_callbacks.h"
#include "shell/host_protocol.h"

namespace lfhost {

// Values exactly as the module receives them in the four records.
struct ParamValues {
  Fix16 centerX = 0;        // pixels, 16.16
  Fix16 centerY = 0;
  double brightness = 0;    // percent
  int32_t lensType = 1;     // 1..3
  Fix16 blend = 0;          // percent, 16.16
};

// The 16.16 weight the module's blend gives the untouched frame for Blend With
// Original `blend` (16.16 percent): the module's own BlendRatio without the
// low-brightness fade, which a flare layer already carries. The flare keeps
// (65536 - weight) / 65536 of itself.
int32_t BlendWeight(Fix16 blend);

// One coordinate of the flare centre as a user gives it.
struct Coordinate {
  double value = 0;
  bool percent = false;     // "40%" is 40 percent of the frame's width or height
};

// A user's settings; anything unset takes the module's declared default.
struct ControlSettings {
  std::optional<Coordinate> centerX, centerY;
  std::optional<double> brightness;     // percent
  std::optional<int32_t> lensType;      // 1..3
  std::optional<double> blendPercent;   // percent
  std::optional<double> exposure;       // stops; the host's own (default 0)
};

// Exposure, the host's control beside the module's four: the flare layer of a
// floating-point (scene-linear) plate is scaled by 2^stops in linear light,
// after its conversion from sRGB, so its core can reach a plate's highlights.
// Integer (display-referred) plates take none.
inline constexpr const char* kExposureName = "Exposure";
inline constexpr double kExposureStops = 20;   // accepted from -20 to 20 stops

// The four controls in declaration order, pulled out of the module's addParam
// calls; throws HostError if it did not declare point, float slider, popup and
// fixed slider in that order, or a blend range without 0 (a flare layer is
// rendered with Blend With Original 0).
struct EffectControls {
  DeclaredParam center, brightness, lensType, blend;
  static EffectControls FromDeclared(const std::vector<DeclaredParam>& declared);
};

// A lens choice's short name, from its declared name: its focal length when it
// has one ("35mm Prime" -> "35mm"), else the last word of the name ("50-300mm
// Zoom" -> "zoom"), in lower case.
std::string LensShortName(const std::string& declaredName);
// The lenses a user may name, for messages: "1 to 3, zoom, 35mm or 105mm".
std::string LensChoicesText(const EffectControls& controls);

// Rounds to the nearest 1/65536; nullopt if the result does not fit 32 bits.
std::optional<Fix16> ToFix16(double value);
double FromFix16(Fix16 value);

// The declared defaults for a frame: the centre default is read as percent of
// the frame, as compositing hosts read point defaults, so (40, 40) becomes
// (0.4 x width, 0.4 x height) pixels.
ParamValues DefaultParamValues(const EffectControls& controls, int32_t width, int32_t height);

// Values the module accepts: each inside the range its control declared (the
// first of the two slider ranges is the accepted range, the second the
// slider's), the lens type one of the popup's choices. Only the checks below
// and CheckedControls make one, so a render takes it without a check of its own.
class CheckedParams {
 public:
  const ParamValues& values() const { return values_; }
  const ParamValues* operator->() const { return &values_; }
  // Stops of exposure for the flare layer (ControlSettings::exposure).
  double exposure() const { return exposure_; }
  // The same with Blend With Original 0, as a flare layer alone is rendered.
  CheckedParams Unblended() const;

 private:
  explicit CheckedParams(const ParamValues& values, double exposure = 0) : values_(values), exposure_(exposure) {}
  ParamValues values_;
  double exposure_ = 0;

  friend CheckedParams CheckParams(const ParamValues&, const EffectControls&, const std::string&);
  friend CheckedParams ResolveParams(const ControlSettings&, const EffectControls&, int32_t, int32_t,
                                     const std::string&);
  friend class CheckedControls;
};

// Refusals throw HostError (usage) "WHERE: Flare Brightness 300.5 is outside 0
// to 300", or "Flare Brightness: 300.5 is outside 0 to 300" where `where` is
// empty.
CheckedParams CheckParams(const ParamValues& values, const EffectControls& controls, const std::string& where = "");
// Settings to values for a frame of this size. Percent coordinates convert to
// pixels first (percent / 100 x size), then to 16.16 by rounding. Refusals are
// in pixels and percent: a centre coordinate the module cannot hold (-32768 to
// 32767.99998 pixels), a value outside its declared range.
CheckedParams ResolveParams(const ControlSettings& settings, const EffectControls& controls, int32_t width,
                            int32_t height, const std::string& where = "");
// The conversion alone, for settings already checked at this size.
ParamValues ConvertSettings(const ControlSettings& settings, const EffectControls& controls, int32_t width,
                            int32_t height);

// Lines describing one control for `lensflare info`: name, kind, range, default,
// choices.
std::vector<std::string> DescribeParam(const DeclaredParam& param);
std::string ParamKindName(int32_t kind);

}  // namespace lfhost
