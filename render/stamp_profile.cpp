#include "render/stamp_profile.h"

#include "render/screen_blend.h"
#include "render/stamp_common.h"

namespace {

// Screens one row of the box with the profile sample at each pixel's distance.
// The in-range kernel (kChecked false) runs when the whole band is known to keep
// every offset within 16 bits and every distance below the profile's length,
// which callers within the stamper's limits always do. Otherwise the checked
// kernel leaves unchanged every pixel whose horizontal offset does not fit in 16
// bits or whose distance reaches the profile's end (such samples read as 0).
template <bool kChecked>
void ScreenProfileRow(const ProfileView& profile, const StampRow& row) {
  uint8_t* pixel = row.pixels;
  for (int32_t c = 0; c < row.columns; ++c, pixel += row.pixelBytes) {
    const float qx = StampDx(row.centerQx, c, row.aspect);
    if constexpr (kChecked) {
      if (!TruncFitsInt16(qx)) continue;
    }
    const int32_t d = FastHypot(*profile.table, static_cast<int32_t>(qx), row.dy);
    if constexpr (kChecked) {
      if (d >= profile.length) continue;
    }
    pixel[0] = ScreenByte(profile.red[d], pixel[0]);
    pixel[1] = ScreenByte(profile.green[d], pixel[1]);
    pixel[2] = ScreenByte(profile.blue[d], pixel[2]);
  }
}

// Whether rows [first, end) stay within 16-bit offsets and below the profile's
// end. Offsets are monotonic in the column and the row, so the band's corners
// bound them; a distance never exceeds entry 256 x the larger offset / 2^14.
bool BandWithinProfile(const StampJob& job, const ProfileView& profile, float aspect,
                       RowBand band) {
  const float edges[4] = {StampDy(job.centerQy, band.first), StampDy(job.centerQy, band.end - 1),
                          StampDx(job.centerQx, 0, aspect),
                          StampDx(job.centerQx, job.columns - 1, aspect)};
  int32_t largest = 0;
  for (float edge : edges) {
    if (!TruncFitsInt16(edge)) return false;
    int32_t magnitude = static_cast<int32_t>(edge);
    if (magnitude < 0) magnitude = -magnitude;
    if (magnitude > largest) largest = magnitude;
  }
  const int32_t bound = (static_cast<int32_t>(profile.table->entry[kHypotTableSize - 1]) * largest) >> 14;
  return bound < profile.length;
}

}  // namespace

void StampProfile(float x, float y, float radius, FlareFrame& frame, FlareContext& context) {
  const float aspect = PixelAspect(context);
  const float reach = radius + 2.0f;  // two pixels of margin
  const float centerX = x / aspect;
  const float reachX = reach / aspect;
  StampBox box{};
  box.centerX = centerX;
  box.centerY = y;
  box.left = MaxZero(centerX - reachX);
  box.top = MaxZero(y - reach);
  // The 0.9 allowance keeps the last column (row) when the box is clipped and its
  // left (top) edge has a fraction of at most 0.9, without ever passing the edge.
  const double rightLimit = static_cast<double>(frame.width) + 0.9;
  const double bottomLimit = static_cast<double>(frame.height) + 0.9;
  box.right = centerX + reachX;
  if (static_cast<double>(box.right) > rightLimit) box.right = static_cast<float>(rightLimit);
  box.bottom = y + reach;
  if (static_cast<double>(box.bottom) > bottomLimit) box.bottom = static_cast<float>(bottomLimit);

  StampJob job{};
  job.context = &context;
  job.frame = &frame;
  FillJobBox(job, box, frame);
  const int32_t result = context.host->callbacks->iterate(-1, &job, &StampProfileWorker);
  StoreStatus(context, static_cast<int16_t>(result));
}

extern "C" int32_t StampProfileWorker(void* jobPointer, int32_t threadIndex, int32_t index,
                                      int32_t count) {
  const StampJob& job = *static_cast<const StampJob*>(jobPointer);
  FlareContext& context = *job.context;
  const RowBand band = BandFor(job.rows, index, count);
  const float aspect = PixelAspect(context);
  const ProfileView profile = ProfileViewOf(context);
  const bool inRange = band.first < band.end && job.columns > 0 &&
                       BandWithinProfile(job, profile, aspect, band);

  for (int32_t r = band.first; r < band.end; ++r) {
    if (threadIndex == 0) {
      const int16_t answer = PollAbortBeforeRow(context);
      if (answer != 0) return answer;
    }
    if (job.columns <= 0) continue;
    const float qy = StampDy(job.centerQy, r);
    if (!inRange && !TruncFitsInt16(qy)) continue;  // the whole row is out of reach
    const StampRow row{BoxRowPixels(job, r), job.frame->pixelBytes, job.columns, job.centerQx, aspect,
                       static_cast<int32_t>(qy)};
    if (inRange) {
      ScreenProfileRow<false>(profile, row);
    } else {
      ScreenProfileRow<true>(profile, row);
    }
  }
  return LoadStatus(context);
}
