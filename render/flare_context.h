// The render state every renderer operation receives: the FlareContext (kept in
// the per-sequence block) and the FlareFrame geometry of the frame being drawn.
#pragma once

#include <atomic>
#include <cstdint>

#include "shell/host_protocol.h"

// 2.30 signed fixed point: v stands for v / 2^30; 1.0 is 0x40000000.
using Frac30 = int32_t;

// Hypotenuse over longer side for a shorter/longer ratio of i/256, scaled by 2^14.
inline constexpr int kHypotTableSize = 257;
struct HypotTable {
  uint16_t entry[kHypotTableSize];
};

struct FlareFrame {
  int16_t height;
  int16_t squareWidth;     // width x pixel aspect ratio, truncated
  int16_t width;
  int32_t rowBytes;
  int32_t pixelBytes;      // always 4
  uint8_t* pixels;         // the red byte of the top-left pixel
  float brightness;        // Flare Brightness / 100, never below 0.1
  float centerX;           // fraction of the width
  float centerY;           // fraction of the height
};

struct FlareContext {
  uint16_t streakMode;     // 1: fade from the start; 2: fade from the midpoint
  int16_t status;          // shared with stamp workers: use LoadStatus/StoreStatus
  int32_t profileLength;
  uint8_t* profileRed;
  uint8_t* profileGreen;
  uint8_t* profileBlue;
  FlareFrame frame;
  CommandInput* host;
  HypotTable hypotTable;   // last member, filled once per sequence
};

// The per-sequence block holds exactly one context.
struct SequenceData {
  FlareContext context;
};

inline constexpr int16_t kStatusOk = 0;
inline constexpr int16_t kStatusAborted = 1;

// status is written by the thread-index-0 stamp worker while the other workers
// read it, so every access during a stamp goes through an atomic 16-bit view.
inline int16_t LoadStatus(FlareContext& context) {
  return std::atomic_ref<int16_t>(context.status).load(std::memory_order_relaxed);
}
inline void StoreStatus(FlareContext& context, int16_t value) {
  std::atomic_ref<int16_t>(context.status).store(value, std::memory_order_relaxed);
}

// Host calls the lens programs make while they draw.
int32_t CheckAbort(FlareContext& context);
void ReportProgress(FlareContext& context, int32_t done, int32_t total);

// Pixel aspect ratio num/den of the current command, divided in double and
// rounded to float, as every stage of the renderer computes it.
inline float PixelAspect(const FlareContext& context) {
  return static_cast<float>(static_cast<double>(context.host->pixelAspectNum) /
                            static_cast<double>(context.host->pixelAspectDen));
}
