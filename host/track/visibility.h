// How much of the light a frame shows: factors of 0 to 1 that scale the flare's
// brightness, for a light passing behind something (--occlusion) and for a
// centre leaving the frame (--edge-fade).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "host/track/light_tracker.h"
#include "host/track/luma_frame.h"

namespace lftrack {

// Measures occlusion over a shot whose frames arrive in any order.
//
// Each frame keeps the luma of a small square around the light's centre. Once
// all are in: a frame's contrast is the peak (3x3 mean) within 2 pixels of the
// centre over the square's median. The light is seen on the frames with at
// least half the shot's highest contrast; the first of them is the reference.
// Its blob (pixels at least half its contrast above the median) sets the disc
// radius (the blob's equivalent radius) and its contrast the level a pixel must
// keep: a quarter of it above its own frame's median, so that grain and blur at
// the blob's edge do not flicker. A frame's visibility is the share of the disc
// around its centre keeping that level, over the reference frame's share (at
// most 1): 0 on every frame of a cover lasting two frames or more, 1 on every
// frame the light shows whole. A share unlike both its neighbours' (a dip or a
// peak of one frame) goes halfway to the median of the three; the first and
// last frames keep theirs.
class OcclusionMeter {
 public:
  explicit OcclusionMeter(size_t frames) : patches_(frames) {}
  // Keeps frame `index`'s luma around `near`, the centre or, `slack` pixels at
  // most from it, where the centre is expected to be.
  void Keep(size_t index, const LumaFrame& frame, Point near, int32_t slack = 0);
  // Each frame's visibility at its centre (frames by index), from the square of
  // 32 pixels on each side of it. Nothing when no frame shows a light there.
  std::optional<std::vector<double>> Factors(const std::vector<Point>& centres) const;

 private:
  std::vector<Patch> patches_;
};

// 1 while `centre` lies within the frame (0 to width, 0 to height: percent
// coordinates 0 to 100), falling in a straight line to 0 at `pixels` from its
// edge (corners round).
double EdgeFade(Point centre, int32_t width, int32_t height, double pixels);

}  // namespace lftrack
