#include "render/stamp_profile.h"

#include <cstdlib>

#include "protocol/screen_blend.h"
#include "render/stamp_common.h"
#include "render/stamp_kernels.h"

namespace {

// The plain kernel, kept as the reference the prepared kernels are held to
// (stamp_kernels.h) and as the path for bands they do not take.
// Screens one row of the box with the profile sample at each pixel's distance.
// The in-range kernel (kChecked false) runs when the whole band is known to keep
// every offset within 16 bits and every distance below the profile's length,
// which callers within the stamper's limits always do. Otherwise the checked
// kernel wraps the horizontal offset to 16 bits (the row's dy already is) and
// reads the last sample for a distance at or beyond the profile's end.
template <bool kChecked>
void ScreenProfileRow(const ProfileView& profile, const StampRow& row) {
  uint8_t* pixel = row.pixels;
  for (int32_t c = 0; c < row.columns; ++c, pixel += row.pixelBytes) {
    const float qx = StampDx(row.centerQx, c, row.aspect);
    int32_t d;
    if constexpr (kChecked) {
      d = ProfileIndex(FastHypot(*profile.table, TruncToInt16(qx), row.dy), profile.length);
      if (d < 0) return;  // no samples at all
    } else {
      d = FastHypot(*profile.table, static_cast<int32_t>(qx), row.dy);
    }
    pixel[0] = ScreenByte(profile.red[d], pixel[0]);
    pixel[1] = ScreenByte(profile.green[d], pixel[1]);
    pixel[2] = ScreenByte(profile.blue[d], pixel[2]);
  }
}

// The largest distance any pixel of rows [first, end) can have, in `bound`, and
// whether the band stays within 16-bit offsets and below the profile's end.
// Offsets are monotonic in the column and the row, so when the band's corners
// fit in 16 bits every offset does and the corners bound them; a distance never
// exceeds entry 256 x the larger offset / 2^14. A band whose offsets wrap may
// reach any 16-bit magnitude, up to 32768.
bool BandWithinProfile(const StampJob& job, const ProfileView& profile, float aspect, RowBand band,
                       int32_t& bound) {
  const float edges[4] = {StampDy(job.centerQy, band.first), StampDy(job.centerQy, band.end - 1),
                          StampDx(job.centerQx, 0, aspect),
                          StampDx(job.centerQx, job.columns - 1, aspect)};
  int32_t largest = 0;
  bool fits = true;
  for (float edge : edges) {
    if (!TruncFitsInt16(edge)) {
      fits = false;
      largest = 32768;
      break;
    }
    int32_t magnitude = static_cast<int32_t>(edge);
    if (magnitude < 0) magnitude = -magnitude;
    if (magnitude > largest) largest = magnitude;
  }
  bound = (static_cast<int32_t>(profile.table->entry[kHypotTableSize - 1]) * largest) >> 14;
  return fits && bound < profile.length;
}

// The prepared band (stamp_kernels.h): the profile packed up to the band's
// distance bound (past the profile's end, its last sample repeated), |dx| of
// every column once for all rows, and the columns and rows that can reach a
// non-zero sample at all. A distance is never below the larger of |dx| and |dy|
// (every table entry is at least 2^14; for wrapped offsets too, the distance
// being taken from them), so a pixel with either offset at or beyond the last
// non-zero sample stays unchanged, as it does in the plain kernel; each row is
// narrowed further to the circle that can reach such a sample. Returns false,
// having drawn and polled nothing, when its scratch memory cannot be had; the
// plain kernel then draws the band.
bool StampPreparedBand(const StampJob& job, FlareContext& context, float aspect, RowBand band,
                       int32_t bound, int32_t threadIndex, StampRowKernels kernels, int32_t& result) {
  const int32_t columns = job.columns;
  const int32_t packedCount = bound + 1;
  uint32_t* scratch = static_cast<uint32_t*>(std::malloc(
      (static_cast<size_t>(columns) + static_cast<size_t>(packedCount) + kHypotTableSize) * sizeof(uint32_t)));
  if (scratch == nullptr) return false;
  uint32_t* table = scratch;
  uint32_t* packed = table + kHypotTableSize;
  int32_t* absDx = reinterpret_cast<int32_t*>(packed + packedCount);
  WidenHypotTable(context.hypotTable, table);
  const int32_t nonZeroEnd = PackProfile(context, packedCount, packed);

  int32_t begin = columns;
  int32_t end = 0;
  for (int32_t c = 0; c < columns; ++c) {
    const int32_t dx = TruncToInt16(StampDx(job.centerQx, c, aspect));
    absDx[c] = dx < 0 ? -dx : dx;
    if (absDx[c] < nonZeroEnd) {
      if (begin == columns) begin = c;
      end = c + 1;
    }
  }

  // FastHypot never falls far below the true distance h = sqrt(dx^2 + dy^2):
  // the index loses less than 1/256 of the ratio (costing at most 0.7072/256 of
  // an entry's 2^14 scale), an entry is rounded by at most 1/2 and the result
  // is truncated, so d > 0.9972 h - 1. A pixel with h >= (nonZeroEnd + 1) x 1.01
  // therefore has d >= nonZeroEnd and takes a sample of 0.
  const double reachable = (static_cast<double>(nonZeroEnd) + 1.0) * 1.01;
  const int64_t reachableSquared = static_cast<int64_t>(reachable * reachable) + 1;

  ProfileRowTask task{};
  task.pixelBytes = job.frame->pixelBytes;
  task.columns = columns;
  task.absDx = absDx;
  task.table = table;
  task.packed = packed;
  result = 0;
  for (int32_t r = band.first; r < band.end; ++r) {
    if (const int16_t answer = PollAbortBeforeRow(threadIndex, context)) {
      result = answer;
      break;
    }
    const int32_t dy = TruncToInt16(StampDy(job.centerQy, r));
    task.absDy = dy < 0 ? -dy : dy;
    if (begin >= end || task.absDy >= nonZeroEnd) continue;
    // Columns whose offsets lie on or outside the circle of radius `reachable`
    // cannot reach a non-zero sample either.
    const int64_t dxSquaredLimit = reachableSquared - static_cast<int64_t>(task.absDy) * task.absDy;
    task.begin = begin;
    task.end = end;
    while (task.begin < task.end && static_cast<int64_t>(absDx[task.begin]) * absDx[task.begin] >= dxSquaredLimit) {
      ++task.begin;
    }
    while (task.end > task.begin && static_cast<int64_t>(absDx[task.end - 1]) * absDx[task.end - 1] >= dxSquaredLimit) {
      --task.end;
    }
    if (task.begin >= task.end) continue;
    task.pixels = BoxRowPixels(job, r);
    kernels.profileRow(task);
  }
  std::free(scratch);
  if (result == 0) result = LoadStatus(context);
  return true;
}

}  // namespace

void StampProfile(float x, float y, float radius, FlareFrame& frame, FlareContext& context) {
  const StampBox box = ProfileStampBox(x, y, radius, frame, PixelAspect(context));
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
  int32_t bound = 0;
  const bool drawable = band.first < band.end && job.columns > 0 && profile.length > 0;
  const bool inRange = drawable && BandWithinProfile(job, profile, aspect, band, bound);
  const StampKernelSet kernelSet = ActiveStampKernelSet();
  if (drawable && kernelSet != StampKernelSet::kPlain) {
    int32_t result = 0;
    if (StampPreparedBand(job, context, aspect, band, bound, threadIndex, RowKernelsFor(kernelSet), result)) {
      return result;
    }
  }

  return WalkBandRows(job, context, band, threadIndex, aspect, [&](const StampRow& row) {
    if (inRange) {
      ScreenProfileRow<false>(profile, row);
    } else {
      ScreenProfileRow<true>(profile, row);
    }
  });
}
