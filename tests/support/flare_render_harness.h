// A whole frame rendered as the host renders it, without the host: RenderFlare
// over a frame of packed A,R,G,B rows on a FakeHost, rand() seeded right before.
// The caller sets the host's threads and pixel aspect and fills the frame.
#pragma once

#include <cstdint>
#include <vector>

#include "shell/host_protocol.h"
#include "tests/support/fake_host.h"

struct FlareRenderSettings {
  int32_t lens;
  double brightnessPercent;
  Fix16 centerX, centerY;  // pixels, 16.16
  unsigned seed;           // srand() right before the render
};

// The row pitch our host gives a frame `width` pixels wide: 4 x width rounded up
// to 64 bytes, and 64 more.
int32_t HostRowBytes(int32_t width);

// Renders the flare in place over `frame`, `height` rows of HostRowBytes(width)
// bytes, and returns the status the render left; `context` is wired to the host
// here and keeps what the render left in it.
int16_t RenderWholeFrame(FakeHost& host, const FlareRenderSettings& settings, std::vector<uint8_t>& frame,
                         int32_t width, int32_t height, FlareContext& context);
int16_t RenderWholeFrame(FakeHost& host, const FlareRenderSettings& settings, std::vector<uint8_t>& frame,
                         int32_t width, int32_t height);

// The same flare drawn at full precision over black (RenderFullFlare): R, G, B
// floats a pixel, rows packed, 0..1. Returns the status.
int16_t RenderFullFrame(FakeHost& host, const FlareRenderSettings& settings, std::vector<float>& rgb, int32_t width,
                        int32_t height);
