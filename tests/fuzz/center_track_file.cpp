// A centre track exported by another tool (frame, x, y a line), read as a
// --keys file's "track" or --center-track reads it. The first two bytes choose
// how: y up or down, and the frame offset (from a large negative one to a
// large positive one, as a keys file may give any whole number).
#include "host/core/host_error.h"
#include "host/track/center_track_file.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr int64_t kOffsets[] = {0, 1, -1, 1000, -1001, 999999999999999LL, -999999999999999LL,
                                INT64_MAX, INT64_MIN, INT64_MAX - 5, INT64_MIN + 5};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  lfhost::CenterTrackFile how;
  how.yUp = data[0] & 1;
  how.frameOffset = kOffsets[data[1] % std::size(kOffsets)];
  lfhost::AnimatedControls controls;
  try {
    controls.center = lftrack::ParseCenterTrack(lffuzz::Text(data + 2, size - 2), "sun.csv", how, 1080);
  } catch (const lfhost::HostError&) {
    return 0;
  }
  for (const auto& [frame, point] : controls.center.keys) {
    if (frame < 0) lffuzz::Broken("a track key before frame 0: " + std::to_string(frame));
  }
  lffuzz::UseAsRenderDoes(controls, 1920, 1080);
  return 0;
}
