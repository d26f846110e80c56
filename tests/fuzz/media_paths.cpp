// Sequence patterns as inputs and outputs name them ("plate.%04d.exr",
// "shot/plate.####.dpx"), and file names matched against them when a sequence
// is scanned. The input is the pattern, then after a newline a file name. A
// pattern must find its own files again: each frame's name matches as that
// frame, and only the spelling it writes matches at all.
#include "host/media/media_paths.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = lffuzz::Text(data, size);
  const size_t newline = text.find('\n');
  const std::string path = text.substr(0, newline);
  lfhost::MediaKindOf(path);
  const std::optional<lfhost::SequencePattern> pattern = lfhost::SequencePattern::Parse(path);
  if (!pattern) return 0;
  for (const int64_t frame : {int64_t{0}, int64_t{7}, int64_t{1001}, int64_t{999999999999999}}) {
    const std::string name = pattern->PathFor(frame).substr(pattern->folder().size());
    const std::optional<int64_t> matched = pattern->Match(name);
    if (matched != frame) lffuzz::Broken("\"" + name + "\" does not match " + path + " as frame " + std::to_string(frame));
  }
  if (newline == std::string::npos) return 0;
  const std::string name = text.substr(newline + 1);
  if (const std::optional<int64_t> frame = pattern->Match(name)) {
    if (*frame < 0 || pattern->PathFor(*frame) != pattern->folder() + name) {
      lffuzz::Broken("\"" + name + "\" matches " + path + " as frame " + std::to_string(*frame));
    }
  }
  return 0;
}
