// Frame lists as --frames takes them ("1001-1048", "1-100x4", "1,5,10-12").
// A list that is accepted must hold what it says: picks increasing within
// first..last, and every frame of the span when there are no picks.
#include "host/core/frame_range.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::optional<lfhost::FrameRange> range = lfhost::ParseFrameRange(lffuzz::Text(data, size));
  if (!range) return 0;
  if (range->first < 0 || range->last < range->first) {
    lffuzz::Broken("span " + std::to_string(range->first) + " to " + std::to_string(range->last));
  }
  if (range->picks.empty()) return 0;
  if (range->picks.front() != range->first || range->picks.back() != range->last) {
    lffuzz::Broken("picks do not span first to last");
  }
  for (size_t i = 1; i < range->picks.size(); ++i) {
    if (range->picks[i] <= range->picks[i - 1]) lffuzz::Broken("picks not increasing");
  }
  if (range->Frames() != range->picks) lffuzz::Broken("Frames() is not the picks");
  return 0;
}
