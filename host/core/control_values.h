// The four controls as users give them, read in one place whichever way they
// arrive: typed on the command line (--center 1210,340), in a keys file
// ({"center": [1210, 340]}) or in a request of the preview page. Every way
// accepts the same forms and refuses with the same message, in the user's terms
// (pixels, percent, the lens names) and naming the control as the module
// declared it; the front end puts its origin before it:
//   --brightness bright: Flare Brightness "bright" is not a number (percent, such as 150 or 70%)
//   shot.json "lens" at frame 48: Lens Type 7 is not one of 1 to 3, zoom, 35mm or 105mm
//
// The forms:
//   center       "x,y" text or a list of two; each coordinate pixels (1210,
//                -40.5) or percent of the frame ("40%")
//   brightness,  a number of percent, or its text with or without the percent
//   blend        sign (150, "150", "70%")
//   lens         the choice's number (1 up), its short name ("zoom", "35mm",
//                "105mm", see LensShortName) or its declared name ("35mm
//                Prime"); case is ignored
//   exposure     a number of stops (1.5, "-2"), the host's own control: the
//                flare on scene-linear plates scaled by 2^stops (kExposureStops)
// Text reads the same whether typed or given as a JSON string. The ranges are
// those the module declares, checked when the values are resolved for a frame
// (effect_params.h), with messages of the same form.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/core/effect_params.h"
#include "host/core/keyframes.h"

namespace lfhost {

// A value as a front end hands it over: text the user typed, or a JSON number,
// string or array (each JSON layer turns its own values into these).
struct ControlInput {
  enum class Kind { Number, Text, List, Other };
  Kind kind = Kind::Other;
  double number = 0;                 // Number
  std::string text;                  // Text; List and Other: the value as written
  std::vector<ControlInput> items;   // List

  static ControlInput Number(double value) { return {Kind::Number, value, {}, {}}; }
  static ControlInput Text(std::string value) { return {Kind::Text, 0, std::move(value), {}}; }
  // The value as messages show it: 150, "70%", [1,2], null.
  std::string Shown() const;
};

// The four controls of the module and the host's exposure; each goes by the
// same name as an option (--center), a keys file's field and a request's field.
enum class ControlId { Center, Brightness, Lens, Blend, Exposure };
inline constexpr ControlId kControlIds[] = {ControlId::Center, ControlId::Brightness, ControlId::Lens,
                                            ControlId::Blend, ControlId::Exposure};
const char* ControlKey(ControlId id);   // "center", "brightness", "lens", "blend", "exposure"
std::optional<ControlId> ControlFromKey(std::string_view key);

// Reads values against the controls the module declared (their names and the
// lens choices), which must outlive the reader.
class ControlReader {
 public:
  explicit ControlReader(const EffectControls& declared) : declared_(declared) {}

  // Reads `input` as control `id` into `controls`: at `frame`, or for every
  // frame when there is none, with the interpolation towards the next key when
  // one is given. `origin` names the value in messages ("--brightness",
  // "shot.json \"brightness\"") and becomes the track's origin. Throws
  // HostError "ORIGIN[ at frame F]: MESSAGE".
  void Add(AnimatedControls& controls, ControlId id, const std::string& origin, std::optional<int64_t> frame,
           const ControlInput& input, std::optional<Interpolation> interpolation = std::nullopt) const;

  const EffectControls& declared() const { return declared_; }

 private:
  // Each throws HostError (usage) "WHERE: MESSAGE".
  CenterPoint Center(const std::string& where, const ControlInput& input) const;
  double Percent(const std::string& where, const DeclaredParam& param, const ControlInput& input) const;
  int32_t Lens(const std::string& where, const ControlInput& input) const;
  double Stops(const std::string& where, const ControlInput& input) const;

  const EffectControls& declared_;
};

// The command line's arguments for these values, one option and its text per
// control (--lens zoom, --brightness 100, --center 768,432, --blend 0), and
// --exposure where it is not 0: each text is the shortest that the readers
// turn back into exactly the value the module (or the composite) receives.
std::vector<std::pair<std::string, std::string>> ControlArguments(const ParamValues& values,
                                                                  const EffectControls& declared, double exposure = 0);

// Text as a plain number ("150", "-40.5", "1e3"); nothing for anything else.
std::optional<double> NumberFromText(const std::string& text);
// "x,y" text, each coordinate pixels or percent of the frame ("40%"), as a
// centre is typed; nothing for anything else. Positions other than the
// flare's own (where a light is tracked from) are read the same way.
std::optional<CenterPoint> PointFromText(const std::string& text);
inline constexpr const char* kNotAPoint =
    "is not x,y (pixels such as 1210,340, or percent of the frame such as 40%,25%)";

// The shortest decimal text that rounding to 1/65536 turns back into `value`
// ("768", "40.5", "0.00002").
std::string Fix16Decimal(Fix16 value);

}  // namespace lfhost
