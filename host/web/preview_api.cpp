#include "host/web/preview_api.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "host/core/control_values.h"
#include "host/core/host_error.h"
#include "host/media/keys_file.h"

namespace lfweb {
namespace {

using nlohmann::json;

// Display flag 1 marks a slider that holds a percentage.
std::string UnitFor(int16_t displayFlags) { return (displayFlags & 1) ? "%" : ""; }

[[noreturn]] void Malformed(const std::string& message) { throw lfhost::HostError(message, lfhost::ErrorKind::Malformed); }

}  // namespace

std::string ShellQuote(const std::string& text) {
  static constexpr std::string_view kPlain =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-./:@%+=,";
  if (!text.empty() && text.find_first_not_of(kPlain) == std::string::npos) return text;
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') quoted += "'\\''";
    else quoted += c;
  }
  return quoted + "'";
}

lfhost::AnimatedControls ParseKeys(const json& keys, const lfhost::EffectControls& controls) {
  if (!keys.is_object()) Malformed("keys must be a JSON object, as a --keys file holds");
  lfhost::AnimatedControls parsed = lfhost::ParseKeyframeJson(keys.dump(), "keys", lfhost::ControlReader(controls));
  if (parsed.centerTrack) {
    throw lfhost::UsageError("keys: \"center\": a track file is read by render only; load the keys of a track instead");
  }
  return parsed;
}

RenderRequest ParseRenderRequest(std::string_view body, const lfhost::EffectControls& controls, int32_t width,
                                 int32_t height, FrameSpan frames) {
  json doc;
  try {
    doc = lfhost::ParseBoundedJson(body, "the request body");
  } catch (const lfhost::HostError& e) {
    // The keys file's reader words it; a body that is not JSON is malformed.
    Malformed(e.what());
  }
  if (doc.is_discarded()) Malformed("the request body is not valid JSON");
  if (!doc.is_object()) Malformed("the request body must be a JSON object, such as {\"lens\": 2}");

  std::optional<int32_t> maxWidth;
  std::optional<int64_t> frame;
  lfhost::AnimatedControls keys;
  const lfhost::ControlReader reader(controls);
  lfhost::AnimatedControls read;
  for (const auto& [key, value] : doc.items()) {
    if (const std::optional<lfhost::ControlId> id = lfhost::ControlFromKey(key)) {
      reader.Add(read, *id, key, std::nullopt, lfhost::ControlInputOf(value));
    } else if (key == "maxWidth") {
      const bool valid = value.is_number_integer() &&
                         (value.is_number_unsigned() ? value.get<uint64_t>() <= lfhost::kMaxFrameSide
                                                     : value.get<int64_t>() >= 1 && value.get<int64_t>() <= lfhost::kMaxFrameSide) &&
                         value.get<int64_t>() >= 1;
      if (!valid) Malformed("maxWidth must be a whole number from 1 to 32767");
      maxWidth = static_cast<int32_t>(value.get<int64_t>());
    } else if (key == "frame") {
      if (!value.is_number_integer() || value.get<int64_t>() < frames.first || value.get<int64_t>() > frames.last) {
        Malformed("frame must be a whole number from " + std::to_string(frames.first) + " to " +
                  std::to_string(frames.last));
      }
      frame = value.get<int64_t>();
    } else if (key == "keys") {
      keys = ParseKeys(value, controls);
    } else {
      Malformed("unknown control \"" + key + "\" (known: center, brightness, lens, blend, maxWidth, frame, keys)");
    }
  }
  lfhost::AnimatedControls all = keys;
  all.OverrideWith(read);
  // The checks and messages of a render's controls, for the frame asked for.
  const lfhost::CheckedControls checked(std::move(all), controls, width, height);
  return RenderRequest{checked.At(frame.value_or(frames.first)), maxWidth, frame, std::move(keys)};
}

json ValuesJson(const lfhost::ParamValues& values, double exposure) {
  return {{"center", {lfhost::FromFix16(values.centerX), lfhost::FromFix16(values.centerY)}},
          {"brightness", values.brightness},
          {"lens", values.lensType},
          {"blend", lfhost::FromFix16(values.blend)},
          {"exposure", exposure}};
}

