#include "host/keyframes.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "host/files.h"
#include "host/host_error.h"

namespace lfhost {
namespace {

using Json = nlohmann::json;

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

std::optional<int64_t> ParseFrameNumber(const std::string& text) {
  if (text.empty() || text.size() > 15) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  return std::stoll(text);
}

// ---- --keys files ------------------------------------------------------------

std::string JsonText(const Json& value) {
  std::string text = value.dump();
  if (text.size() > 40) text = text.substr(0, 37) + "...";
  return text;
}

class KeyFileReader {
 public:
  explicit KeyFileReader(std::string name) : name_(std::move(name)) {}

  AnimatedControls Read(const Json& root) {
    if (!root.is_object()) Fail("the top level must be an object such as {\"brightness\": {\"0\": 100}}");
    AnimatedControls c;
    for (const auto& [field, value] : root.items()) {
      if (field == "center" && value.is_object() && value.contains("track")) {
        c.centerTrack = TrackFile(value);
      } else if (field == "center") {
        ReadTrack(c.center, field, value, [&](const Json& v, const std::string& where) { return Center(v, where); });
      } else if (field == "brightness") {
        ReadTrack(c.brightness, field, value, [&](const Json& v, const std::string& where) { return Number(v, where); });
      } else if (field == "lens") {
        ReadTrack(c.lensType, field, value, [&](const Json& v, const std::string& where) { return Lens(v, where); });
      } else if (field == "blend") {
        ReadTrack(c.blend, field, value, [&](const Json& v, const std::string& where) { return Number(v, where); });
      } else {
        Fail("unknown field \"" + field + "\" (the fields are center, brightness, lens and blend)");
      }
    }
    return c;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const { throw HostError(name_ + ": " + what); }

  template <class Value, class ReadValue>
  void ReadTrack(Track<Value>& track, const std::string& field, const Json& value, ReadValue read) {
    track.origin = name_ + " \"" + field + "\"";
    const std::string quoted = "\"" + field + "\"";
    if (!value.is_object()) {
      track.constant = read(value, quoted);
      return;
    }
    if (value.empty()) Fail(quoted + ": no keyframes");
    for (const auto& [key, keyValue] : value.items()) {
      const std::optional<int64_t> frame = ParseFrameNumber(key);
      if (!frame) Fail(quoted + ": \"" + key + "\" is not a frame number (a whole number from 0 up)");
      // "7" and "007" are one frame: given twice, as the command line says.
      if (track.keys.count(*frame)) Fail(quoted + ": frame " + std::to_string(*frame) + " is given twice");
      track.keys[*frame] = read(keyValue, quoted + " at frame " + key);
    }
  }

  double Number(const Json& v, const std::string& where) const {
    if (!v.is_number()) Fail(where + ": expected a number, got " + JsonText(v));
    return v.get<double>();
  }

  Coordinate Axis(const Json& v, const std::string& where) const {
    if (v.is_number()) return {v.get<double>(), false};
    if (v.is_string()) {
      const std::string s = v.get<std::string>();
      if (s.size() > 1 && s.back() == '%') {
        const std::string body = s.substr(0, s.size() - 1);
        char* end = nullptr;
        errno = 0;
        const double value = std::strtod(body.c_str(), &end);
        if (end == body.c_str() + body.size() && errno != ERANGE && std::isfinite(value) &&
            !std::isspace(static_cast<unsigned char>(body[0]))) {
          return {value, true};
        }
      }
    }
    Fail(where + ": expected pixels (a number) or a percentage such as \"40%\", got " + JsonText(v));
  }

  CenterPoint Center(const Json& v, const std::string& where) const {
    if (v.is_array() && v.size() == 2) return {Axis(v[0], where), Axis(v[1], where)};
    if (v.is_string()) {
      const std::string s = v.get<std::string>();
      const size_t comma = s.find(',');
      if (comma != std::string::npos && s.find(',', comma + 1) == std::string::npos) {
        auto axis = [&](const std::string& part) {
          char* end = nullptr;
          const bool percent = !part.empty() && part.back() == '%';
          const std::string body = percent ? part.substr(0, part.size() - 1) : part;
          errno = 0;
          const double value = std::strtod(body.c_str(), &end);
          if (body.empty() || end != body.c_str() + body.size() || errno == ERANGE || !std::isfinite(value) ||
              std::isspace(static_cast<unsigned char>(body[0]))) {
            Fail(where + ": \"" + s + "\" is not x,y (pixels, or percent like 40%,40%)");
          }
          return Coordinate{value, percent};
        };
        return {axis(s.substr(0, comma)), axis(s.substr(comma + 1))};
      }
    }
    Fail(where + ": expected [x, y] or \"x,y\", got " + JsonText(v));
  }

  CenterTrackFile TrackFile(const Json& v) const {
    CenterTrackFile t;
    for (const auto& [key, item] : v.items()) {
      const std::string where = "\"center\" \"" + key + "\"";
      if (key == "track") {
        if (!item.is_string() || item.get<std::string>().empty()) Fail(where + ": expected a file name, got " + JsonText(item));
        const std::filesystem::path file = item.get<std::string>();
        t.path = (file.is_absolute() ? file : std::filesystem::path(name_).parent_path() / file).string();
      } else if (key == "y_up") {
        if (!item.is_boolean()) Fail(where + ": expected true or false, got " + JsonText(item));
        t.yUp = item.get<bool>();
      } else if (key == "frame_offset") {
        if (!item.is_number_integer()) Fail(where + ": expected a whole number, got " + JsonText(item));
        t.frameOffset = item.get<int64_t>();
      } else {
        Fail(where + ": unknown key (a track file takes track, y_up and frame_offset)");
      }
    }
    return t;
  }

  int32_t Lens(const Json& v, const std::string& where) const {
    std::optional<int32_t> lens;
    if (v.is_number_integer()) {
      const int64_t n = v.get<int64_t>();
      if (n >= 1 && n <= 3) lens = static_cast<int32_t>(n);
    } else if (v.is_string()) {
      lens = LensTypeFromText(v.get<std::string>());
    }
    if (!lens) Fail(where + ": " + JsonText(v) + " is not a lens (1, 2, 3, \"zoom\", \"35mm\" or \"105mm\")");
    return *lens;
  }

  std::string name_;
};

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

AnimatedControls ParseKeyframeJson(const std::string& text, const std::string& name) {
  // Bounded work for any file: nesting stops at kMaxJsonDepth, before a deep
  // value could exhaust the stack of anything that walks it. The keys leading to
  // the value being read are kept, so that a key given twice and a number too
  // large for a double are named where they are.
  std::vector<std::string> path;
  std::vector<std::set<std::string>> keysSeen;
  auto where = [&] {
    std::string at = path.empty() ? "" : "\"" + path[0] + "\"";
    if (path.size() > 1) at += " at frame " + path[1];
    return at.empty() ? name : name + ": " + at;
  };
  const Json::parser_callback_t watch = [&](int depth, Json::parse_event_t event, Json& parsed) {
    switch (event) {
      case Json::parse_event_t::object_start:
      case Json::parse_event_t::array_start:
        if (depth >= kMaxJsonDepth) {
          throw HostError(name + ": nested more than " + std::to_string(kMaxJsonDepth) + " levels deep");
        }
        if (event == Json::parse_event_t::object_start) keysSeen.emplace_back();
        path.resize(static_cast<size_t>(depth));
        break;
      case Json::parse_event_t::object_end:
        keysSeen.pop_back();
        break;
      case Json::parse_event_t::key: {
        const std::string key = parsed.get<std::string>();
        path.resize(static_cast<size_t>(depth));
        if (depth > 0) path[static_cast<size_t>(depth) - 1] = key;
        if (!keysSeen.back().insert(key).second) throw HostError(where() + ": the key is given twice");
        break;
      }
      default:
        break;
    }
    return true;
  };
  Json root;
  try {
    root = Json::parse(text, watch);
  } catch (const Json::parse_error& e) {
    // e.byte is the 1-based position where parsing stopped; count lines up to it.
    const size_t stop = std::min<size_t>(e.byte == 0 ? 0 : e.byte - 1, text.size());
    const size_t line = 1 + static_cast<size_t>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(stop), '\n'));
    std::string why = e.what();
    const size_t at = why.find("syntax error");
    if (at != std::string::npos) why = why.substr(at);
    throw HostError(name + ": line " + std::to_string(line) + ": not valid JSON (" + why + ")");
  } catch (const Json::exception& e) {
    // A number beyond a double's range: the library names its text in quotes.
    std::string what = e.what();
    const size_t open = what.find('\''), close = what.rfind('\'');
    const std::string number = open < close ? what.substr(open + 1, close - open - 1) : "a number";
    throw HostError(where() + ": " + number + " is too large for a number");
  }
  return KeyFileReader(name).Read(root);
}

AnimatedControls LoadKeyframeFile(const std::string& path) {
  const off_t size = CheckInputFile(path);
  if (size > kMaxKeyframeFileBytes) {
    throw HostError(path + ": " + std::to_string(size) + " bytes is larger than a keyframe file may be (16 MiB)");
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) throw HostError(path + ": cannot open the keyframe file (" + SystemReason(errno) + ")");
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw HostError(path + ": cannot read the keyframe file");
  return ParseKeyframeJson(text.str(), path);
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
