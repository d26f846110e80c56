#include "host/track/shot_tracker.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "host/core/host_error.h"
#include "host/media/plate_composite.h"
#include "host/track/track_keys.h"
#include "host/track/visibility.h"

namespace lftrack {
namespace {

// Reads every frame of `source` in order and hands it to visit(index, image);
// false when the cancel stopped it first.
template <class Visit>
bool ReadEachFrame(lfhost::FrameSource& source, lfhost::CancelToken* cancel, lfhost::ProgressDisplay* progress,
                   Visit visit) {
  for (int64_t i = 0; i < source.frameCount(); ++i) {
    if (cancel && cancel->requested()) {
      source.Close();
      return false;
    }
    if (progress) progress->FrameStarted(source.frameNumber(i));
    lfhost::MediaFrame frame = source.ReadNext();
    // A plate deeper than 8 bits is followed as a screen shows it.
    if (frame.deep()) {
      const OIIO::ImageBuf& plate = frame.plate.image();
      frame.image = lfhost::PlateForDisplay(plate, lfhost::PlateLook::For(plate.spec().format, std::nullopt, ""));
    }
    visit(static_cast<size_t>(i), frame.image);
    if (progress) progress->FrameWritten(source.frameNumber(i), "");
  }
  source.Close();
  return true;
}

Point Minus(Point a, Point b) { return {a.x - b.x, a.y - b.y}; }

// Lost runs between two sightings become a cubic Hermite curve through the
// sightings on either side, with the velocities measured there (or the chord's
// where a neighbour is missing too).
void FillGaps(ShotTrack& shot) {
  const size_t n = shot.centres.size();
  for (size_t a = 1; a + 1 < n; ++a) {
    if (shot.seen[a] || !shot.seen[a - 1]) continue;
    size_t b = a;
    while (b + 1 < n && !shot.seen[b + 1]) ++b;
    if (b + 1 == n) return;
    const Point p0 = shot.centres[a - 1], p1 = shot.centres[b + 1];
    const double span = static_cast<double>(b - a + 2);
    const Point chord{(p1.x - p0.x) / span, (p1.y - p0.y) / span};
    const Point v0 = a >= 2 && shot.seen[a - 2] ? Minus(p0, shot.centres[a - 2]) : chord;
    const Point v1 = b + 2 < n && shot.seen[b + 2] ? Minus(shot.centres[b + 2], p1) : chord;
    for (size_t i = a; i <= b; ++i) {
      const double t = static_cast<double>(i - a + 1) / span, t2 = t * t, t3 = t2 * t;
      const double h00 = 2 * t3 - 3 * t2 + 1, h10 = t3 - 2 * t2 + t, h01 = -2 * t3 + 3 * t2, h11 = t3 - t2;
      shot.centres[i] = {h00 * p0.x + h10 * span * v0.x + h01 * p1.x + h11 * span * v1.x,
                         h00 * p0.y + h10 * span * v0.y + h01 * p1.y + h11 * span * v1.y};
    }
    a = b;
  }
}

void CheckKeptFramesFit(size_t frames, const lfhost::FrameSource& source, int64_t startFrame) {
  const double bytes = static_cast<double>(frames) * source.width() * source.height();
  const double memory = static_cast<double>(sysconf(_SC_PHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGESIZE));
  if (bytes > memory / 4) {
    char mb[32];
    std::snprintf(mb, sizeof mb, "%.0f", bytes / 1048576);
    throw lfhost::HostError("tracking back from frame " + std::to_string(startFrame) + " keeps the " +
                            std::to_string(frames) + " frames before it (" + mb +
                            " MB), more than a quarter of the memory; track from an earlier frame or fewer --frames");
  }
}

}  // namespace

std::optional<ShotTrack> TrackShot(lfhost::FrameSource& source, const ShotTrackRequest& r) {
  const auto n = static_cast<size_t>(source.frameCount());
  ShotTrack shot;
  for (size_t i = 0; i < n; ++i) shot.frames.push_back(source.frameNumber(static_cast<int64_t>(i)));
  shot.centres.resize(n);
  shot.seen.resize(n);
  const auto start = static_cast<size_t>(std::find(shot.frames.begin(), shot.frames.end(), r.startFrame) - shot.frames.begin());
  if (start == n) throw lfhost::HostError("frame " + std::to_string(r.startFrame) + " is not among the frames read");
  CheckKeptFramesFit(start, source, r.startFrame);

  std::optional<OcclusionMeter> meter;
  if (r.measureOcclusion) meter.emplace(n);
  auto record = [&](size_t i, Sighting s, const LumaFrame& luma) {
    shot.centres[i] = s.centre;
    shot.seen[i] = s.seen;
    // A lost frame's centre may move to the curve bridging the gap.
    if (meter) meter->Keep(i, luma, s.centre, s.seen ? 2 : 64);
  };
  std::vector<LumaFrame> before;
  std::optional<LightTracker> tracker;
  const bool read = ReadEachFrame(source, r.cancel, r.progress, [&](size_t i, const lfhost::ImageBuffer& image) {
    if (i < start) return before.push_back(LumaFrame::Copy(image));
    const LumaFrame luma = LumaFrame::View(image);
    if (i > start) return record(i, tracker->Step(luma), luma);
    tracker = LightTracker::Start(luma, r.from, r.searchRadius);
    if (!tracker) {
      char at[64];
      std::snprintf(at, sizeof at, "%g,%g", r.from.x, r.from.y);
      throw lfhost::HostError("no light stands out within " + std::to_string(static_cast<int>(r.searchRadius)) +
                              " pixels of " + at + " on frame " + std::to_string(r.startFrame));
    }
    record(i, {tracker->start(), true}, luma);
  });
  if (!read) return std::nullopt;

  LightTracker backward =
      tracker->Reversed(start + 1 < n && shot.seen[start + 1] ? Minus(shot.centres[start], shot.centres[start + 1]) : Point{});
  for (size_t i = start; i-- > 0; before.pop_back()) {
    if (r.cancel && r.cancel->requested()) return std::nullopt;
    record(i, backward.Step(before.back()), before.back());
  }
  FillGaps(shot);
  for (Point& c : shot.centres) c = {KeyValue(c.x), KeyValue(c.y)};
  if (meter) shot.visibility = meter->Factors(shot.centres);
  return shot;
}

VisibilityPass MeasureVisibility(lfhost::FrameSource& source, const std::vector<Point>& centres,
                                 lfhost::CancelToken* cancel, lfhost::ProgressDisplay* progress) {
  OcclusionMeter meter(centres.size());
  VisibilityPass pass;
  pass.cancelled = !ReadEachFrame(source, cancel, progress, [&](size_t i, const lfhost::ImageBuffer& image) {
    meter.Keep(i, LumaFrame::View(image), centres[i]);
  });
  if (!pass.cancelled) pass.visibility = meter.Factors(centres);
  return pass;
}

}  // namespace lftrack
