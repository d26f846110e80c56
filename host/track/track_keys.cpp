#include "host/track/track_keys.h"

#include <cmath>
#include <cstdio>
#include <iterator>

#include "host/track/visibility.h"

namespace lftrack {
namespace {

// The shortest text of a value KeyValue rounded: "612.125", "400.5", "100".
std::string KeyText(double value) {
  char text[48];
  std::snprintf(text, sizeof text, "%.3f", value);
  std::string s = text;
  s.erase(s.find_last_not_of('0') + 1);
  if (s.back() == '.') s.pop_back();
  return s == "-0" ? "0" : s;
}

double Pixels(const std::optional<lfhost::Coordinate>& c, Fix16 fallback, int32_t size) {
  if (!c) return lfhost::FromFix16(fallback);
  return c->percent ? c->value / 100.0 * size : c->value;
}

}  // namespace

double KeyValue(double value) { return std::round(value * 1000) / 1000; }

lfhost::Track<lfhost::CenterPoint> CenterKeys(const std::vector<int64_t>& frames, const std::vector<Point>& centres) {
  lfhost::Track<lfhost::CenterPoint> track;
  for (size_t i = 0; i < frames.size(); ++i) {
    track.keys[frames[i]] = {{KeyValue(centres[i].x), false}, {KeyValue(centres[i].y), false}};
  }
  return track;
}

Point CenterAt(const lfhost::AnimatedControls& controls, const lfhost::ParamValues& defaults, int64_t frame,
               int32_t width, int32_t height) {
  const lfhost::ControlSettings s = controls.At(frame, width, height);
  return {Pixels(s.centerX, defaults.centerX, width), Pixels(s.centerY, defaults.centerY, height)};
}

lfhost::Track<double> ScaledBrightness(const lfhost::AnimatedControls& controls, double defaultBrightness,
                                       const std::vector<int64_t>& frames, const std::vector<Point>& centres,
                                       const BrightnessScale& scale) {
  lfhost::Track<double> track;
  for (size_t i = 0; i < frames.size(); ++i) {
    double b = controls.At(frames[i], scale.width, scale.height).brightness.value_or(defaultBrightness);
    if (scale.visibility) b *= (*scale.visibility)[i];
    if (scale.edgeFade) b *= EdgeFade(centres[i], scale.width, scale.height, *scale.edgeFade);
    track.keys[frames[i]] = KeyValue(b);
  }
  // Keys interpolate linearly, so one between two neighbours on its line adds nothing.
  for (auto it = std::next(track.keys.begin()); track.keys.size() > 2 && std::next(it) != track.keys.end();) {
    const auto before = std::prev(it), after = std::next(it);
    const double t = static_cast<double>(it->first - before->first) / static_cast<double>(after->first - before->first);
    if (std::fabs(before->second + (after->second - before->second) * t - it->second) < 1e-9) {
      it = track.keys.erase(it);
    } else {
      ++it;
    }
  }
  return track;
}

std::string KeysJson(const lfhost::AnimatedControls& controls) {
  std::string json = "{";
  auto field = [&](const char* name, const auto& keys, auto text) {
    if (keys.empty()) return;
    json += std::string(json.size() > 1 ? ",\n" : "\n") + "  \"" + name + "\": {";
    const char* comma = "\n";
    for (const auto& [frame, value] : keys) {
      json += comma + std::string("    \"") + std::to_string(frame) + "\": " + text(value);
      comma = ",\n";
    }
    json += "\n  }";
  };
  field("center", controls.center.keys,
        [](const lfhost::CenterPoint& c) { return "[" + KeyText(c.x.value) + ", " + KeyText(c.y.value) + "]"; });
  field("brightness", controls.brightness.keys, [](double b) { return KeyText(b); });
  return json + "\n}\n";
}

}  // namespace lftrack
