// Renders one whole frame the way the render command does, without the module's
// command layer: an opaque black input copied to the output, RenderFlare over it
// on a FakeHost, then the host's blend of the input back in by Blend With
// Original and the low-brightness fade. Used to hold whole renders against
// checksums.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "render/flare_context.h"

struct FlareRenderCase {
  int32_t width;
  int32_t height;
  int32_t lens;              // 1, 2 or 3
  double brightnessPercent;
  Fix16 centerX;             // pixels, 16.16
  Fix16 centerY;
  int32_t aspectNum;
  uint32_t aspectDen;
  Fix16 blendPercent;        // 16.16 percent
  unsigned seed;             // srand() right before the render
};

struct FlareRenderResult {
  int16_t status;
  std::vector<uint8_t> rgba;  // R, G, B, A per pixel, rows top to bottom, no padding
};

FlareRenderResult RenderFlareCase(const FlareRenderCase& c);

// Writes the RGBA bytes as a binary PAM (viewable, convertible to PNG) for a
// mismatch to be inspected; returns false if the file could not be written.
bool WriteRgbaPam(const std::string& path, int32_t width, int32_t height, const std::vector<uint8_t>& rgba);
