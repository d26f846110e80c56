// The fast row kernels of the profile and ray stampers, and which of them run.
//
// The stamp workers prepare each band once: the profile packed into one 32-bit
// word per sample (red | green << 8 | blue << 16, so a word's bytes line up with
// a pixel's R, G, B bytes and the byte after them gets 0), the horizontal offset
// of every column, and the span of samples that are not 0 in all three
// channels. A sample of 0 leaves a pixel as it is under the screen, so the
// kernels skip such pixels and any row or column whose distance is bound to
// reach past the last non-zero sample. Every kernel gives the bytes of the
// plain per-pixel kernels kept beside them in stamp_profile.cpp and
// stamp_rays.cpp; tests hold each kernel set against those.
#pragma once

#include <cstdint>

#include "render/flare_context.h"

// Which kernels the stampers use. kPlain: the plain per-pixel reference
// kernels. kPortable: the band preparation with scalar C++ row kernels (the
// fallback on any processor). kAvx2: the same with AVX2 row kernels, eight
// pixels at a time, chosen at run time when the processor has AVX2.
enum class StampKernelSet { kPlain, kPortable, kAvx2 };

StampKernelSet ActiveStampKernelSet();
bool StampKernelSetSupported(StampKernelSet set);
#ifdef LF_TEST_SEAMS
// In the test build, for tests and benchmarks: use `set` from now on (ignored
// when unsupported) until cleared. Not to be changed while a stamp runs.
void ForceStampKernelSet(StampKernelSet set);
void ClearForcedStampKernelSet();
#endif

// One row of a profile stamp. Precondition: FastHypot of every column's offset
// in [begin, end) and absDy is below the packed profile's length.
struct ProfileRowTask {
  uint8_t* pixels;            // red byte of the box's column 0 in this row
  int32_t pixelBytes;
  int32_t columns;            // the box's width: its pixels may be read, never others
  int32_t begin, end;         // the columns to draw
  const int32_t* absDx;       // |dx| per box column, 16-bit magnitudes
  int32_t absDy;
  const uint32_t* table;      // the 257 HypotTable entries widened to 32 bits
  const uint32_t* packed;     // packed samples
  // Mirror reuse (AVX2 kernel): columns c and mirror - c usually have the same
  // |dx|, the stamp being symmetric about its centre, so a chunk of eight may
  // take the samples of its mirrored chunk, found in `samples` (`columns`
  // words the kernel writes), reversed. The kernel checks the |dx| of both
  // chunks before it does, so a wrong hint costs time only.
  int32_t mirror;
  uint32_t* samples;
};

// One row of a ray stamp. The kernel makes the row's rand() draws itself, two
// per pixel in pixel order, a few pixels ahead of the work that uses them, so
// that the work overlaps the draws. A jittered index at or beyond `length`
// reads the last sample; a pixel whose index is negative stays unchanged.
// length must be positive, reach neither 0 nor NaN.
struct RayRowTask {
  uint8_t* pixels;
  int32_t pixelBytes;
  int32_t columns;
  const int32_t* dx;          // per box column, 16-bit
  int32_t absDy;              // 16-bit magnitude
  uint32_t jitterMask;
  float reach;
  const uint32_t* table;
  const uint32_t* packed;
  int32_t length;
};

// One row of a full-precision profile stamp (full_stamps.cpp): the canvas holds
// R, G, B floats a pixel, and a pixel whose distance is below `count` is
// screened with sample d of each channel, 1 - (1 - a)(1 - s) as s + a (1 - s);
// any other pixel stays exactly as it is. Precondition as for ProfileRowTask,
// with `count` samples readable in each channel.
struct FullProfileRowTask {
  float* pixels;              // red of the box's column 0 in this row
  int32_t columns;            // the box's width: its pixels may be read, never others
  int32_t begin, end;         // the columns to draw
  const int32_t* absDx;       // |dx| per box column, 16-bit magnitudes
  int32_t absDy;
  const uint32_t* table;      // the 257 HypotTable entries widened to 32 bits
  const float* sample[3];     // R, G, B samples
  int32_t count;              // distances from here on leave the pixel
  int32_t mirror;             // as in ProfileRowTask
  float* samples;             // the AVX2 kernel's: 3 x `columns` floats, R, G, B
};

// One row of a full-precision ray stamp: RayRowTask's draws and jittered
// index over the canvas of FullProfileRowTask, reading the profile itself.
struct FullRayRowTask {
  float* pixels;
  int32_t columns;
  const int32_t* dx;          // per box column, 16-bit
  int32_t absDy;              // 16-bit magnitude
  uint32_t jitterMask;
  float reach;
  const uint32_t* table;
  const float* sample[3];     // R, G, B samples, `length` each
  int32_t length;
};

struct StampRowKernels {
  void (*profileRow)(const ProfileRowTask& task);
  void (*rayRow)(const RayRowTask& task);
  void (*fullProfileRow)(const FullProfileRowTask& task);
  void (*fullRayRow)(const FullRayRowTask& task);
};

// The row kernels of a set other than kPlain (kPlain gives the portable ones).
StampRowKernels RowKernelsFor(StampKernelSet set);

void ScreenProfileRowPortable(const ProfileRowTask& task);
void ScreenRayRowPortable(const RayRowTask& task);
void ScreenFullProfileRowPortable(const FullProfileRowTask& task);
void ScreenFullRayRowPortable(const FullRayRowTask& task);
#if defined(__x86_64__)
void ScreenProfileRowAvx2(const ProfileRowTask& task);
void ScreenRayRowAvx2(const RayRowTask& task);
void ScreenFullProfileRowAvx2(const FullProfileRowTask& task);
void ScreenFullRayRowAvx2(const FullRayRowTask& task);
#endif

// Packs samples [0, count) of the three channels, those at or beyond the
// profile's end repeating its last sample (the profile must have one). Returns
// the index after the last non-zero word (0 when all are 0).
int32_t PackProfile(const FlareContext& context, int32_t count, uint32_t* packed);

// The mirror hint of ProfileRowTask for the |dx| of a box's `columns` (at
// least 1) columns: twice the column of the smallest |dx| (the first, if two
// are smallest), plus one when the next column's is as small.
int32_t MirrorColumnSum(const int32_t* absDx, int32_t columns);

// The HypotTable widened to 32-bit entries.
void WidenHypotTable(const HypotTable& table, uint32_t* widened);

// The packed sample's three layer bytes screened over the pixel at `pixel`
// (its red byte).
void ScreenPackedPixel(uint8_t* pixel, uint32_t sample);
