// A light followed through a whole shot, and the occlusion a render measures:
// passes over every frame of a source, read once, in order, with progress and
// a cancel.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "host/core/cancel_token.h"
#include "host/media/frame_sources.h"
#include "host/media/progress_display.h"
#include "host/track/light_tracker.h"

namespace lftrack {

struct ShotTrack {
  std::vector<int64_t> frames;     // frame numbers, in the source's order
  std::vector<Point> centres;      // rounded to what the keys hold (KeyValue)
  std::vector<bool> seen;          // false where the light was lost
  // With measureOcclusion, each frame's visibility (OcclusionMeter); nothing
  // when no frame shows a light at its centre.
  std::optional<std::vector<double>> visibility;
};

struct ShotTrackRequest {
  Point from;                      // pixels, on the start frame
  int64_t startFrame = 0;          // one of the source's frame numbers
  double searchRadius = 32;
  bool measureOcclusion = false;
  lfhost::CancelToken* cancel = nullptr;
  lfhost::ProgressDisplay* progress = nullptr;   // a frame counts as done once read
};

// Frames before the start frame are kept as luma (a byte a pixel) and tracked
// backward once the frames from the start on are done, starting again from the
// start frame at the first step's velocity reversed. A run of frames where the
// light was lost between two where it was seen takes a cubic curve between them
// (with the velocities on either side) in place of the prediction, which stays
// before the first sighting and after the last. Throws HostError when no light
// stands out within the search radius of `from`, or when the frames before the
// start would take more than a quarter of the memory. Nothing when cancelled.
std::optional<ShotTrack> TrackShot(lfhost::FrameSource& source, const ShotTrackRequest& request);

// What render --occlusion measures: each frame's visibility at `centres`
// (by frame index). `cancelled` when the cancel stopped the pass.
struct VisibilityPass {
  bool cancelled = false;
  std::optional<std::vector<double>> visibility;
};
VisibilityPass MeasureVisibility(lfhost::FrameSource& source, const std::vector<Point>& centres,
                                 lfhost::CancelToken* cancel, lfhost::ProgressDisplay* progress);

}  // namespace lftrack
