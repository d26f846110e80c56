#include "host/core/keyframes.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <utility>

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

// A key read as one number: its frame and value.
struct KeySample {
  double frame, value;
};

// The slope a smooth curve takes at a key between two segments of slopes `in`
// and `out`: the slope from the key before to the key after (Catmull-Rom),
// flat where the keys turn or rest, and at most three times either segment's
// slope, which keeps the curve from overshooting (Fritsch and Carlson).
double SmoothSlope(const KeySample& before, const KeySample& after, double in, double out) {
  if (in * out <= 0) return 0;
  const double slope = (after.value - before.value) / (after.frame - before.frame);
  const double limit = 3 * std::min(std::abs(in), std::abs(out));
  return std::clamp(slope, -limit, limit);
}

// The value at `frame`, between keys a and b, as a's interpolation has it.
// `before` and `after` are the keys beyond a and b, which a smooth curve also
// passes through.
double Between(Interpolation how, const std::optional<KeySample>& before, const KeySample& a, const KeySample& b,
               const std::optional<KeySample>& after, double frame) {
  const double t = (frame - a.frame) / (b.frame - a.frame);
  switch (how) {
    case Interpolation::Linear: break;
    case Interpolation::Hold: return a.value;
    case Interpolation::Ease: return a.value + (b.value - a.value) * (t * t * (3 - 2 * t));
    case Interpolation::EaseIn: return a.value + (b.value - a.value) * (t * t);
    case Interpolation::EaseOut: return a.value + (b.value - a.value) * (t * (2 - t));
    case Interpolation::Smooth: {
      // A cubic with the slopes at a and b; flat at the first and last key, so
      // that it runs on smoothly into the value held beyond them.
      const double span = b.frame - a.frame;
      const double slope = (b.value - a.value) / span;
      const double atA = before ? SmoothSlope(*before, b, (a.value - before->value) / (a.frame - before->frame), slope) : 0;
      const double atB = after ? SmoothSlope(a, *after, slope, (after->value - b.value) / (after->frame - b.frame)) : 0;
      const double value = a.value + (b.value - a.value) * (t * t * (3 - 2 * t)) +
                           span * (atA * t * (1 - t) * (1 - t) - atB * t * t * (1 - t));
      // The curve lies between the keys; this only takes back rounding, so that a
      // value next to a range's end never steps outside it.
      return std::clamp(value, std::min(a.value, b.value), std::max(a.value, b.value));
    }
  }
  return a.value + (b.value - a.value) * t;
}

// The keys a value between key a and the next one reads: both, and for a
// smooth interpolation the keys beyond them where there are any.
template <class Value>
struct Segment {
  using Key = typename std::map<int64_t, Value>::const_iterator;
  Interpolation how = Interpolation::Linear;
  std::optional<Key> before;
  Key a, b;
  std::optional<Key> after;

  Segment(const Track<Value>& track, Key from) : a(from), b(std::next(from)) {
    const auto found = track.interpolation.find(a->first);
    if (found != track.interpolation.end()) how = found->second;
    if (how != Interpolation::Smooth) return;
    if (a != track.keys.begin()) before = std::prev(a);
    if (std::next(b) != track.keys.end()) after = std::next(b);
  }

  template <class Visit>
  void ForEachKey(Visit visit) const {
    for (const auto& key : {before, std::optional(a), std::optional(b), after}) {
      if (key) visit((*key)->second);
    }
  }

  // The value at `frame`, the keys read as numbers through `number`.
  template <class Number>
  double At(int64_t frame, Number number) const {
    const auto point = [&](Key key) { return KeySample{static_cast<double>(key->first), number(key->second)}; };
    const auto optionalPoint = [&](const std::optional<Key>& key) { return key ? std::optional(point(*key)) : std::nullopt; };
    return Between(how, optionalPoint(before), point(a), point(b), optionalPoint(after), static_cast<double>(frame));
  }
};

