// What tracking gives a render, as keyframes: the centre at every frame, and
// the brightness scaled by occlusion and edge fade. Every value is rounded to a
// thousandth, the precision the --keys file is written with, before anything
// uses it: a render that measures for itself (render --occlusion) and a render
// of the track's file then give the same frames.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/core/effect_params.h"
#include "host/core/keyframes.h"
#include "host/track/light_tracker.h"

namespace lftrack {

// `value` rounded to a thousandth.
double KeyValue(double value);

// A key at each of `frames` (pixels).
lfhost::Track<lfhost::CenterPoint> CenterKeys(const std::vector<int64_t>& frames, const std::vector<Point>& centres);

// Where the flare's centre is at `frame`: what `controls` set, else the
// module's default, in pixels.
Point CenterAt(const lfhost::AnimatedControls& controls, const lfhost::ParamValues& defaults, int64_t frame,
               int32_t width, int32_t height);

// What scales the brightness at each of a shot's frames.
struct BrightnessScale {
  const std::vector<double>* visibility = nullptr;   // --occlusion, by frame index
  std::optional<double> edgeFade;                    // --edge-fade pixels
  int32_t width = 0, height = 0;                     // the frame, for the edge
};

// A brightness key at each of `frames`: the brightness `controls` set there
// (else `defaultBrightness`) times the frame's visibility and edge fade at its
// centre. A key on the straight line between its neighbours is left out (a
// run of full brightness keeps its ends).
lfhost::Track<double> ScaledBrightness(const lfhost::AnimatedControls& controls, double defaultBrightness,
                                       const std::vector<int64_t>& frames, const std::vector<Point>& centres,
                                       const BrightnessScale& scale);

// `controls` as a --keys file, one key a line, each value written so that it
// reads back exactly: {"center": {"12": [612.125, 400.5], ...}, "brightness":
// {"0": 100, "24": {"value": 150, "ease": "hold"}}, "lens": 2}. A centre
// track file is not written (it is read into keys first).
std::string KeysJson(const lfhost::AnimatedControls& controls);

}  // namespace lftrack
