#include "host/core/effect_params.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>

#include "host/core/host_error.h"
#include "host/core/lowercase.h"
#include "render/render_flare.h"

namespace lfhost {

// With no fade the module's ratio is trunc(float(blend) / 100): the same
// float steps, so the host and the module cannot drift apart.
int32_t BlendWeight(Fix16 blend) { return BlendRatio(blend, 0.0f); }

namespace {

std::string Number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.10g", v);
  return text;
}

std::string Fix16Text(Fix16 v) { return Number(FromFix16(v)); }

// A refused value: "WHERE: NAME DETAIL", or "NAME: DETAIL" where there is no WHERE.
[[noreturn]] void Refuse(const std::string& where, const DeclaredParam& param, const std::string& detail) {
  const std::string name = param.record.name;
  throw UsageError(where.empty() ? name + ": " + detail : where + ": " + name + " " + detail);
}

void ExpectKind(const DeclaredParam& param, int32_t kind, int position) {
  if (param.record.paramKind != kind) {
    throw HostError("the plug-in declared parameter " + std::to_string(position) + " (\"" +
                    std::string(param.record.name) + "\") as a " + ParamKindName(param.record.paramKind) +
                    ", expected a " + ParamKindName(kind));
  }
}

// Refuses a blend outside its declared range, or beyond 16.16 and so outside
// any, named as the user gave it (`shown`).
void CheckBlend(const std::string& where, const EffectControls& controls, std::optional<Fix16> blend, double shown) {
  const FixedSliderValue& f = controls.blend.record.value.fixedSlider;
  if (blend && *blend >= f.validMin && *blend <= f.validMax) return;
  Refuse(where, controls.blend, Number(shown) + " is outside " + Fix16Text(f.validMin) + " to " + Fix16Text(f.validMax));
}

// A centre coordinate in 16.16 pixels; nothing when the module cannot hold it.
std::optional<Fix16> CoordinateFix16(const Coordinate& c, int32_t size) {
  return ToFix16(c.percent ? c.value / 100.0 * size : c.value);
}

}  // namespace

std::optional<Fix16> ToFix16(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  const double scaled = std::round(value * 65536.0);
  if (scaled < -2147483648.0 || scaled > 2147483647.0) return std::nullopt;
  return static_cast<Fix16>(scaled);
}

double FromFix16(Fix16 value) { return value / 65536.0; }

EffectControls EffectControls::FromDeclared(const std::vector<DeclaredParam>& declared) {
  if (declared.size() != 4) {
    throw HostError("the plug-in declared " + std::to_string(declared.size()) + " parameters, expected 4");
  }
  EffectControls c{declared[0], declared[1], declared[2], declared[3]};
  ExpectKind(c.center, kParamPoint, 1);
  ExpectKind(c.brightness, kParamFloatSlider, 2);
  ExpectKind(c.lensType, kParamPopup, 3);
  ExpectKind(c.blend, kParamFixedSlider, 4);
  const FixedSliderValue& blend = c.blend.record.value.fixedSlider;
  if (blend.validMin > 0 || blend.validMax < 0) {
    throw HostError("the plug-in declared \"" + std::string(c.blend.record.name) + "\" without 0 in its range",
                    ErrorKind::PlugIn);
  }
  return c;
}

ParamValues DefaultParamValues(const EffectControls& controls, int32_t width, int32_t height) {
  ParamValues v;
  // A point default is a percentage of the frame, as compositing hosts read it.
  const PointValue& point = controls.center.record.value.point;
  v.centerX = ToFix16(FromFix16(point.defaultX) / 100.0 * width).value_or(0);
  v.centerY = ToFix16(FromFix16(point.defaultY) / 100.0 * height).value_or(0);
  v.brightness = controls.brightness.record.value.floatSlider.defaultValue;
  v.lensType = controls.lensType.record.value.popup.defaultChoice;
  v.blend = controls.blend.record.value.fixedSlider.defaultValue;
  return v;
}

CheckedParams CheckedParams::Unblended() const {
  CheckedParams layer = *this;
  layer.values_.blend = 0;
  return layer;
}

ParamValues ConvertSettings(const ControlSettings& settings, const EffectControls& controls, int32_t width,
                            int32_t height) {
  ParamValues v = DefaultParamValues(controls, width, height);
  if (settings.centerX) v.centerX = CoordinateFix16(*settings.centerX, width).value_or(0);
  if (settings.centerY) v.centerY = CoordinateFix16(*settings.centerY, height).value_or(0);
  if (settings.brightness) v.brightness = *settings.brightness;
  if (settings.lensType) v.lensType = *settings.lensType;
  if (settings.blendPercent) v.blend = ToFix16(*settings.blendPercent).value_or(0);
  return v;
}