json ControlsJson(const lfhost::EffectControls& controls, const PreviewFrame& frame) {
  const int32_t width = frame.image.width();
  const int32_t height = frame.image.height();
  const lfhost::ParamValues defaults = lfhost::DefaultParamValues(controls, width, height);

  const PointValue& point = controls.center.record.value.point;
  json center = {{"key", "center"},
                 {"name", controls.center.record.name},
                 {"kind", "point"},
                 {"default", {lfhost::FromFix16(defaults.centerX), lfhost::FromFix16(defaults.centerY)}},
                 {"defaultPercent", {lfhost::FromFix16(point.defaultX), lfhost::FromFix16(point.defaultY)}}};

  const FloatSliderValue& b = controls.brightness.record.value.floatSlider;
  json brightness = {{"key", "brightness"},  {"name", controls.brightness.record.name},
                     {"kind", "slider"},     {"min", b.validMin},
                     {"max", b.validMax},    {"sliderMin", b.sliderMin},
                     {"sliderMax", b.sliderMax}, {"default", b.defaultValue},
                     {"precision", b.precision}, {"unit", UnitFor(b.displayFlags)}};

  const PopupValue& p = controls.lensType.record.value.popup;
  json choices = json::array();
  for (size_t i = 0; i < controls.lensType.choices.size() && i < static_cast<size_t>(std::max<int16_t>(p.numChoices, 0)); ++i) {
    choices.push_back({{"value", static_cast<int>(i + 1)}, {"name", controls.lensType.choices[i]}});
  }
  json lens = {{"key", "lens"}, {"name", controls.lensType.record.name}, {"kind", "popup"},
               {"choices", choices}, {"default", p.defaultChoice}};

  const FixedSliderValue& f = controls.blend.record.value.fixedSlider;
  json blend = {{"key", "blend"},
                {"name", controls.blend.record.name},
                {"kind", "slider"},
                {"min", lfhost::FromFix16(f.validMin)},
                {"max", lfhost::FromFix16(f.validMax)},
                {"sliderMin", lfhost::FromFix16(f.sliderMin)},
                {"sliderMax", lfhost::FromFix16(f.sliderMax)},
                {"default", lfhost::FromFix16(f.defaultValue)},
                {"precision", f.precision},
                {"unit", UnitFor(f.displayFlags)}};

  json interpolations = json::array();
  for (auto how : {lfhost::Interpolation::Linear, lfhost::Interpolation::Hold, lfhost::Interpolation::Ease,
                   lfhost::Interpolation::EaseIn, lfhost::Interpolation::EaseOut, lfhost::Interpolation::Smooth}) {
    interpolations.push_back(lfhost::InterpolationName(how));
  }
  json about = {{"width", width}, {"height", height}, {"label", frame.label}, {"number", frame.settings.frame}};
  // A timeline's frames run from first to last, without gaps.
  if (frame.timeline) about["timeline"] = {{"first", frame.timeline->first}, {"last", frame.timeline->last}};
  json shown = {center, brightness, lens, blend};
  // The host's exposure, where the frame is scene-linear: a slider in stops.
  if (frame.sceneLinear()) {
    shown.push_back({{"key", "exposure"}, {"name", lfhost::kExposureName}, {"kind", "slider"},
                     {"min", -lfhost::kExposureStops}, {"max", lfhost::kExposureStops}, {"sliderMin", -8.0},
                     {"sliderMax", 8.0}, {"default", 0.0}, {"precision", 2}, {"unit", "stops"}});
  }
  return {{"frame", about},
          {"controls", shown},
          {"defaults", ValuesJson(defaults)},
          {"keysFile", kKeysFileName},
          {"interpolations", interpolations}};
}

std::string ReproduceCommand(const lfhost::ParamValues& values, const lfhost::EffectControls& controls,
                             const CommandContext& context, std::optional<int64_t> frame,
                             const lfhost::AnimatedControls* keys, double exposure) {
  std::string command = "lensflare render";
  for (const std::string& arg : context.renderArgs) command += " " + ShellQuote(arg);
  if (frame) command += " --frames " + std::to_string(*frame);
  command += " -o " + ShellQuote(context.outputName);
  const bool keyed[] = {keys && !keys->center.empty(), keys && !keys->brightness.empty(),
                        keys && !keys->lensType.empty(), keys && !keys->blend.empty(),
                        keys && !keys->exposure.empty()};
  if (std::find(std::begin(keyed), std::end(keyed), true) != std::end(keyed)) command += std::string(" --keys ") + kKeysFileName;
  for (const auto& [option, text] : lfhost::ControlArguments(values, controls, exposure)) {
    const std::optional<lfhost::ControlId> id = lfhost::ControlFromKey(option.substr(2));
    if (!id || !keyed[static_cast<int>(*id)]) command += " " + option + " " + text;
  }
  const lfhost::FrameSettings& s = context.settings;
  // Always: without it, render would take the aspect from the input's header,
  // which may have changed or be read otherwise by then.
  command += " --par " + std::to_string(s.pixelAspectNum) + ":" + std::to_string(s.pixelAspectDen);
  if (s.seed != 0) command += " --seed " + std::to_string(s.seed);
  if (!context.pluginPath.empty()) command += " --plugin " + ShellQuote(context.pluginPath);
  return command;
}

}  // namespace lfweb