// A number track at a frame.
std::optional<double> NumberAt(const Track<double>& track, int64_t frame) {
  if (track.constant) return track.constant;
  if (track.keys.empty()) return std::nullopt;
  const auto [before, after] = Around(track.keys, frame);
  if (before == track.keys.end()) return after->second;
  if (after == track.keys.end() || before->first == frame) return before->second;
  return Segment<double>(track, before).At(frame, [](double v) { return v; });
}

// The centre between two keys, one coordinate at a time. Keys of the same kind
// interpolate in that kind, so a percent centre follows the frame; keys of mixed
// kinds meet in pixels, converted as the controls convert them (percent / 100 x
// size).
std::optional<CenterPoint> CenterAt(const Track<CenterPoint>& track, int64_t frame, int32_t width, int32_t height) {
  if (track.constant) return track.constant;
  if (track.keys.empty()) return std::nullopt;
  const auto [before, after] = Around(track.keys, frame);
  if (before == track.keys.end()) return after->second;
  if (after == track.keys.end() || before->first == frame) return before->second;
  const Segment<CenterPoint> segment(track, before);
  auto axis = [&](Coordinate CenterPoint::*member, int32_t size) {
    bool percent = true;
    segment.ForEachKey([&](const CenterPoint& c) { percent = percent && (c.*member).percent; });
    const double value = segment.At(frame, [&](const CenterPoint& c) {
      const Coordinate& v = c.*member;
      return v.percent && !percent ? v.value / 100.0 * size : v.value;
    });
    return Coordinate{value, percent};
  };
  return CenterPoint{axis(&CenterPoint::x, width), axis(&CenterPoint::y, height)};
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
  s.exposure = NumberAt(exposure, frame);
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
  if (!other.exposure.empty()) exposure = other.exposure;
}

template <class Value>
void AddTrackValue(Track<Value>& track, std::optional<int64_t> frame, const Value& value,
                   std::optional<Interpolation> interpolation) {
  if (!frame) {
    if (interpolation) throw UsageError(track.origin + ": an interpolation belongs to a keyframe, as in 24=150:smooth");
    if (track.constant) throw UsageError(track.origin + ": given twice without a frame");
    if (!track.keys.empty()) {
      throw UsageError(track.origin + ": a value without a frame holds for every frame and cannot be mixed with keyframes");
    }
    track.constant = value;
    return;
  }
  if (track.constant) {
    throw UsageError(track.origin + ": a value without a frame holds for every frame and cannot be mixed with keyframes");
  }
  if (!track.keys.emplace(*frame, value).second) {
    throw UsageError(track.origin + ": frame " + std::to_string(*frame) + " is given twice");
  }
  if (interpolation) track.interpolation[*frame] = *interpolation;
}

template void AddTrackValue(Track<CenterPoint>&, std::optional<int64_t>, const CenterPoint&, std::optional<Interpolation>);
template void AddTrackValue(Track<double>&, std::optional<int64_t>, const double&, std::optional<Interpolation>);
template void AddTrackValue(Track<int32_t>&, std::optional<int64_t>, const int32_t&, std::optional<Interpolation>);

namespace {
constexpr std::pair<const char*, Interpolation> kInterpolationNames[] = {
    {"linear", Interpolation::Linear}, {"hold", Interpolation::Hold},       {"ease", Interpolation::Ease},
    {"ease-in", Interpolation::EaseIn}, {"ease-out", Interpolation::EaseOut}, {"smooth", Interpolation::Smooth}};
}  // namespace

std::optional<Interpolation> InterpolationFromText(const std::string& text) {
  for (const auto& [name, how] : kInterpolationNames) {
    if (text == name) return how;
  }
  return std::nullopt;
}

const char* InterpolationName(Interpolation interpolation) {
  for (const auto& [name, how] : kInterpolationNames) {
    if (how == interpolation) return name;
  }
  return "linear";
}

