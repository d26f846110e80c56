#include "render/stamp_rays.h"

#include <cstdlib>

#include "render/screen_blend.h"
#include "render/stamp_common.h"
#include "render/stamp_kernels.h"

namespace {

struct JitterParams {
  uint32_t mask;
  float reach;
};

// The plain kernel, kept as the reference the prepared kernels are held to
// (stamp_kernels.h) and as their fallback.
// Screens one row with the profile sampled at each pixel's distance pushed
// outward by a random factor. Every pixel of the row makes its two draws, in
// order, so the random sequence always advances by two draws per pixel of the
// box. Offsets wrap to 16 bits and a jittered index at or beyond the profile's
// end reads its last sample, as in the profile stamp; a pixel whose index is
// negative (possible only with a negative reach) is left unchanged.
void ScreenJitteredRow(const ProfileView& profile, const StampRow& row, JitterParams jitter) {
  uint8_t* pixel = row.pixels;
  for (int32_t c = 0; c < row.columns; ++c, pixel += row.pixelBytes) {
    const int32_t d = FastHypot(*profile.table, TruncToInt16(StampDx(row.centerQx, c, row.aspect)), row.dy);
    const uint32_t first = static_cast<uint32_t>(std::rand());
    const uint32_t second = static_cast<uint32_t>(std::rand());
    const uint32_t j = ((first << 16) + second) & jitter.mask;
    const int32_t m = static_cast<int32_t>(j * static_cast<uint32_t>(d));  // wraps as a 32-bit product
    const int32_t index = ProfileIndex(
        TruncToInt32(static_cast<float>(m) / jitter.reach + static_cast<float>(d)), profile.length);
    if (index < 0) continue;
    pixel[0] = ScreenByte(profile.red[index], pixel[0]);
    pixel[1] = ScreenByte(profile.green[index], pixel[1]);
    pixel[2] = ScreenByte(profile.blue[index], pixel[2]);
  }
}

// The prepared band (stamp_kernels.h): the whole profile packed and each
// column's dx once for all rows; the row kernel makes the draws. Returns false,
// having touched no pixel, polled nothing and made no draw, when its scratch
// memory cannot be had.
bool StampPreparedRayBand(const StampJob& job, FlareContext& context, float aspect, RowBand band,
                          int32_t threadIndex, StampRowKernels kernels, int32_t& result) {
  const int32_t columns = job.columns;
  const int32_t length = context.profileLength;
  if (length <= 0) return false;
  uint32_t* scratch = static_cast<uint32_t*>(std::malloc(
      (static_cast<size_t>(columns) + static_cast<size_t>(length) + kHypotTableSize) * sizeof(uint32_t)));
  if (scratch == nullptr) return false;
  uint32_t* table = scratch;
  uint32_t* packed = table + kHypotTableSize;
  int32_t* dx = reinterpret_cast<int32_t*>(packed + length);
  WidenHypotTable(context.hypotTable, table);
  PackProfile(context, length, packed);
  for (int32_t c = 0; c < columns; ++c) {
    dx[c] = TruncToInt16(StampDx(job.centerQx, c, aspect));
  }

  RayRowTask task{};
  task.pixelBytes = job.frame->pixelBytes;
  task.columns = columns;
  task.dx = dx;
  task.jitterMask = job.jitterMask;
  task.reach = job.reach;
  task.table = table;
  task.packed = packed;
  task.length = length;
  result = 0;
  for (int32_t r = band.first; r < band.end; ++r) {
    if (const int16_t answer = PollAbortBeforeRow(threadIndex, context)) {
      result = answer;
      break;
    }
    const int32_t dy = TruncToInt16(StampDy(job.centerQy, r));
    task.absDy = dy < 0 ? -dy : dy;
    task.pixels = BoxRowPixels(job, r);
    kernels.rayRow(task);
  }
  std::free(scratch);
  if (result == 0) result = LoadStatus(context);
  return true;
}

}  // namespace

// The largest 2^k - 1 (k >= 1) not above width / 12, compared unsigned.
uint32_t JitterMaskFor(int32_t width) {
  const uint32_t limit = static_cast<uint32_t>(width / 12);
  for (int k = 32; k >= 1; --k) {
    const uint32_t mask = k == 32 ? 0xFFFFFFFFu : (1u << k) - 1u;
    if (mask <= limit) return mask;
  }
  return 0;
}

void StampRays(float x, float y, float radius, FlareFrame& frame, FlareContext& context) {
  const float reach = radius + 2.0f;
  const StampBox box = RayStampBox(x, y, radius, frame, PixelAspect(context));

  StampJob job{};
  job.context = &context;
  job.frame = &frame;
  FillJobBox(job, box, frame);
  job.jitterMask = JitterMaskFor(frame.width);
  job.reach = reach;
  // One invocation, so the draws happen in one fixed order.
  const int32_t result = context.host->callbacks->iterate(1, &job, &StampRaysWorker);
  StoreStatus(context, static_cast<int16_t>(result));
}

extern "C" int32_t StampRaysWorker(void* jobPointer, int32_t threadIndex, int32_t index, int32_t count) {
  const StampJob& job = *static_cast<const StampJob*>(jobPointer);
  FlareContext& context = *job.context;
  const RowBand band = BandFor(job.rows, index, count);
  const float aspect = PixelAspect(context);
  const ProfileView profile = ProfileViewOf(context);
  const JitterParams jitter{job.jitterMask, job.reach};

  // A reach of 0 or NaN would make the jittered index NaN, which the row
  // kernels do not reproduce; such stamps keep the plain kernel.
  const StampKernelSet kernelSet = ActiveStampKernelSet();
  const bool reachUsable = job.reach != 0.0f && job.reach == job.reach;
  if (kernelSet != StampKernelSet::kPlain && reachUsable && job.columns > 0 && band.first < band.end) {
    int32_t result = 0;
    if (StampPreparedRayBand(job, context, aspect, band, threadIndex, RowKernelsFor(kernelSet), result)) {
      return result;
    }
  }

  return WalkBandRows(job, context, band, threadIndex, aspect,
                      [&](const StampRow& row) { ScreenJitteredRow(profile, row, jitter); });
}
