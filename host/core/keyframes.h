// Animated controls: each of the four controls is either left to its default,
// held at one value for every frame, or keyframed. Numbers (centre coordinates,
// brightness, blend) interpolate linearly between keyframes and hold their
// first value before the first keyframe and their last after the last; the lens
// type steps (each keyframe's lens holds until the next keyframe).
//
// Keyframes come from the command line ("--brightness 24=150") or from a JSON
// file (--keys), whose format is:
//   {
//     "center":     {"0": [200, 300], "96": ["90%", "75%"]},
//     "brightness": {"0": 0, "24": 150},
//     "lens":       {"48": "105mm"},
//     "blend":      25
//   }
// "center" may also name a track file (CenterTrackFile below).
// A field holding an object keys its values by frame number; any other value
// holds for every frame. A centre is [x, y] (numbers are pixels, "40%" strings
// percent of the frame) or the command line's "x,y" text; a lens is 1 to 3 or
// its short name.
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
template <class Value>
struct Track {
  std::string origin;
  std::optional<Value> constant;     // the same value for every frame
  std::map<int64_t, Value> keys;     // frame -> value
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

  // The settings of one frame of this size; controls without values stay unset.
  ControlSettings At(int64_t frame, int32_t width, int32_t height) const;
  // Takes every control that `other` sets from `other` (its values replace ours).
  void OverrideWith(const AnimatedControls& other);
};

// Adds a value to a track: at `frame`, or for every frame when `frame` is empty.
// Throws HostError naming the track's origin for a frame given twice, a second
// constant, or a constant mixed with keyframes.
template <class Value>
void AddTrackValue(Track<Value>& track, std::optional<int64_t> frame, const Value& value);

// A command-line value "F=V" (value V at frame F) or "V" (for every frame).
struct KeyedText {
  std::optional<int64_t> frame;
  std::string value;
};
// Throws HostError naming `option` when F is not a whole number from 0 up.
KeyedText SplitKeyedText(const std::string& option, const std::string& text);

// "1", "2", "3", "zoom", "35mm", "105mm" -> 1..3.
std::optional<int32_t> LensTypeFromText(const std::string& text);

// A frame number as written in keys and options: a whole number from 0 up,
// at most 15 digits.
std::optional<int64_t> ParseFrameNumber(const std::string& text);

// One line for each keyframe that lies outside frames first..last, the frames
// rendered ("--center keyframe at frame 96 lies outside the frames rendered
// (1001 to 1048)"): it only sets what the frames hold before or after it.
std::vector<std::string> KeyframesOutside(const AnimatedControls& controls, int64_t first, int64_t last);

// Checks every constant and keyframe value against the module's declared ranges
// for frames of this size. Values between keyframes lie between two checked
// values, so they need no check of their own. Returns a message naming the
// track's origin and frame, or nothing when all values are accepted.
std::optional<std::string> CheckAnimatedControls(const AnimatedControls& controls, const EffectControls& declared,
                                                 int32_t width, int32_t height);

}  // namespace lfhost
