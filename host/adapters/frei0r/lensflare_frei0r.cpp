// The flare as a frei0r filter. ffmpeg's frei0r filter and MLT (melt, and the
// editors built on it) load it as lensflare.so from their frei0r folders; it
// finds LensFlare.so as the tool does (lfadapter::FlareFilter).
//
// Controls. frei0r hosts hand doubles that editors show as 0..1 sliders, so
// each one spans the range the module declares for its control:
//   0 Center X, 1 Center Y   the centre as a fraction of the frame's width and
//                            height (pixels = value x size); beyond 0..1 puts it
//                            off the frame
//   2 Brightness             declared minimum + value x (maximum - minimum)
//   3 Lens                   the choice nearest 1 + value x (choices - 1)
//   4 Blend                  as Brightness, over the blend's percent range
// A control never set takes the module's declared default. The centre is two
// doubles rather than one frei0r position because MLT sets no position
// parameter. A value outside 0..1 (or not a number) is refused: the control
// keeps its value and one "lensflare: ..." line says so.
//
// Seeds. frei0r gives a time but no frame number, rate or seed. Frame n of the
// tool (seed 0) is rendered with n = round(time x 1000) modulo 2^32: the
// frei0r standard counts seconds, so melt's n is the frame's millisecond,
// while ffmpeg hands milliseconds, so its n counts microseconds. Either way a
// frame's rays are the same on every run and differ from frame to frame.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "host/adapters/flare_filter.h"

// The header declares the entry points without C linkage for C++.
extern "C" {
#include <frei0r.h>
}

namespace {

enum Control { kCenterX, kCenterY, kBrightness, kLens, kBlend, kControlCount };

constexpr f0r_param_info_t kControls[kControlCount] = {
    {"Center X", F0R_PARAM_DOUBLE, "Flare centre across the frame: 0 the left edge, 1 the right"},
    {"Center Y", F0R_PARAM_DOUBLE, "Flare centre down the frame: 0 the top edge, 1 the bottom"},
    {"Brightness", F0R_PARAM_DOUBLE, "Flare brightness, 0 to 1 over the plug-in's range (0 to 300 percent)"},
    {"Lens", F0R_PARAM_DOUBLE, "Lens type: 0 the first choice, 0.5 the second, 1 the third"},
    {"Blend", F0R_PARAM_DOUBLE, "Blend with the original, 0 to 1 over 0 to 100 percent"},
};

// A declared range and how a 0..1 value lands in it.
struct Span {
  double min, max;
  double At(double fraction) const { return min + fraction * (max - min); }
  double FractionOf(double value) const { return max == min ? 0 : (value - min) / (max - min); }
};

Span SpanOf(Control c, const lfhost::EffectControls& controls) {
  switch (c) {
    case kBrightness: {
      const FloatSliderValue& v = controls.brightness.record.value.floatSlider;
      return {v.validMin, v.validMax};
    }
    case kLens: return {1, static_cast<double>(controls.lensType.record.value.popup.numChoices)};
    case kBlend: {
      const FixedSliderValue& v = controls.blend.record.value.fixedSlider;
      return {lfhost::FromFix16(v.validMin), lfhost::FromFix16(v.validMax)};
    }
    default: return {0, 1};  // the centre: a fraction of the frame
  }
}

// The module's declared default, as the 0..1 value that gives it.
double DefaultOf(Control c, const lfhost::EffectControls& controls) {
  const PointValue& centre = controls.center.record.value.point;
  switch (c) {
    case kCenterX: return lfhost::FromFix16(centre.defaultX) / 100;  // percent of the frame
    case kCenterY: return lfhost::FromFix16(centre.defaultY) / 100;
    case kBrightness: return SpanOf(c, controls).FractionOf(controls.brightness.record.value.floatSlider.defaultValue);
    case kLens: return SpanOf(c, controls).FractionOf(controls.lensType.record.value.popup.defaultChoice);
    default: return SpanOf(c, controls).FractionOf(lfhost::FromFix16(controls.blend.record.value.fixedSlider.defaultValue));
  }
}

int64_t FrameOfTime(double time) {
  const double thousandths = std::round(time * 1000.0);
  return std::isfinite(thousandths) ? static_cast<int64_t>(std::fmod(thousandths, 4294967296.0)) : 0;
}

struct Instance {
  Instance(unsigned w, unsigned h) : width(static_cast<int32_t>(w)), height(static_cast<int32_t>(h)) {}

