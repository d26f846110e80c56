#include "host/media/keys_file.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "host/core/host_error.h"
#include "host/media/files.h"

namespace lfhost {
namespace {

using Json = nlohmann::json;

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

}  // namespace

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
}  // namespace lfhost
