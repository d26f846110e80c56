// Whole renders of every lens on an opaque black frame, held against the
// SHA-256 checksums of an independent implementation of the module. A mismatch
// leaves the render as a .pam file in the test's working directory.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/flare_render_harness.h"
#include "tests/support/sha256.h"

namespace {

struct ReferenceRender {
  const char* name;
  FlareRenderCase render;
  const char* sha256;
};

const ReferenceRender kReferenceRenders[] = {
    {"zoom_1920x1080", {1920, 1080, 1, 100, 40960000, 26214400, 1, 1, 0, 0},
     "056b36d44a31312ba4d211615965850dd7224f2347906162aa3b78c19af7afd7"},
    {"prime35_1920x1080", {1920, 1080, 2, 100, 40960000, 26214400, 1, 1, 0, 0},
     "a5d66fe2e01ff8d696a6d9cd05e5d123c5b54b48766795679dccbf72ab4cb3d5"},
    {"prime105_1920x1080", {1920, 1080, 3, 100, 40960000, 26214400, 1, 1, 0, 0},
     "63637b5db31785f9558e5aed1a289b2eb8fbce3156a8a3d7747f6f95f785c3e0"},
    {"prime105_721x487_aspect_10_11", {721, 487, 3, 250, -6586368, 19660800, 10, 11, 0, 7},
     "f85fb728d976f9c1d57bb209ec00676b10ff85b60c5c08071df7be5fe5018e31"},
    {"zoom_640x480_faded_blended", {640, 480, 1, 5, 20971520, 15728640, 1, 1, 2457600, 0},
     "1cc9d1c5859ff38c715d67e3164618026d5a808e84bad888430e7153da525f51"},
    {"prime35_97x61_aspect_2", {97, 61, 2, 300, 0, 1966080, 2, 1, 0, 0},
     "46801fcb409e2cec041eba1799ca104f647f5db6998b04b66258e1fd7978003e"},
};

TEST(LensReferenceRenders, MatchTheIndependentChecksums) {
  for (const ReferenceRender& reference : kReferenceRenders) {
    SCOPED_TRACE(reference.name);
    const FlareRenderResult result = RenderFlareCase(reference.render);
    EXPECT_EQ(result.status, 0);
    const std::string sha = Sha256Hex(result.rgba.data(), result.rgba.size());
    EXPECT_EQ(sha, reference.sha256);
    if (sha != reference.sha256)
      WriteRgbaPam(std::string(reference.name) + ".pam", reference.render.width, reference.render.height,
                   result.rgba);
  }
}

}  // namespace
