// The profile and ray stamps of the full-precision kit. Boxes, bands, row polls,
// distances (FastHypot of the same 16-bit offsets) and jittered indices are the
// exact kit's (stamp_common.h); only the sample and the screen are kept in
// single precision. The exact kit's kernels (stamp_profile.cpp, stamp_rays.cpp)
// are the reference for everything but the sample's precision.
#include <cstdlib>
#include <vector>

#include "render/stamp_common.h"
#include "render/stamp_kernels.h"
#include "render/stamp_profile.h"
#include "render/stamp_rays.h"

namespace {

struct FullStampJob {
  StampJob box;  // columns, rows, centre and jitter as the exact kit has them
  FullFlareContext* context;
  int32_t firstColumn;
  int32_t firstRow;
};

// The box for a canvas: the exact kit's box over a frame of packed 4-byte
// pixels, whose first column and row address the canvas.
FullStampJob FullJobFor(const StampBox& box, FlareFrame& frame, FullFlareContext& context) {
  FlareFrame packed = frame;
  packed.rowBytes = 4 * static_cast<int32_t>(frame.width);
  packed.pixelBytes = 4;
  FullStampJob job{};
  job.box.context = &context.shared();
  job.box.frame = &frame;
  FillJobBox(job.box, box, packed);
  job.context = &context;
  job.firstColumn = TruncToInt32(box.left);
  job.firstRow = TruncToInt32(box.top);
  return job;
}

float* CanvasRow(const FullStampJob& job, int32_t row) {
  const FullCanvas& canvas = job.context->canvas;
  return canvas.rgb + 3 * ((static_cast<ptrdiff_t>(job.firstRow) + row) * canvas.width + job.firstColumn);
}

inline void ScreenSample(float* pixel, const float* const profile[3], int32_t index) {
  pixel[0] = ScreenShare(profile[0][index], pixel[0]);
  pixel[1] = ScreenShare(profile[1][index], pixel[1]);
  pixel[2] = ScreenShare(profile[2][index], pixel[2]);
}

// The index after the profile's last sample that is not 0 in all channels; a
// profile whose last sample is not 0 reaches every distance (the stamp reads the
// last sample past the end).
int32_t ReachOf(const float* const profile[3], int32_t length) {
  for (int32_t i = length; i > 0; --i) {
    if (profile[0][i - 1] != 0.0f || profile[1][i - 1] != 0.0f || profile[2][i - 1] != 0.0f) {
      return i == length ? INT32_MAX : i;
    }
  }
  return 0;
}

// FastHypot of two 16-bit magnitudes with the ratio's index taken from a
// single-precision division, as the AVX2 kernels take it (stamp_kernels_avx2.cpp
// shows why the truncated quotient is always the integer one).
inline int32_t HypotOfMagnitudes(const HypotTable& table, int32_t x, int32_t y) {
  const int32_t hi = x > y ? x : y;
  const int32_t lo = x > y ? y : x;
  if (hi == 0) return 0;
  const int32_t i = static_cast<int32_t>(static_cast<float>(lo * 256) / static_cast<float>(hi));
  return static_cast<int32_t>((static_cast<uint32_t>(table.entry[i]) * static_cast<uint32_t>(hi)) >> 14);
}

// The plain kernel, kept as the reference the prepared kernels are held to
// (stamp_kernels.h) and as their fallback. Screens the rows of one band. A
// pixel whose |dx| or |dy| reaches the last non-zero sample stays as it is (a
// distance is never below either offset), as it does under the exact kit's
// screen of a zero sample.
int32_t StampFullBandPlain(const FullStampJob& job, RowBand band, int32_t threadIndex) {
  FullFlareContext& context = *job.context;
  FlareContext& shared = context.shared();
  const float aspect = PixelAspect(shared);
  const int32_t length = shared.profileLength;
  const float* const profile[3] = {context.profile[0], context.profile[1], context.profile[2]};
  const int32_t reach = length > 0 ? ReachOf(profile, length) : 0;
  // |dx| of each column as FastHypot reads it: the offset kept in 16 bits.
  std::vector<int32_t> absDx(job.box.columns > 0 ? static_cast<size_t>(job.box.columns) : 0);
  for (int32_t c = 0; c < job.box.columns; ++c) {
    const int32_t dx = static_cast<int16_t>(TruncToInt16(StampDx(job.box.centerQx, c, aspect)));
    absDx[c] = dx < 0 ? -dx : dx;
  }
  for (int32_t r = band.first; r < band.end; ++r) {
    if (const int16_t answer = PollAbortBeforeRow(threadIndex, shared)) return answer;
    const int32_t dy = TruncToInt16(StampDy(job.box.centerQy, r));
    const int32_t absDy = dy < 0 ? -dy : dy;
    if (absDy >= reach) continue;
    float* pixel = CanvasRow(job, r);
    for (int32_t c = 0; c < job.box.columns; ++c, pixel += 3) {
      if (absDx[c] >= reach) continue;
      const int32_t d = ProfileIndex(HypotOfMagnitudes(shared.hypotTable, absDx[c], absDy), length);
      if (d < reach) ScreenSample(pixel, profile, d);
    }
  }
  return LoadStatus(shared);
}

// The prepared band: no pixel is screened at a distance of `count` or more,
// count = the band's distance bound + 1 cut at the profile's reach, so every
// distance below it reads a sample the plain kernel reads. Samples past the
// profile's end (a profile whose last sample is not 0, shorter than the band's
// distances) are packed with that sample repeated; otherwise the kernel reads
// the profile itself. Columns and rows are narrowed as the exact kit's are
// (stamp_common.h). Returns false, having drawn and polled nothing, when its
// scratch memory cannot be had.
bool StampFullPreparedBand(const FullStampJob& job, RowBand band, int32_t threadIndex, StampRowKernels kernels,
                           int32_t& result) {
  FullFlareContext& context = *job.context;
  FlareContext& shared = context.shared();
  const float aspect = PixelAspect(shared);
  const int32_t length = shared.profileLength;
  const int32_t columns = job.box.columns;
  int32_t bound = 0;
  BandDistanceBound(job.box, shared.hypotTable, aspect, band, bound);
  const int32_t reach = ReachOf(context.profile, length);
  const int32_t count = reach <= bound ? reach : bound + 1;
  const size_t packedCount = count > length ? static_cast<size_t>(count) : 0;
  uint32_t* scratch = static_cast<uint32_t*>(
      std::malloc((kHypotTableSize + 4 * static_cast<size_t>(columns) + 3 * packedCount) * sizeof(uint32_t)));
  if (scratch == nullptr) return false;
  uint32_t* table = scratch;
  int32_t* absDx = reinterpret_cast<int32_t*>(table + kHypotTableSize);
  float* rowSamples = reinterpret_cast<float*>(absDx + columns);
  float* packed = rowSamples + 3 * static_cast<size_t>(columns);
  WidenHypotTable(shared.hypotTable, table);

  FullProfileRowTask task{};
  for (int ch = 0; ch < 3; ++ch) {
    task.sample[ch] = context.profile[ch];
    if (packedCount == 0) continue;
    float* channel = packed + ch * packedCount;
    for (size_t i = 0; i < packedCount; ++i) channel[i] = context.profile[ch][ProfileIndex(static_cast<int32_t>(i), length)];
    task.sample[ch] = channel;
  }
  const ColumnSpan columnsWithin = ColumnsWithin(job.box, aspect, count, absDx);
  const int64_t reachableSquared = ReachableSquared(count);
  task.columns = columns;
  task.absDx = absDx;
  task.table = table;
  task.count = count;
  task.mirror = MirrorColumnSum(absDx, columns);
  task.samples = rowSamples;
  result = 0;
  for (int32_t r = band.first; r < band.end; ++r) {
    if (const int16_t answer = PollAbortBeforeRow(threadIndex, shared)) {
      result = answer;
      break;
    }
    const int32_t dy = TruncToInt16(StampDy(job.box.centerQy, r));
    task.absDy = dy < 0 ? -dy : dy;
    if (task.absDy >= count) continue;
    const ColumnSpan span = NarrowToCircle(absDx, columnsWithin, task.absDy, reachableSquared);
    if (span.begin >= span.end) continue;
    task.begin = span.begin;
    task.end = span.end;
    task.pixels = CanvasRow(job, r);
    kernels.fullProfileRow(task);
  }
  std::free(scratch);
  if (result == 0) result = LoadStatus(shared);
  return true;
}

extern "C" int32_t FullStampProfileWorker(void* jobPointer, int32_t threadIndex, int32_t index, int32_t count) {
  const FullStampJob& job = *static_cast<const FullStampJob*>(jobPointer);
  const RowBand band = BandFor(job.box.rows, index, count);
  const StampKernelSet kernelSet = ActiveStampKernelSet();
  const int32_t length = job.context->shared().profileLength;
  if (kernelSet != StampKernelSet::kPlain && band.first < band.end && job.box.columns > 0 && length > 0) {
    int32_t result = 0;
    if (StampFullPreparedBand(job, band, threadIndex, RowKernelsFor(kernelSet), result)) return result;
  }
  return StampFullBandPlain(job, band, threadIndex);
}

// The prepared ray band: each column's dx once for all rows; the row kernel
// makes the draws. Returns false, having touched no pixel, polled nothing and
// made no draw, when its scratch memory cannot be had.
bool StampFullPreparedRayBand(const FullStampJob& job, RowBand band, int32_t threadIndex, StampRowKernels kernels,
                              int32_t& result) {
  FullFlareContext& context = *job.context;
  FlareContext& shared = context.shared();
  const float aspect = PixelAspect(shared);
  const int32_t columns = job.box.columns;
  uint32_t* scratch =
      static_cast<uint32_t*>(std::malloc((kHypotTableSize + static_cast<size_t>(columns)) * sizeof(uint32_t)));
  if (scratch == nullptr) return false;
  uint32_t* table = scratch;
  int32_t* dx = reinterpret_cast<int32_t*>(table + kHypotTableSize);
  WidenHypotTable(shared.hypotTable, table);
  for (int32_t c = 0; c < columns; ++c) dx[c] = TruncToInt16(StampDx(job.box.centerQx, c, aspect));

  FullRayRowTask task{};
  task.columns = columns;
  task.dx = dx;
  task.jitterMask = job.box.jitterMask;
  task.reach = job.box.reach;
  task.table = table;
  for (int ch = 0; ch < 3; ++ch) task.sample[ch] = context.profile[ch];
  task.length = shared.profileLength;
  result = 0;
  for (int32_t r = band.first; r < band.end; ++r) {
    if (const int16_t answer = PollAbortBeforeRow(threadIndex, shared)) {
      result = answer;
      break;
    }
    const int32_t dy = TruncToInt16(StampDy(job.box.centerQy, r));
    task.absDy = dy < 0 ? -dy : dy;
    task.pixels = CanvasRow(job, r);
    kernels.fullRayRow(task);
  }
  std::free(scratch);
  if (result == 0) result = LoadStatus(shared);
  return true;
}

// The rays: one invocation, two draws a pixel in pixel order, as the exact kit.
// The plain kernel below is the prepared kernels' reference; a reach of 0 or
// NaN keeps it, as in the exact kit.
extern "C" int32_t FullStampRaysWorker(void* jobPointer, int32_t threadIndex, int32_t index, int32_t count) {
  const FullStampJob& job = *static_cast<const FullStampJob*>(jobPointer);
  FullFlareContext& context = *job.context;
  FlareContext& shared = context.shared();
  const RowBand band = BandFor(job.box.rows, index, count);
  const StampKernelSet kernelSet = ActiveStampKernelSet();
  const bool reachUsable = job.box.reach != 0.0f && job.box.reach == job.box.reach;
  if (kernelSet != StampKernelSet::kPlain && reachUsable && job.box.columns > 0 && band.first < band.end &&
      shared.profileLength > 0) {
    int32_t result = 0;
    if (StampFullPreparedRayBand(job, band, threadIndex, RowKernelsFor(kernelSet), result)) return result;
  }
  const float aspect = PixelAspect(shared);
  const int32_t length = shared.profileLength;
  const float* const profile[3] = {context.profile[0], context.profile[1], context.profile[2]};
  for (int32_t r = band.first; r < band.end; ++r) {
    if (const int16_t answer = PollAbortBeforeRow(threadIndex, shared)) return answer;
    if (job.box.columns <= 0) continue;
    const int32_t dy = TruncToInt16(StampDy(job.box.centerQy, r));
    float* pixel = CanvasRow(job, r);
    for (int32_t c = 0; c < job.box.columns; ++c, pixel += 3) {
      const int32_t d =
          FastHypot(shared.hypotTable, TruncToInt16(StampDx(job.box.centerQx, c, aspect)), dy);
      const uint32_t first = static_cast<uint32_t>(std::rand());
      const uint32_t second = static_cast<uint32_t>(std::rand());
      const uint32_t j = ((first << 16) + second) & job.box.jitterMask;
      const int32_t m = static_cast<int32_t>(j * static_cast<uint32_t>(d));  // wraps as a 32-bit product
      const int32_t sampleIndex = ProfileIndex(
          TruncToInt32(static_cast<float>(m) / job.box.reach + static_cast<float>(d)), length);
      if (sampleIndex < 0) continue;
      ScreenSample(pixel, profile, sampleIndex);
    }
  }
  return LoadStatus(shared);
}

}  // namespace

void StampProfile(float x, float y, float radius, FlareFrame& frame, FullFlareContext& context) {
  FlareContext& shared = context.shared();
  FullStampJob job = FullJobFor(ProfileStampBox(x, y, radius, frame, PixelAspect(shared)), frame, context);
  const int32_t result = shared.host->callbacks->iterate(-1, &job, &FullStampProfileWorker);
  StoreStatus(shared, static_cast<int16_t>(result));
}

void StampRays(float x, float y, float radius, FlareFrame& frame, FullFlareContext& context) {
  FlareContext& shared = context.shared();
  FullStampJob job = FullJobFor(RayStampBox(x, y, radius, frame, PixelAspect(shared)), frame, context);
  job.box.jitterMask = JitterMaskFor(frame.width);
  job.box.reach = radius + 2.0f;
  const int32_t result = shared.host->callbacks->iterate(1, &job, &FullStampRaysWorker);
  StoreStatus(shared, static_cast<int16_t>(result));
}
