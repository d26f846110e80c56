// Follows one light from frame to frame, to a fraction of a pixel.
//
// The light is a bright blob. On each frame the tracker predicts where it is
// (the last position plus the last step: constant velocity), looks within a
// search radius of that for the bright pixels nearest the prediction (a 3x3
// mean at least half the light's known contrast above the search area's
// median), climbs to their peak and takes the brightness-weighted centroid of
// the blob there: each pixel weighs by how far it lies above a threshold halfway
// between the blob's peak and the median of a ring around it, and the window is
// re-centred on the centroid until it moves less than a hundredth of a pixel,
// and widened while the blob reaches its edge (a light streaked by motion blur).
// Grain below the threshold weighs nothing and grain above it averages out.
//
// A blob with less than half the light's contrast, less than 0.4 of its lit
// area (a light half behind something, whose centroid would move towards the
// half still visible) or more than 4 times it (bright texture run into), does
// not count: the tracker keeps the predicted
// position, widens the search by half the radius for every frame missed (up to
// three times it) and takes the light back when it stands out again.
//
// Chosen by measurement against the alternatives (bench/README.md).
#pragma once

#include <optional>

#include "host/track/luma_frame.h"

namespace lftrack {

struct Point {
  double x = 0, y = 0;
};

// What the tracker made of one frame.
struct Sighting {
  Point centre;
  bool seen = false;   // false: the light was not found; `centre` is the prediction
};

class LightTracker {
 public:
  // Locks onto the brightest spot (3x3 mean) within `searchRadius` of `near`.
  // Nothing when nothing there stands out from its surroundings.
  static std::optional<LightTracker> Start(const LumaFrame& frame, Point near, double searchRadius);

  // Where the light was found on the start frame.
  Point start() const { return start_; }
  // Follows the light onto the next frame in the direction of travel.
  Sighting Step(const LumaFrame& frame);
  // A tracker going the other way from the start frame, moving `velocity`
  // pixels per frame at first.
  LightTracker Reversed(Point velocity) const;

 private:
  LightTracker() = default;

  Point start_, position_, velocity_;
  double searchRadius_ = 0;
  int lost_ = 0;               // frames missed in a row
  int window_ = 0;             // centroid window radius for the next frame
  double contrast_ = 0;        // the light's peak over its surroundings, followed slowly
  double area_ = 0;            // pixels above the blob's threshold, followed slowly
  int startWindow_ = 0;
  double startContrast_ = 0, startArea_ = 0;
};

}  // namespace lftrack
