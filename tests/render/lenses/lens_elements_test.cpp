// Lens programs at a brightness so low that some elements' colours truncate to
// black: those stamps still run but change nothing. Where each element lands
// and how it looks at ordinary brightness is pinned by the whole-render
// checksums; this edge is not among them.
#include <gtest/gtest.h>

#include <vector>

#include "render/lenses/lens_programs.h"
#include "render/render_flare.h"
#include "tests/support/fake_host.h"
#include "tests/support/stamp_recorder.h"

namespace {

// At b = 0.1 colours such as 2b, 5b and 6b truncate to 0.
TEST(LensElements, ElementsThatTruncateToBlackStillStampButChangeNothing) {
  struct Case {
    const char* name;
    void (*program)(FlareFrame&, FlareContext&);
    size_t stamps;
    std::vector<int> blackStamps;
  } cases[] = {
      // Discs (0, 5b, 11b), (0, 10b, 18b), (6b, 6b, 15b): 11b, 18b and 15b are 1,
      // which a set-mode disc stores as 0.
      {"zoom", &Zoom50To300LensProgram, 16, {11, 12, 13}},
      // Rows 18-19, 20-23 and 25.
      {"prime105", &Prime105LensProgram, 29, {3, 4, 5, 7}},
  };
  constexpr int kWidth = 800, kHeight = 600;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHost host;
    TestCanvas canvas(kWidth, kHeight, host, ProfileLengthFor(kWidth, 0.1f), 0.1f);
    canvas.context.frame.centerX = 0.35f;
    canvas.context.frame.centerY = 0.4f;
    StampRecorder recorder(host, canvas);
    c.program(canvas.context.frame, canvas.context);
    EXPECT_EQ(LoadStatus(canvas.context), 0);
    // The rows' padding is not in the checksums.
    EXPECT_TRUE(canvas.PaddingIntact());
    ASSERT_EQ(recorder.stamps.size(), c.stamps);
    for (int n : c.blackStamps) EXPECT_EQ(recorder.stamps[n].changedPixels, 0) << "stamp " << n;
    EXPECT_GT(recorder.stamps[0].changedPixels, 0);
  }
}

}  // namespace