KeyedText SplitKeyedText(const std::string& option, const std::string& text) {
  KeyedText keyed{std::nullopt, text, std::nullopt};
  const size_t eq = text.find('=');
  if (eq != std::string::npos) {
    const std::string frameText = text.substr(0, eq);
    keyed.frame = ParseFrameNumber(frameText);
    if (!keyed.frame) {
      throw UsageError(option + ": \"" + frameText + "\" in \"" + text + "\" is not a frame number (a whole number from 0 up)");
    }
    keyed.value = text.substr(eq + 1);
  }
  // No value a control reads holds a colon, so the last one starts the interpolation.
  const size_t colon = keyed.value.rfind(':');
  if (colon != std::string::npos) {
    const std::string name = keyed.value.substr(colon + 1);
    keyed.interpolation = InterpolationFromText(name);
    if (!keyed.interpolation) throw UsageError(option + ": \"" + name + "\" in \"" + text + "\" " + kNotAnInterpolation);
    keyed.value.resize(colon);
  }
  return keyed;
}

std::vector<std::string> KeyframesOutside(const AnimatedControls& controls, int64_t first, int64_t last) {
  std::vector<std::string> lines;
  const std::string rendered = " the frames rendered (" + std::to_string(first) + " to " + std::to_string(last) + ")";
  auto scan = [&](const auto& track) {
    // The keys before the frames rendered and those after, each a span.
    std::vector<std::pair<int64_t, int64_t>> spans;
    size_t count = 0;
    for (const auto& key : track.keys) {
      if (key.first >= first && key.first <= last) continue;
      const bool sameSide = !spans.empty() && (spans.back().second < first) == (key.first < first);
      if (sameSide) spans.back().second = key.first;
      else spans.emplace_back(key.first, key.first);
      ++count;
    }
    if (count == 1) lines.push_back(Where(track.origin + " keyframe", spans[0].first) + " lies outside" + rendered);
    if (count < 2) return;
    std::string where;
    for (const auto& [a, b] : spans) {
      where += (where.empty() ? "" : " and ") + std::to_string(a) + (b > a ? " to " + std::to_string(b) : "");
    }
    lines.push_back(track.origin + ": " + std::to_string(count) + " keyframes, at frames " + where + ", lie outside" +
                    rendered);
  };
  scan(controls.center);
  scan(controls.brightness);
  scan(controls.lensType);
  scan(controls.blend);
  scan(controls.exposure);
  return lines;
}

CheckedControls::CheckedControls(AnimatedControls controls, const EffectControls& declared, int32_t width,
                                 int32_t height)
    : controls_(std::move(controls)), declared_(&declared), width_(width), height_(height) {
  auto checkTrack = [&](const auto& track, auto setOne) {
    auto check = [&](std::optional<int64_t> frame, const auto& value) {
      ControlSettings s;
      setOne(s, value);
      ResolveParams(s, declared, width, height, Where(track.origin, frame));
    };
    if (track.constant) check(std::nullopt, *track.constant);
    for (const auto& [frame, value] : track.keys) check(frame, value);
  };
  checkTrack(controls_.center, [](ControlSettings& s, const CenterPoint& c) {
    s.centerX = c.x;
    s.centerY = c.y;
  });
  checkTrack(controls_.brightness, [](ControlSettings& s, double v) { s.brightness = v; });
  checkTrack(controls_.lensType, [](ControlSettings& s, int32_t v) { s.lensType = v; });
  checkTrack(controls_.blend, [](ControlSettings& s, double v) { s.blendPercent = v; });
  checkTrack(controls_.exposure, [](ControlSettings& s, double v) { s.exposure = v; });
}

CheckedParams CheckedControls::At(int64_t frame) const {
  const ControlSettings settings = controls_.At(frame, width_, height_);
  return CheckedParams(ConvertSettings(settings, *declared_, width_, height_), settings.exposure.value_or(0));
}

}  // namespace lfhost