CheckedParams ResolveParams(const ControlSettings& settings, const EffectControls& controls, int32_t width,
                            int32_t height, const std::string& where) {
  auto coordinate = [&](const std::optional<Coordinate>& c, int32_t size, const char* axis) {
    if (!c || CoordinateFix16(*c, size)) return;
    const double pixels = c->percent ? c->value / 100.0 * size : c->value;
    const std::string given = c->percent ? Number(c->value) + "% (" + Number(pixels) + " pixels)" : Number(pixels);
    Refuse(where, controls.center, std::string(axis) + " " + given + " is outside " +
                                       Fix16Text(std::numeric_limits<Fix16>::min()) + " to " +
                                       Fix16Text(std::numeric_limits<Fix16>::max()) + " pixels");
  };
  coordinate(settings.centerX, width, "x");
  coordinate(settings.centerY, height, "y");
  const double stops = settings.exposure.value_or(0);
  if (!(std::abs(stops) <= kExposureStops)) {
    throw UsageError((where.empty() ? std::string(kExposureName) + ":" : where + ": " + kExposureName) + " " +
                     Number(stops) + " is outside " + Number(-kExposureStops) + " to " + Number(kExposureStops) +
                     " stops");
  }
  // Refused in the percent given, not the 16.16 number it rounds to.
  if (settings.blendPercent) CheckBlend(where, controls, ToFix16(*settings.blendPercent), *settings.blendPercent);
  CheckedParams checked = CheckParams(ConvertSettings(settings, controls, width, height), controls, where);
  checked.exposure_ = stops;
  return checked;
}

CheckedParams CheckParams(const ParamValues& values, const EffectControls& controls, const std::string& where) {
  // The point declares no range: a centre off the frame is a valid flare.
  const FloatSliderValue& b = controls.brightness.record.value.floatSlider;
  if (!(values.brightness >= b.validMin && values.brightness <= b.validMax)) {
    Refuse(where, controls.brightness,
           Number(values.brightness) + " is outside " + Number(b.validMin) + " to " + Number(b.validMax));
  }
  const PopupValue& p = controls.lensType.record.value.popup;
  if (values.lensType < 1 || values.lensType > p.numChoices) {
    Refuse(where, controls.lensType, std::to_string(values.lensType) + " is not one of " + LensChoicesText(controls));
  }
  CheckBlend(where, controls, values.blend, FromFix16(values.blend));
  return CheckedParams(values);
}

std::string LensShortName(const std::string& declaredName) {
  const size_t space = declaredName.find(' ');
  const std::string first = declaredName.substr(0, space);
  // A focal length is digits followed by "mm"; a range such as "50-300mm" is not one.
  const bool focalLength = first.size() > 2 && first.compare(first.size() - 2, 2, "mm") == 0 &&
                           first.find_first_not_of("0123456789") == first.size() - 2;
  return Lowercase(focalLength ? first : declaredName.substr(declaredName.rfind(' ') + 1));
}

std::string LensChoicesText(const EffectControls& controls) {
  const size_t count = std::min<size_t>(controls.lensType.choices.size(),
                                        static_cast<size_t>(std::max<int16_t>(controls.lensType.record.value.popup.numChoices, 0)));
  std::string text = "1 to " + std::to_string(controls.lensType.record.value.popup.numChoices);
  for (size_t i = 0; i < count; ++i) {
    text += (i + 1 < count ? ", " : " or ") + LensShortName(controls.lensType.choices[i]);
  }
  return text;
}

std::string ParamKindName(int32_t kind) {
  switch (kind) {
    case kParamFixedSlider: return "fixed-point slider";
    case kParamPoint: return "point";
    case kParamPopup: return "popup";
    case kParamFloatSlider: return "floating-point slider";
    default: return "kind " + std::to_string(kind);
  }
}

std::vector<std::string> DescribeParam(const DeclaredParam& param) {
  const ParamRecord& r = param.record;
  std::vector<std::string> lines;
  lines.push_back(std::string("\"") + r.name + "\" (id " + std::to_string(r.id) + ", " + ParamKindName(r.paramKind) + ")");
  switch (r.paramKind) {
    case kParamPoint: {
      const PointValue& v = r.value.point;
      lines.push_back("range: none");
      lines.push_back("default: " + Fix16Text(v.defaultX) + ", " + Fix16Text(v.defaultY) + " (percent of the frame)");
      break;
    }
    case kParamFloatSlider: {
      const FloatSliderValue& v = r.value.floatSlider;
      lines.push_back("range: " + Number(v.validMin) + " to " + Number(v.validMax) + " (slider " +
                      Number(v.sliderMin) + " to " + Number(v.sliderMax) + ")");
      lines.push_back("default: " + Number(v.defaultValue));
      lines.push_back("precision " + std::to_string(v.precision) + ", display flags " + std::to_string(v.displayFlags));
      break;
    }
    case kParamPopup: {
      const PopupValue& v = r.value.popup;
      lines.push_back("range: 1 to " + std::to_string(v.numChoices));
      lines.push_back("default: " + std::to_string(v.defaultChoice));
      std::string choices = "choices:";
      for (size_t i = 0; i < param.choices.size(); ++i) {
        choices += " " + std::to_string(i + 1) + " \"" + param.choices[i] + "\"";
        if (i + 1 < param.choices.size()) choices += ",";
      }
      lines.push_back(choices);
      break;
    }
    case kParamFixedSlider: {
      const FixedSliderValue& v = r.value.fixedSlider;
      lines.push_back("range: " + Fix16Text(v.validMin) + " to " + Fix16Text(v.validMax) + " (slider " +
                      Fix16Text(v.sliderMin) + " to " + Fix16Text(v.sliderMax) + ")");
      lines.push_back("default: " + Fix16Text(v.defaultValue));
      lines.push_back("precision " + std::to_string(v.precision) + ", display flags " + std::to_string(v.displayFlags));
      break;
    }
    default:
      break;
  }
  return lines;
}

}  // namespace lfhost
