// The tracking options on the command line: render's --center-track (with
// --track-y-up and --track-frame-offset), --occlusion and --edge-fade, and what
// render does with them before it renders; lensflare track shares --occlusion
// and --edge-fade.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/cli/options.h"
#include "host/core/cancel_token.h"
#include "host/core/keyframes.h"
#include "host/media/frame_sources.h"
#include "host/media/progress_display.h"

namespace lfcli {

struct TrackingOptions {
  std::optional<std::string> centerTrack;   // --center-track FILE
  bool yUp = false;                         // --track-y-up
  std::optional<int64_t> frameOffset;       // --track-frame-offset N
  bool occlusion = false;                   // --occlusion
  std::optional<double> edgeFade;           // --edge-fade PX
};

// Reads `arg` when it is one of the options above, its value from `reader`;
// false for any other argument.
bool ParseTrackingArgument(const std::string& arg, ArgumentReader& reader, TrackingOptions& options);

// Makes --center-track the centre of the controls typed on the command line.
// Throws UsageError for --track-y-up or --track-frame-offset without it, or for
// it together with --center.
void AddCenterTrack(const TrackingOptions& options, lfhost::AnimatedControls& typed);

// Passes over a shot show their progress on a terminal only: a line per frame
// in a log would bury what the pass finds.
lfhost::ProgressMode PassProgressMode(bool quiet);

// What render does before rendering: reads the centre track file (--center-track
// or the --keys file's) into `controls`' centre keys, and with --occlusion or
// --edge-fade makes a brightness key at every frame of `openShot()` (all the
// frames asked for, whatever --chunk renders, so every part of a farm render
// agrees): the brightness set there times the flare's visibility (measured over
// those frames at the centres `controls` give) and edge fade. `defaults` give
// the centre and brightness the controls leave unset. False when cancelled.
bool ApplyTracking(const TrackingOptions& options, const std::function<std::unique_ptr<lfhost::FrameSource>()>& openShot,
                   const lfhost::ParamValues& defaults, int32_t width, int32_t height, bool quiet,
                   lfhost::CancelToken& cancel, lfhost::AnimatedControls& controls);

}  // namespace lfcli
