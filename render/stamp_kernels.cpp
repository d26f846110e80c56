#include "render/stamp_kernels.h"

#include <atomic>
#include <cstdlib>

#include "render/screen_blend.h"
#include "render/fixed_point.h"
#include "render/full_context.h"
#include "render/stamp_common.h"
#include "render/truncate.h"

namespace {

// Asked once; the answer includes the operating system's support for the
// wide registers.
bool ProcessorHasAvx2() {
#if defined(__x86_64__)
  static const bool hasAvx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return hasAvx2;
#else
  return false;
#endif
}

#ifdef LF_TEST_SEAMS
// -1: no set forced.
std::atomic<int> gForcedSet{-1};
#endif

}  // namespace

bool StampKernelSetSupported(StampKernelSet set) {
  return set != StampKernelSet::kAvx2 || ProcessorHasAvx2();
}

StampKernelSet ActiveStampKernelSet() {
#ifdef LF_TEST_SEAMS
  const int forced = gForcedSet.load(std::memory_order_relaxed);
  if (forced >= 0 && StampKernelSetSupported(static_cast<StampKernelSet>(forced))) {
    return static_cast<StampKernelSet>(forced);
  }
#endif
  return ProcessorHasAvx2() ? StampKernelSet::kAvx2 : StampKernelSet::kPortable;
}

#ifdef LF_TEST_SEAMS
void ForceStampKernelSet(StampKernelSet set) {
  gForcedSet.store(static_cast<int>(set), std::memory_order_relaxed);
}
void ClearForcedStampKernelSet() { gForcedSet.store(-1, std::memory_order_relaxed); }
#endif

StampRowKernels RowKernelsFor(StampKernelSet set) {
#if defined(__x86_64__)
  if (set == StampKernelSet::kAvx2 && ProcessorHasAvx2()) {
    return {&ScreenProfileRowAvx2, &ScreenRayRowAvx2, &ScreenFullProfileRowAvx2, &ScreenFullRayRowAvx2};
  }
#endif
  (void)set;
  return {&ScreenProfileRowPortable, &ScreenRayRowPortable, &ScreenFullProfileRowPortable,
          &ScreenFullRayRowPortable};
}

int32_t PackProfile(const FlareContext& context, int32_t count, uint32_t* packed) {
  int32_t nonZeroEnd = 0;
  for (int32_t i = 0; i < count; ++i) {
    const int32_t at = ProfileIndex(i, context.profileLength);
    const uint32_t word = uint32_t{context.profileRed[at]} | (uint32_t{context.profileGreen[at]} << 8) |
                          (uint32_t{context.profileBlue[at]} << 16);
    packed[i] = word;
    if (word != 0) nonZeroEnd = i + 1;
  }
  return nonZeroEnd;
}

int32_t MirrorColumnSum(const int32_t* absDx, int32_t columns) {
  int32_t nearest = 0;
  for (int32_t c = 1; c < columns; ++c) {
    if (absDx[c] < absDx[nearest]) nearest = c;
  }
  const bool pair = nearest + 1 < columns && absDx[nearest + 1] == absDx[nearest];
  return 2 * nearest + (pair ? 1 : 0);
}

void WidenHypotTable(const HypotTable& table, uint32_t* widened) {
  for (int i = 0; i < kHypotTableSize; ++i) widened[i] = table.entry[i];
}

void ScreenPackedPixel(uint8_t* pixel, uint32_t sample) {
  pixel[0] = ScreenByte(static_cast<uint8_t>(sample), pixel[0]);
  pixel[1] = ScreenByte(static_cast<uint8_t>(sample >> 8), pixel[1]);
  pixel[2] = ScreenByte(static_cast<uint8_t>(sample >> 16), pixel[2]);
}

namespace {

// FastHypot of two 16-bit magnitudes through the widened table.
inline int32_t HypotOfMagnitudes(const uint32_t* table, int32_t x, int32_t y) {
  const int32_t hi = x > y ? x : y;
  const int32_t lo = x > y ? y : x;
  if (hi == 0) return 0;
  return static_cast<int32_t>((table[(lo * 256) / hi] * static_cast<uint32_t>(hi)) >> 14);
}

}  // namespace

void ScreenProfileRowPortable(const ProfileRowTask& task) {
  uint8_t* pixel = task.pixels + static_cast<ptrdiff_t>(task.begin) * task.pixelBytes;
  for (int32_t c = task.begin; c < task.end; ++c, pixel += task.pixelBytes) {
    const uint32_t sample = task.packed[HypotOfMagnitudes(task.table, task.absDx[c], task.absDy)];
    if (sample != 0) ScreenPackedPixel(pixel, sample);
  }
}

namespace {

// The jittered index of a ray stamp: d pushed out by j x d / reach, read at the
// profile's last sample when at or beyond its end; negative leaves the pixel.
inline int32_t JitteredIndex(uint32_t first, uint32_t second, uint32_t jitterMask, int32_t d, float reach,
                             int32_t length) {
  const uint32_t j = ((first << 16) + second) & jitterMask;
  const int32_t m = static_cast<int32_t>(j * static_cast<uint32_t>(d));  // wraps as a 32-bit product
  return ProfileIndex(TruncToInt32(static_cast<float>(m) / reach + static_cast<float>(d)), length);
}

}  // namespace

void ScreenRayRowPortable(const RayRowTask& task) {
  uint8_t* pixel = task.pixels;
  for (int32_t c = 0; c < task.columns; ++c, pixel += task.pixelBytes) {
    const uint32_t first = static_cast<uint32_t>(std::rand());
    const uint32_t second = static_cast<uint32_t>(std::rand());
    const int32_t dx = task.dx[c];
    const int32_t d = HypotOfMagnitudes(task.table, dx < 0 ? -dx : dx, task.absDy);
    const int32_t index = JitteredIndex(first, second, task.jitterMask, d, task.reach, task.length);
    if (index < 0) continue;
    const uint32_t sample = task.packed[index];
    if (sample != 0) ScreenPackedPixel(pixel, sample);
  }
}

void ScreenFullProfileRowPortable(const FullProfileRowTask& task) {
  float* pixel = task.pixels + 3 * static_cast<ptrdiff_t>(task.begin);
  for (int32_t c = task.begin; c < task.end; ++c, pixel += 3) {
    const int32_t d = HypotOfMagnitudes(task.table, task.absDx[c], task.absDy);
    if (d >= task.count) continue;
    pixel[0] = ScreenShare(task.sample[0][d], pixel[0]);
    pixel[1] = ScreenShare(task.sample[1][d], pixel[1]);
    pixel[2] = ScreenShare(task.sample[2][d], pixel[2]);
  }
}

void ScreenFullRayRowPortable(const FullRayRowTask& task) {
  float* pixel = task.pixels;
  for (int32_t c = 0; c < task.columns; ++c, pixel += 3) {
    const uint32_t first = static_cast<uint32_t>(std::rand());
    const uint32_t second = static_cast<uint32_t>(std::rand());
    const int32_t dx = task.dx[c];
    const int32_t d = HypotOfMagnitudes(task.table, dx < 0 ? -dx : dx, task.absDy);
    const int32_t index = JitteredIndex(first, second, task.jitterMask, d, task.reach, task.length);
    if (index < 0) continue;
    pixel[0] = ScreenShare(task.sample[0][index], pixel[0]);
    pixel[1] = ScreenShare(task.sample[1][index], pixel[1]);
    pixel[2] = ScreenShare(task.sample[2][index], pixel[2]);
  }
}
