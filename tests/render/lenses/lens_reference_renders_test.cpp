// Regression guards: whole renders of every lens on an opaque black frame, held
// against the SHA-256 checksums of an independent implementation of the module.
// Each is rendered as the render command does, without the command layer:
// RenderFlare over a copy of the input on a three-thread FakeHost, then the
// host's blend of the input back in by the command's ratio. A mismatch leaves
// the render as a .pam file in the test's working directory.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "shell/world_blend.h"
#include "shell/command_handlers.h"
#include "tests/support/fake_host.h"
#include "tests/support/flare_render_harness.h"
#include "tests/support/sha256.h"

namespace {

struct ReferenceRender {
  const char* name;
  int32_t width, height, lens;
  double brightnessPercent;
  Fix16 centerX, centerY;  // pixels, 16.16
  int32_t aspectNum;
  uint32_t aspectDen;
  Fix16 blendPercent;
  unsigned seed;  // srand() right before the render
  const char* sha256;
};

const ReferenceRender kReferenceRenders[] = {
    {"zoom_1920x1080", 1920, 1080, 1, 100, 40960000, 26214400, 1, 1, 0, 0,
     "056b36d44a31312ba4d211615965850dd7224f2347906162aa3b78c19af7afd7"},
    {"prime35_1920x1080", 1920, 1080, 2, 100, 40960000, 26214400, 1, 1, 0, 0,
     "a5d66fe2e01ff8d696a6d9cd05e5d123c5b54b48766795679dccbf72ab4cb3d5"},
    {"prime105_1920x1080", 1920, 1080, 3, 100, 40960000, 26214400, 1, 1, 0, 0,
     "63637b5db31785f9558e5aed1a289b2eb8fbce3156a8a3d7747f6f95f785c3e0"},
    {"prime105_721x487_aspect_10_11", 721, 487, 3, 250, -6586368, 19660800, 10, 11, 0, 7,
     "f85fb728d976f9c1d57bb209ec00676b10ff85b60c5c08071df7be5fe5018e31"},
    {"zoom_640x480_faded_blended", 640, 480, 1, 5, 20971520, 15728640, 1, 1, 2457600, 0,
     "1cc9d1c5859ff38c715d67e3164618026d5a808e84bad888430e7153da525f51"},
    {"prime35_97x61_aspect_2", 97, 61, 2, 300, 0, 1966080, 2, 1, 0, 0,
     "46801fcb409e2cec041eba1799ca104f647f5db6998b04b66258e1fd7978003e"},
    // Glows reaching past 8192 square pixels (offsets wrapping in 16 bits), and
    // at 16:1 distances past the profile's end.
    {"zoom_8300x1", 8300, 1, 1, 300, 0, 0, 1, 1, 0, 0,
     "fcfa32aed7455d70a14f181f74a28bf5d21283d8fc9a202b5376d8a7bcf0dfa5"},
    {"prime35_4096x400_aspect_2", 4096, 400, 2, 250, -13107200, 6553600, 2, 1, 0, 0,
     "14c3ecdec8202b2719d71d57728c91926966d1004933d6bbd54d567bc9767175"},
    {"zoom_64x48_aspect_16", 64, 48, 1, 10, 1310720, 983040, 16, 1, 0, 0,
     "235fe9a9ab5a924b5843b129cef95f889ecd0b60e8a928211231dd3b88e3f472"},
};

// Returns the status and the blended frame as R, G, B, A bytes, rows unpadded.
int16_t Render(const ReferenceRender& c, std::vector<uint8_t>& rgba) {
  FakeHost host;
  host.threads = 3;
  host.SetPixelAspect(c.aspectNum, c.aspectDen);
  const int32_t rowBytes = HostRowBytes(c.width);
  std::vector<uint8_t> input(static_cast<size_t>(rowBytes) * c.height, 0);
  for (int32_t y = 0; y < c.height; ++y)
    for (int32_t x = 0; x < c.width; ++x) input[static_cast<size_t>(y) * rowBytes + 4 * x] = 255;
  std::vector<uint8_t> output = input;
  const int16_t status =
      RenderWholeFrame(host, {c.lens, c.brightnessPercent, c.centerX, c.centerY, c.seed}, output, c.width, c.height);

  const int32_t ratio = BlendRatio(c.blendPercent, LowBrightnessFade(c.brightnessPercent));
  for (int32_t y = 0; y < c.height; ++y)
    for (int32_t x = 0; x < c.width; ++x)
      for (int i : {1, 2, 3, 0}) {
        const size_t at = static_cast<size_t>(y) * rowBytes + 4 * static_cast<size_t>(x) + i;
        rgba.push_back(BlendByte(output[at], input[at], ratio));
      }
  return status;
}

TEST(LensReferenceRenders, MatchTheIndependentChecksums) {
  for (const ReferenceRender& c : kReferenceRenders) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> rgba;
    EXPECT_EQ(Render(c, rgba), 0);
    const std::string sha = Sha256Hex(rgba.data(), rgba.size());
    EXPECT_EQ(sha, c.sha256);
    if (sha == c.sha256) continue;
    if (FILE* file = std::fopen((std::string(c.name) + ".pam").c_str(), "wb")) {
      std::fprintf(file, "P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n", c.width,
                   c.height);
      std::fwrite(rgba.data(), 1, rgba.size(), file);
      std::fclose(file);
    }
  }
}

}  // namespace
