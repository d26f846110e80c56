// Animated controls: each of the four controls is either left to its default,
// held at one value for every frame, or keyframed. Numbers (centre coordinates,
// brightness, blend) hold their first value before the first keyframe and their
// last after the last; between two keys they follow the interpolation of the
// earlier key:
//   linear    a straight line (the default)
//   hold      the key's value until the next key
//   ease      slow out of the key and slow into the next (smoothstep)
//   ease-in   slow out of the key, arriving at full speed
//   ease-out  leaving at full speed, slow into the next key
//   smooth    a curve through the neighbouring keys as well (a Catmull-Rom
//             curve whose slopes are limited so that it never overshoots),
//             coming to rest at the first and last key
// Every interpolation stays between the two keys' values, so checking the keys
// against the declared ranges checks every frame. The lens type steps (each
// keyframe's lens holds until the next keyframe) and takes no interpolation.
//
// Keyframes come from the command line ("--brightness 24=150", with an
// interpolation "--brightness 24=150:smooth") or from a JSON file (--keys),
// whose format is:
//   {
//     "center":     {"0": [200, 300], "96": ["90%", "75%"]},
//     "brightness": {"0": 0, "24": {"value": 150, "ease": "hold"}, "48": 0},
//     "lens":       {"48": "105mm"},
//     "blend":      25,
//     "exposure":   {"0": 0, "48": 2.5}
//   }
// "center" may also name a track file (CenterTrackFile below).
// A field holding an object keys its values by frame number; any other value
// holds for every frame. A key's value is the value itself, or an object with
// the value and its interpolation. Values are read as host/core/control_values.h
// describes, alike in both places.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/core/effect_params.h"

namespace lfhost {

struct CenterPoint {
  Coordinate x, y;
};

// One control's values over time. `origin` names where they came from
// ("--brightness", "keys.json \"brightness\"") for messages.
// How a number goes from one key to the next.
enum class Interpolation { Linear, Hold, Ease, EaseIn, EaseOut, Smooth };
// "linear", "hold", "ease", "ease-in", "ease-out", "smooth".
std::optional<Interpolation> InterpolationFromText(const std::string& text);
const char* InterpolationName(Interpolation interpolation);
// What follows a refused name in messages.
inline constexpr const char* kNotAnInterpolation =
    "is not an interpolation (linear, hold, ease, ease-in, ease-out or smooth)";

template <class Value>
struct Track {
  std::string origin;
  std::optional<Value> constant;     // the same value for every frame
  std::map<int64_t, Value> keys;     // frame -> value
  // A key's interpolation towards the next key, by the key's frame; linear
  // when not listed.
  std::map<int64_t, Interpolation> interpolation;
  bool empty() const { return !constant && keys.empty(); }
};

// A centre read from another tool's track export: --center-track, or in a --keys
// file {"center": {"track": "sun.csv", "y_up": true, "frame_offset": 0}} (a
// relative name is taken from the keys file's folder). The caller reads it
// (host/track/center_track_file.h) once the frame's height is known.
struct CenterTrackFile {
  std::string path;
  bool yUp = false;
  int64_t frameOffset = 0;
};

struct AnimatedControls {
  Track<CenterPoint> center;
  std::optional<CenterTrackFile> centerTrack;   // stands in for `center` until read
  Track<double> brightness;          // percent
  Track<int32_t> lensType;           // 1..3
  Track<double> blend;               // percent
  Track<double> exposure;            // stops

  // The settings of one frame of this size; controls without values stay unset.
  ControlSettings At(int64_t frame, int32_t width, int32_t height) const;
  // Takes every control that `other` sets from `other` (its values replace ours).
  void OverrideWith(const AnimatedControls& other);
};

// Adds a value to a track: at `frame`, or for every frame when `frame` is empty,
// with the interpolation towards the next key when one is given. Throws
// HostError naming the track's origin for a frame given twice, a second
// constant, a constant mixed with keyframes, or an interpolation without a frame.
template <class Value>
void AddTrackValue(Track<Value>& track, std::optional<int64_t> frame, const Value& value,
                   std::optional<Interpolation> interpolation = std::nullopt);

// A command-line value "F=V" (value V at frame F), "F=V:I" (with interpolation
// I) or "V" (for every frame).
struct KeyedText {
  std::optional<int64_t> frame;
  std::string value;
  std::optional<Interpolation> interpolation;
};
// Throws HostError naming `option` when F is not a whole number from 0 up or I
// not an interpolation.
KeyedText SplitKeyedText(const std::string& option, const std::string& text);

// A frame number as written in keys and options: a whole number from 0 up,
// at most 15 digits.
std::optional<int64_t> ParseFrameNumber(const std::string& text);

// One line for each control with keyframes outside frames first..last, the
// frames rendered ("--center keyframe at frame 96 lies outside the frames
// rendered (1001 to 1048)"; for several, their count and the spans before and
// after): such a key only sets what the frames hold before or after it. A
// track's key on every frame of a shot, rendered in part, makes one line.
std::vector<std::string> KeyframesOutside(const AnimatedControls& controls, int64_t first, int64_t last);

// Controls checked once for frames of one size: every constant and keyframe
// value against the module's declared ranges. Values between keyframes lie
// between two checked values, so each frame's values need no check of their
// own. `declared` must outlive it.
class CheckedControls {
 public:
  // Throws HostError (usage) naming the track's origin and frame for the first
  // value refused: "--brightness at frame 2: Flare Brightness 400 is outside 0 to 300".
  CheckedControls(AnimatedControls controls, const EffectControls& declared, int32_t width, int32_t height);

  // The values of a frame of the size checked.
  CheckedParams At(int64_t frame) const;
  const AnimatedControls& animated() const { return controls_; }

 private:
  AnimatedControls controls_;
  const EffectControls* declared_;
  int32_t width_, height_;
};

}  // namespace lfhost
