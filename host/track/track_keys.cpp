#include "host/track/track_keys.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <iterator>

#include "host/track/visibility.h"

namespace lftrack {
namespace {

// The shortest text that reads back as exactly `value`: "612.125", "400.5",
// "100" (a value KeyValue rounded has at most three decimals).
std::string KeyText(double value) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  const std::string s(text, end);
  return s == "-0" ? "0" : s;
}

std::string CoordinateText(const lfhost::Coordinate& c) {
  return c.percent ? "\"" + KeyText(c.value) + "%\"" : KeyText(c.value);
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
  // A track as its field: one value for every frame, or one key a line, a key
  // that does not go on linearly written with its interpolation.
  auto field = [&](const char* name, const auto& track, auto text) {
    if (track.empty()) return;
    json += std::string(json.size() > 1 ? ",\n" : "\n") + "  \"" + name + "\": ";
    if (track.constant) {
      json += text(*track.constant);
      return;
    }
    json += "{";
    const char* comma = "\n";
    for (const auto& [frame, value] : track.keys) {
      json += comma + std::string("    \"") + std::to_string(frame) + "\": ";
      const auto how = track.interpolation.find(frame);
      if (how == track.interpolation.end() || how->second == lfhost::Interpolation::Linear) {
        json += text(value);
      } else {
        json += "{\"value\": " + text(value) + ", \"ease\": \"" + lfhost::InterpolationName(how->second) + "\"}";
      }
      comma = ",\n";
    }
    json += "\n  }";
  };
  field("center", controls.center,
        [](const lfhost::CenterPoint& c) { return "[" + CoordinateText(c.x) + ", " + CoordinateText(c.y) + "]"; });
  field("brightness", controls.brightness, [](double b) { return KeyText(b); });
  field("lens", controls.lensType, [](int32_t lens) { return std::to_string(lens); });
  field("blend", controls.blend, [](double b) { return KeyText(b); });
  field("exposure", controls.exposure, [](double stops) { return KeyText(stops); });
  return json + "\n}\n";
}

}  // namespace lftrack
