#include "host/core/keyframes.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "host/core/host_error.h"

namespace lfhost {
namespace {

// The keys around `frame`: `before` is the last key at or before it, `after` the
// first key after it; either is end() when there is none.
template <class Value>
struct Neighbours {
  typename std::map<int64_t, Value>::const_iterator before, after;
};

template <class Value>
Neighbours<Value> Around(const std::map<int64_t, Value>& keys, int64_t frame) {
  Neighbours<Value> n{keys.end(), keys.upper_bound(frame)};
  if (n.after != keys.begin()) n.before = std::prev(n.after);
  return n;
}

double Lerp(double a, double b, int64_t frameA, int64_t frameB, int64_t frame) {
  const double t = static_cast<double>(frame - frameA) / static_cast<double>(frameB - frameA);
  return a + (b - a) * t;
}

// A number track at a frame: the key's own value on a keyframe, a straight line
// between two keys, the nearest key's value outside them.
std::optional<double> NumberAt(const Track<double>& track, int64_t frame) {
  if (track.constant) return track.constant;
  if (track.keys.empty()) return std::nullopt;
  const auto [before, after] = Around(track.keys, frame);
  if (before == track.keys.end()) return after->second;
  if (after == track.keys.end() || before->first == frame) return before->second;
  return Lerp(before->second, after->second, before->first, after->first, frame);
}

// One centre coordinate between two keys. Keys of the same kind interpolate in
// that kind, so a percent centre follows the frame; keys of mixed kinds meet in
// pixels, converted as the controls convert them (percent / 100 x size).
Coordinate CoordinateBetween(const Coordinate& a, const Coordinate& b, int64_t frameA, int64_t frameB, int64_t frame,
                             int32_t size) {
  if (a.percent == b.percent) return {Lerp(a.value, b.value, frameA, frameB, frame), a.percent};
  auto pixels = [size](const Coordinate& c) { return c.percent ? c.value / 100.0 * size : c.value; };
  return {Lerp(pixels(a), pixels(b), frameA, frameB, frame), false};
}

std::optional<CenterPoint> CenterAt(const Track<CenterPoint>& track, int64_t frame, int32_t width, int32_t height) {
  if (track.constant) return track.constant;
  if (track.keys.empty()) return std::nullopt;
  const auto [before, after] = Around(track.keys, frame);
  if (before == track.keys.end()) return after->second;
  if (after == track.keys.end() || before->first == frame) return before->second;
  const CenterPoint& a = before->second;
  const CenterPoint& b = after->second;
  return CenterPoint{CoordinateBetween(a.x, b.x, before->first, after->first, frame, width),
                     CoordinateBetween(a.y, b.y, before->first, after->first, frame, height)};
}

std::optional<int32_t> LensAt(const Track<int32_t>& track, int64_t frame) {
  if (track.constant) return track.constant;
  if (track.keys.empty()) return std::nullopt;
  const auto [before, after] = Around(track.keys, frame);
  return before == track.keys.end() ? after->second : before->second;
}

}  // namespace

std::optional<int64_t> ParseFrameNumber(const std::string& text) {
  if (text.empty() || text.size() > 15) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  return std::stoll(text);
}

namespace {

// The origin and frame of a value for messages: "--brightness at frame 24".
std::string Where(const std::string& origin, std::optional<int64_t> frame) {
  return frame ? origin + " at frame " + std::to_string(*frame) : origin;
}

}  // namespace

ControlSettings AnimatedControls::At(int64_t frame, int32_t width, int32_t height) const {
  ControlSettings s;
  if (const auto c = CenterAt(center, frame, width, height)) {
    s.centerX = c->x;
    s.centerY = c->y;
  }
  s.brightness = NumberAt(brightness, frame);
  s.lensType = LensAt(lensType, frame);
  s.blendPercent = NumberAt(blend, frame);
  return s;
}

void AnimatedControls::OverrideWith(const AnimatedControls& other) {
  if (!other.center.empty() || other.centerTrack) {
    center = other.center;
    centerTrack = other.centerTrack;
  }
  if (!other.brightness.empty()) brightness = other.brightness;
  if (!other.lensType.empty()) lensType = other.lensType;
  if (!other.blend.empty()) blend = other.blend;
}

template <class Value>
void AddTrackValue(Track<Value>& track, std::optional<int64_t> frame, const Value& value) {
  if (!frame) {
    if (track.constant) throw HostError(track.origin + ": given twice without a frame");
    if (!track.keys.empty()) {
      throw HostError(track.origin + ": a value without a frame holds for every frame and cannot be mixed with keyframes");
    }
    track.constant = value;
    return;
  }
  if (track.constant) {
    throw HostError(track.origin + ": a value without a frame holds for every frame and cannot be mixed with keyframes");
  }
  if (!track.keys.emplace(*frame, value).second) {
    throw HostError(track.origin + ": frame " + std::to_string(*frame) + " is given twice");
  }
}

template void AddTrackValue(Track<CenterPoint>&, std::optional<int64_t>, const CenterPoint&);
template void AddTrackValue(Track<double>&, std::optional<int64_t>, const double&);
template void AddTrackValue(Track<int32_t>&, std::optional<int64_t>, const int32_t&);

KeyedText SplitKeyedText(const std::string& option, const std::string& text) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos) return {std::nullopt, text};
  const std::string frameText = text.substr(0, eq);
  const std::optional<int64_t> frame = ParseFrameNumber(frameText);
  if (!frame) {
    throw HostError(option + ": \"" + frameText + "\" in \"" + text + "\" is not a frame number (a whole number from 0 up)");
  }
  return {frame, text.substr(eq + 1)};
}

