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

bool Opens(Json::parse_event_t event) {
  return event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start;
}

std::string TooDeep(const std::string& name) {
  return name + ": nested more than " + std::to_string(kMaxJsonDepth) + " levels deep";
}

class KeyFileReader {
 public:
  KeyFileReader(std::string name, const ControlReader& controls) : name_(std::move(name)), controls_(controls) {}

  AnimatedControls Read(const Json& root) {
    if (!root.is_object()) Fail("the top level must be an object such as {\"brightness\": {\"0\": 100}}");
    AnimatedControls c;
    for (const auto& [field, value] : root.items()) {
      if (field == "center" && value.is_object() && value.contains("track")) {
        c.centerTrack = TrackFile(value);
        continue;
      }
      const std::optional<ControlId> id = ControlFromKey(field);
      if (!id) Fail("unknown field \"" + field + "\" (the fields are center, brightness, lens, blend and exposure)");
      const std::string origin = name_ + " \"" + field + "\"";
      if (!value.is_object()) {
        controls_.Add(c, *id, origin, std::nullopt, ControlInputOf(value));
        continue;
      }
      const std::string quoted = "\"" + field + "\"";
      if (value.empty()) Fail(quoted + ": no keyframes");
      for (const auto& [key, keyValue] : value.items()) {
        const std::optional<int64_t> frame = ParseFrameNumber(key);
        if (!frame) Fail(quoted + ": \"" + key + "\" is not a frame number (a whole number from 0 up)");
        if (!keyValue.is_object()) {
          controls_.Add(c, *id, origin, frame, ControlInputOf(keyValue));
          continue;
        }
        // {"value": V, "ease": "hold"}: a value with its interpolation.
        const std::string where = quoted + " at frame " + key;
        std::optional<Interpolation> interpolation;
        for (const auto& [part, partValue] : keyValue.items()) {
          if (part == "ease") {
            interpolation = partValue.is_string() ? InterpolationFromText(partValue.get<std::string>()) : std::nullopt;
            if (!interpolation) Fail(where + ": \"ease\": " + ControlInputOf(partValue).Shown() + " " + kNotAnInterpolation);
          } else if (part != "value") {
            Fail(where + ": unknown field \"" + part + "\" (a key holds \"value\" and \"ease\")");
          }
        }
        if (!keyValue.contains("value")) Fail(where + ": no \"value\"");
        controls_.Add(c, *id, origin, frame, ControlInputOf(keyValue["value"]), interpolation);
      }
    }
    return c;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const { throw UsageError(name_ + ": " + what); }

  CenterTrackFile TrackFile(const Json& v) const {
    CenterTrackFile t;
    for (const auto& [key, item] : v.items()) {
      const std::string where = "\"center\" \"" + key + "\"";
      if (key == "track") {
        if (!item.is_string() || item.get<std::string>().empty()) Fail(where + ": expected a file name, got " + ControlInputOf(item).Shown());
        const std::filesystem::path file = item.get<std::string>();
        t.path = (file.is_absolute() ? file : std::filesystem::path(name_).parent_path() / file).string();
      } else if (key == "y_up") {
        if (!item.is_boolean()) Fail(where + ": expected true or false, got " + ControlInputOf(item).Shown());
        t.yUp = item.get<bool>();
      } else if (key == "frame_offset") {
        if (!item.is_number_integer()) Fail(where + ": expected a whole number, got " + ControlInputOf(item).Shown());
        t.frameOffset = item.get<int64_t>();
      } else {
        Fail(where + ": unknown key (a track file takes track, y_up and frame_offset)");
      }
    }
    return t;
  }

  std::string name_;
  const ControlReader& controls_;
};

}  // namespace

ControlInput ControlInputOf(const Json& value) {
  if (value.is_number()) return ControlInput::Number(value.get<double>());
  if (value.is_string()) return ControlInput::Text(value.get<std::string>());
  ControlInput input;
  input.kind = value.is_array() ? ControlInput::Kind::List : ControlInput::Kind::Other;
  input.text = value.dump();
  if (value.is_array()) {
    for (const Json& item : value) input.items.push_back(ControlInputOf(item));
  }
  return input;
}

Json ParseBoundedJson(std::string_view text, const std::string& name) {
  const Json::parser_callback_t bound = [&](int depth, Json::parse_event_t event, Json&) {
    if (Opens(event) && depth >= kMaxJsonDepth) throw UsageError(TooDeep(name));
    return true;
  };
  return Json::parse(text.begin(), text.end(), bound, /*allow_exceptions=*/false);
}

AnimatedControls ParseKeyframeJson(const std::string& text, const std::string& name, const ControlReader& controls) {
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
        if (depth >= kMaxJsonDepth) throw UsageError(TooDeep(name));
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
        if (!keysSeen.back().insert(key).second) throw UsageError(where() + ": the key is given twice");
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
    throw UsageError(name + ": line " + std::to_string(line) + ": not valid JSON (" + why + ")");
  } catch (const Json::exception& e) {
    // A number beyond a double's range: the library names its text in quotes.
    std::string what = e.what();
    const size_t open = what.find('\''), close = what.rfind('\'');
    const std::string number = open < close ? what.substr(open + 1, close - open - 1) : "a number";
    throw UsageError(where() + ": " + number + " is too large for a number");
  }
  return KeyFileReader(name, controls).Read(root);
}

AnimatedControls LoadKeyframeFile(const std::string& path, const ControlReader& controls) {
  // A keys file is named on the command line: one it cannot read is a usage
  // mistake (status 2), refused before any work, not a failed render.
  off_t size = 0;
  try {
    size = CheckInputFile(path);
  } catch (const HostError& e) {
    throw UsageError(e.what());
  }
  if (size > kMaxKeyframeFileBytes) {
    throw UsageError(path + ": " + std::to_string(size) + " bytes is larger than a keyframe file may be (16 MiB)");
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsageError(path + ": cannot open the keyframe file (" + SystemReason(errno) + ")");
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw UsageError(path + ": cannot read the keyframe file");
  return ParseKeyframeJson(text.str(), path, controls);
}
}  // namespace lfhost