  lfhost::ControlSettings Settings() const {
    const lfhost::EffectControls& controls = flare.controls();
    lfhost::ControlSettings s;
    if (value[kCenterX]) s.centerX = lfhost::Coordinate{*value[kCenterX] * width, false};
    if (value[kCenterY]) s.centerY = lfhost::Coordinate{*value[kCenterY] * height, false};
    if (value[kBrightness]) s.brightness = SpanOf(kBrightness, controls).At(*value[kBrightness]);
    if (value[kLens]) s.lensType = static_cast<int32_t>(std::lround(SpanOf(kLens, controls).At(*value[kLens])));
    if (value[kBlend]) s.blendPercent = SpanOf(kBlend, controls).At(*value[kBlend]);
    return s;
  }

  // Hosts repeat a setting or a failing frame many times; one line each is enough.
  void Report(const std::string& message) {
    if (message != lastReport) lfadapter::ReportError(message);
    lastReport = message;
  }

  const int32_t width, height;
  std::mutex mutex;  // MLT may set values and render from different threads
  lfadapter::FlareFilter flare;
  std::optional<double> value[kControlCount];
  std::string lastReport;
};

}  // namespace

extern "C" {

int f0r_init() { return 1; }

void f0r_deinit() {}

void f0r_get_plugin_info(f0r_plugin_info_t* info) {
  info->name = "Lens Flare";
  info->author = "Lens Flare developers";
  info->plugin_type = F0R_PLUGIN_TYPE_FILTER;
  info->color_model = F0R_COLOR_MODEL_RGBA8888;
  info->frei0r_version = FREI0R_MAJOR_VERSION;
  info->major_version = 1;
  info->minor_version = 0;
  info->num_params = kControlCount;
  info->explanation = "A lens flare drawn onto the frame";
}

void f0r_get_param_info(f0r_param_info_t* info, int index) {
  if (index >= 0 && index < kControlCount) *info = kControls[index];
}

f0r_instance_t f0r_construct(unsigned int width, unsigned int height) {
  try {
    return new Instance(width, height);
  } catch (const std::exception& e) {
    lfadapter::ReportError(e.what());
    return nullptr;
  }
}

void f0r_destruct(f0r_instance_t instance) { delete static_cast<Instance*>(instance); }

void f0r_set_param_value(f0r_instance_t instance, f0r_param_t param, int index) {
  auto* self = static_cast<Instance*>(instance);
  if (!self || !param || index < 0 || index >= kControlCount) return;
  const double v = *static_cast<const double*>(param);
  const std::lock_guard<std::mutex> lock(self->mutex);
  const bool centre = index == kCenterX || index == kCenterY;
  if (!std::isfinite(v) || (!centre && (v < 0 || v > 1))) {
    char text[64];
    std::snprintf(text, sizeof text, "%.10g", v);
    self->Report(std::string(kControls[index].name) + ": " + text + " is outside 0 to 1; kept " +
                 (self->value[index] ? "the value before" : "the default"));
    return;
  }
  self->value[index] = v;
}

void f0r_get_param_value(f0r_instance_t instance, f0r_param_t param, int index) {
  auto* self = static_cast<Instance*>(instance);
  if (!self || !param || index < 0 || index >= kControlCount) return;
  const std::lock_guard<std::mutex> lock(self->mutex);
  const auto c = static_cast<Control>(index);
  *static_cast<double*>(param) = self->value[c].value_or(DefaultOf(c, self->flare.controls()));
}

// A frame the flare cannot be drawn on (too large, a centre too far away, a
// failed render) passes unchanged, with one line saying why.
void f0r_update(f0r_instance_t instance, double time, const uint32_t* inframe, uint32_t* outframe) {
  auto* self = static_cast<Instance*>(instance);
  if (!self || !inframe || !outframe) return;
  const std::lock_guard<std::mutex> lock(self->mutex);
  const auto* in = reinterpret_cast<const uint8_t*>(inframe);
  auto* out = reinterpret_cast<uint8_t*>(outframe);
  try {
    self->flare.Render(in, out, self->width, self->height, self->Settings(), {.seed = 0, .frame = FrameOfTime(time)});
  } catch (const std::exception& e) {
    if (out != in) std::memmove(out, in, static_cast<size_t>(self->width) * self->height * 4);
    self->Report(e.what());
  }
}

}  // extern "C"