std::optional<int32_t> LensTypeFromText(const std::string& text) {
  if (text == "1" || text == "zoom") return 1;
  if (text == "2" || text == "35mm") return 2;
  if (text == "3" || text == "105mm") return 3;
  return std::nullopt;
}

std::vector<std::string> KeyframesOutside(const AnimatedControls& controls, int64_t first, int64_t last) {
  std::vector<std::string> lines;
  auto scan = [&](const auto& track) {
    for (const auto& key : track.keys) {
      if (key.first < first || key.first > last) {
        lines.push_back(Where(track.origin + " keyframe", key.first) + " lies outside the frames rendered (" +
                        std::to_string(first) + " to " + std::to_string(last) + ")");
      }
    }
  };
  scan(controls.center);
  scan(controls.brightness);
  scan(controls.lensType);
  scan(controls.blend);
  return lines;
}

std::optional<std::string> CheckAnimatedControls(const AnimatedControls& controls, const EffectControls& declared,
                                                 int32_t width, int32_t height) {
  auto check = [&](const std::string& origin, std::optional<int64_t> frame,
                   const ControlSettings& settings) -> std::optional<std::string> {
    const ResolvedParams r = ResolveParamValues(settings, declared, width, height);
    if (!r.error) return std::nullopt;
    return Where(origin, frame) + ": " + r.error->paramName + " " + r.error->detail;
  };
  auto checkTrack = [&](const auto& track, auto setOne) -> std::optional<std::string> {
    if (track.constant) {
      ControlSettings s;
      setOne(s, *track.constant);
      if (auto e = check(track.origin, std::nullopt, s)) return e;
    }
    for (const auto& [frame, value] : track.keys) {
      ControlSettings s;
      setOne(s, value);
      if (auto e = check(track.origin, frame, s)) return e;
    }
    return std::nullopt;
  };
  if (auto e = checkTrack(controls.center, [](ControlSettings& s, const CenterPoint& c) {
        s.centerX = c.x;
        s.centerY = c.y;
      })) return e;
  if (auto e = checkTrack(controls.brightness, [](ControlSettings& s, double v) { s.brightness = v; })) return e;
  if (auto e = checkTrack(controls.lensType, [](ControlSettings& s, int32_t v) { s.lensType = v; })) return e;
  if (auto e = checkTrack(controls.blend, [](ControlSettings& s, double v) { s.blendPercent = v; })) return e;
  return std::nullopt;
}

}  // namespace lfhost
