#include "host/core/control_values.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "host/core/host_error.h"

namespace lfhost {
namespace {

// The shortest text that reads back as `value`.
std::string Shortest(double value) {
  char text[64];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  return ec == std::errc() ? std::string(text, end) : std::string("0");
}

// Text as a number ("150", "-40.5", "1e3"), with the percent sign it ends with
// when `percent` is given to report it; nothing for anything else, surrounding
// spaces included.
std::optional<double> NumberText(const std::string& text, bool* percent = nullptr) {
  std::string body = text;
  const bool marked = percent && !body.empty() && body.back() == '%';
  if (marked) body.pop_back();
  if (body.empty() || std::isspace(static_cast<unsigned char>(body[0]))) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(body.c_str(), &end);
  if (end != body.c_str() + body.size() || errno == ERANGE || !std::isfinite(value)) return std::nullopt;
  if (percent) *percent = marked;
  return value;
}

std::optional<Coordinate> CoordinateOf(const ControlInput& input) {
  if (input.kind == ControlInput::Kind::Number) return Coordinate{input.number, false};
  if (input.kind != ControlInput::Kind::Text) return std::nullopt;
  Coordinate c;
  const std::optional<double> value = NumberText(input.text, &c.percent);
  if (!value) return std::nullopt;
  c.value = *value;
  return c;
}

bool SameLetters(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

// A refused value, after where it came from: "--brightness bright: Flare
// Brightness "bright" is not a number ...".
[[noreturn]] void Refuse(const std::string& where, const DeclaredParam& param, const ControlInput& input,
                         const std::string& what) {
  throw UsageError(where + ": " + param.record.name + " " + input.Shown() + " " + what);
}

}  // namespace

std::string ControlInput::Shown() const {
  std::string shown = kind == Kind::Number ? Shortest(number) : kind == Kind::Text ? "\"" + text + "\"" : text;
  if (shown.size() > 40) shown = shown.substr(0, 37) + "...";
  return shown;
}

const char* ControlKey(ControlId id) {
  switch (id) {
    case ControlId::Center: return "center";
    case ControlId::Brightness: return "brightness";
    case ControlId::Lens: return "lens";
    case ControlId::Blend: return "blend";
    case ControlId::Exposure: return "exposure";
  }
  return "";
}

std::optional<ControlId> ControlFromKey(std::string_view key) {
  for (const ControlId id : kControlIds) {
    if (key == ControlKey(id)) return id;
  }
  return std::nullopt;
}

std::optional<double> NumberFromText(const std::string& text) { return NumberText(text); }

std::optional<CenterPoint> PointFromText(const std::string& text) {
  const size_t comma = text.find(',');
  if (comma == std::string::npos || text.find(',', comma + 1) != std::string::npos) return std::nullopt;
  const std::optional<Coordinate> x = CoordinateOf(ControlInput::Text(text.substr(0, comma)));
  const std::optional<Coordinate> y = CoordinateOf(ControlInput::Text(text.substr(comma + 1)));
  if (!x || !y) return std::nullopt;
  return CenterPoint{*x, *y};
}

CenterPoint ControlReader::Center(const std::string& where, const ControlInput& input) const {
  std::optional<Coordinate> x, y;
  if (input.kind == ControlInput::Kind::List && input.items.size() == 2) {
    x = CoordinateOf(input.items[0]);
    y = CoordinateOf(input.items[1]);
  } else if (input.kind == ControlInput::Kind::Text) {
    if (const std::optional<CenterPoint> point = PointFromText(input.text)) return *point;
  }
  if (!x || !y) Refuse(where, declared_.center, input, kNotAPoint);
  return {*x, *y};
}

double ControlReader::Percent(const std::string& where, const DeclaredParam& param, const ControlInput& input) const {
  if (input.kind == ControlInput::Kind::Number) return input.number;
  bool percent = false;
  if (input.kind == ControlInput::Kind::Text) {
    if (const std::optional<double> value = NumberText(input.text, &percent)) return *value;
  }
  Refuse(where, param, input, "is not a number (percent, such as 150 or 70%)");
}

double ControlReader::Stops(const std::string& where, const ControlInput& input) const {
  if (input.kind == ControlInput::Kind::Number) return input.number;
  if (input.kind == ControlInput::Kind::Text) {
    if (const std::optional<double> value = NumberText(input.text)) return *value;
  }
  throw UsageError(where + ": " + kExposureName + " " + input.Shown() + " is not a number (stops, such as 1.5 or -2)");
}

int32_t ControlReader::Lens(const std::string& where, const ControlInput& input) const {
  std::optional<double> number;
  if (input.kind == ControlInput::Kind::Number) number = input.number;
  if (input.kind == ControlInput::Kind::Text) number = NumberText(input.text);
  // Whether the number is one of the choices is the range check's to say.
  if (number && *number == std::floor(*number) && *number >= std::numeric_limits<int32_t>::min() &&
      *number <= std::numeric_limits<int32_t>::max()) {
    return static_cast<int32_t>(*number);
  }
  if (!number && input.kind == ControlInput::Kind::Text) {
    const std::vector<std::string>& choices = declared_.lensType.choices;
    for (size_t i = 0; i < choices.size(); ++i) {
      if (SameLetters(input.text, LensShortName(choices[i])) || SameLetters(input.text, choices[i])) {
        return static_cast<int32_t>(i + 1);
      }
    }
  }
  Refuse(where, declared_.lensType, number ? ControlInput::Number(*number) : input,
         "is not one of " + LensChoicesText(declared_));
}

void ControlReader::Add(AnimatedControls& controls, ControlId id, const std::string& origin,
                        std::optional<int64_t> frame, const ControlInput& input,
                        std::optional<Interpolation> interpolation) const {
  const std::string where = frame ? origin + " at frame " + std::to_string(*frame) : origin;
  auto add = [&](auto& track, const auto& value) {
    track.origin = origin;
    AddTrackValue(track, frame, value, interpolation);
  };
  switch (id) {
    case ControlId::Center: return add(controls.center, Center(where, input));
    case ControlId::Brightness: return add(controls.brightness, Percent(where, declared_.brightness, input));
    case ControlId::Blend: return add(controls.blend, Percent(where, declared_.blend, input));
    case ControlId::Exposure: return add(controls.exposure, Stops(where, input));
    case ControlId::Lens:
      if (interpolation) {
        throw UsageError(where + ": " + declared_.lensType.record.name + " steps at each keyframe and takes no interpolation");
      }
      return add(controls.lensType, Lens(where, input));
  }
}

std::string Fix16Decimal(Fix16 value) {
  char text[48];
  // Five decimals are always enough: they land within 0.000005 of the value,
  // closer than half a step of 1/65536, so rounding gives the value back.
  for (int digits = 0; digits <= 6; ++digits) {
    std::snprintf(text, sizeof text, "%.*f", digits, FromFix16(value));
    if (ToFix16(std::strtod(text, nullptr)) == value) break;
  }
  return text;
}

std::vector<std::pair<std::string, std::string>> ControlArguments(const ParamValues& values,
                                                                  const EffectControls& declared, double exposure) {
  const std::vector<std::string>& choices = declared.lensType.choices;
  const bool named = values.lensType >= 1 && static_cast<size_t>(values.lensType) <= choices.size();
  std::vector<std::pair<std::string, std::string>> arguments = {{"--lens", named ? LensShortName(choices[static_cast<size_t>(values.lensType) - 1])
                           : std::to_string(values.lensType)},
          {"--brightness", Shortest(values.brightness)},
          {"--center", Fix16Decimal(values.centerX) + "," + Fix16Decimal(values.centerY)},
          {"--blend", Fix16Decimal(values.blend)}};
  if (exposure != 0) arguments.emplace_back("--exposure", Shortest(exposure));
  return arguments;
}

}  // namespace lfhost
