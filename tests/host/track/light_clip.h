// Footage for the tracker, made on the spot: a grey light (a Gaussian blob)
// moving along a known curve over a textured background with grain, blurred
// by a shutter centred on each frame's time, and an optional dark bar passing
// over it. Grain cycles through four patterns, so a frame costs a copy and a
// small stamp even at 1920x1080.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "host/core/image_buffer.h"
#include "host/media/frame_sources.h"
#include "host/track/light_tracker.h"

namespace lftest {

struct LightClip {
  int32_t width = 256, height = 160;
  int frames = 40;
  std::function<lftrack::Point(double)> path;   // the light's centre at a time in frames
  double sigma = 2.5, gain = 200;
  double grain = 8;                             // uniform, plus or minus
  double shutter = 0;                           // open for this share of a frame
  std::function<double(double)> bar;            // the dark bar's centre x (none when empty)
  double barHalfWidth = 20;

  lfhost::ImageBuffer Frame(int n) const {
    if (backgrounds_.empty()) {
      for (uint32_t k = 0; k < 4; ++k) backgrounds_.push_back(Background(k));
    }
    lfhost::ImageBuffer f = backgrounds_[static_cast<size_t>(n) % 4].Clone();
    if (bar) {
      const double x0 = bar(n) - barHalfWidth;
      for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = std::max(0, static_cast<int32_t>(std::ceil(x0))); x < std::min<double>(width, x0 + 2 * barHalfWidth); ++x) {
          Grey(f, x, y, 25 + (f.at(x, y, 1) & 7));
        }
      }
    }
    constexpr int kSamples = 9;
    const lftrack::Point c = path(n);
    const int32_t r = static_cast<int32_t>(4 * sigma + shutter * 40) + 2;
    for (int32_t y = std::max(0, static_cast<int32_t>(c.y) - r); y < std::min(height, static_cast<int32_t>(c.y) + r); ++y) {
      for (int32_t x = std::max(0, static_cast<int32_t>(c.x) - r); x < std::min(width, static_cast<int32_t>(c.x) + r); ++x) {
        double light = 0;
        for (int k = 0; k < kSamples; ++k) {
          const lftrack::Point p = path(n + shutter * (k / (kSamples - 1.0) - 0.5));
          light += std::exp(-((x - p.x) * (x - p.x) + (y - p.y) * (y - p.y)) / (2 * sigma * sigma)) / kSamples;
        }
        if (bar && std::fabs(x - bar(n)) <= barHalfWidth) continue;
        Grey(f, x, y, f.at(x, y, 1) + gain * light);
      }
    }
    return f;
  }

 private:
  static void Grey(lfhost::ImageBuffer& f, int32_t x, int32_t y, double v) {
    const auto g = static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
    f.at(x, y, 0) = 255;
    f.at(x, y, 1) = f.at(x, y, 2) = f.at(x, y, 3) = g;
  }
  lfhost::ImageBuffer Background(uint32_t pattern) const {
    lfhost::ImageBuffer f(width, height);
    for (int32_t y = 0; y < height; ++y) {
      for (int32_t x = 0; x < width; ++x) {
        uint32_t h = (static_cast<uint32_t>(x) * 73856093u) ^ (static_cast<uint32_t>(y) * 19349663u) ^ (pattern * 83492791u);
        h = (h ^ (h >> 13)) * 0x5bd1e995u;
        const double noise = ((h ^ (h >> 15)) % 2001 / 1000.0 - 1) * grain;
        Grey(f, x, y, 90 + 30 * std::sin(x * 0.11 + 0.7 * std::sin(y * 0.05)) * std::cos(y * 0.13) +
                          20 * std::sin((x + y) * 0.031) + noise);
      }
    }
    return f;
  }
  mutable std::vector<lfhost::ImageBuffer> backgrounds_;
};

// The clip's frames, numbered from 0, as a source the tracker reads.
class LightClipSource final : public lfhost::FrameSource {
 public:
  explicit LightClipSource(const LightClip& clip) : clip_(clip) {
    for (int n = 0; n < clip.frames; ++n) numbers_.push_back(n);
    width_ = clip.width;
    height_ = clip.height;
  }
  lfhost::MediaFrame ReadNext() override { return clip_.Frame(next_++); }

 private:
  const LightClip& clip_;
  int next_ = 0;
};

}  // namespace lftest
