#include "render/stamp_profile.h"

#include <cstdlib>

#include "render/screen_blend.h"
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

// Whether the whole band keeps every offset within 16 bits and every distance
// below the profile's end, with the band's distance bound in `bound`.
bool BandWithinProfile(const StampJob& job, const ProfileView& profile, float aspect, RowBand band,
                       int32_t& bound) {
  return BandDistanceBound(job, *profile.table, aspect, band, bound) && bound < profile.length;
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
      (2 * static_cast<size_t>(columns) + static_cast<size_t>(packedCount) + kHypotTableSize) * sizeof(uint32_t)));
  if (scratch == nullptr) return false;
  uint32_t* table = scratch;
  uint32_t* packed = table + kHypotTableSize;
  int32_t* absDx = reinterpret_cast<int32_t*>(packed + packedCount);
  uint32_t* rowSamples = packed + packedCount + columns;
  WidenHypotTable(context.hypotTable, table);
  const int32_t nonZeroEnd = PackProfile(context, packedCount, packed);

  const ColumnSpan columnsWithin = ColumnsWithin(job, aspect, nonZeroEnd, absDx);
  const int64_t reachableSquared = ReachableSquared(nonZeroEnd);

  ProfileRowTask task{};
  task.pixelBytes = job.frame->pixelBytes;
  task.columns = columns;
  task.absDx = absDx;
  task.table = table;
  task.packed = packed;
  task.mirror = MirrorColumnSum(absDx, columns);
  task.samples = rowSamples;
  result = 0;
  for (int32_t r = band.first; r < band.end; ++r) {
    if (const int16_t answer = PollAbortBeforeRow(threadIndex, context)) {
      result = answer;
      break;
    }
    const int32_t dy = TruncToInt16(StampDy(job.centerQy, r));
    task.absDy = dy < 0 ? -dy : dy;
    if (task.absDy >= nonZeroEnd) continue;
    const ColumnSpan span = NarrowToCircle(absDx, columnsWithin, task.absDy, reachableSquared);
    if (span.begin >= span.end) continue;
    task.begin = span.begin;
    task.end = span.end;
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
