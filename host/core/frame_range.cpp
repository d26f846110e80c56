#include "host/core/frame_range.h"

#include <algorithm>
#include <set>

namespace lfhost {

std::vector<int64_t> FrameRange::Frames() const {
  if (!picks.empty()) return picks;
  std::vector<int64_t> frames;
  for (int64_t n = first; n <= last; ++n) frames.push_back(n);
  return frames;
}

std::optional<FrameRange> ParseFrameRange(const std::string& text) {
  auto number = [](const std::string& s) -> std::optional<int64_t> {
    if (s.empty() || s.size() > 15) return std::nullopt;
    for (char c : s) {
      if (c < '0' || c > '9') return std::nullopt;
    }
    return std::stoll(s);
  };
  // A plain range is kept as its ends (it may be long); a list or step is
  // spelt out, up to a million frames.
  const bool plain = text.find_first_of(",x") == std::string::npos;
  std::set<int64_t> frames;
  FrameRange whole;
  for (size_t start = 0;;) {
    const size_t comma = std::min(text.find(',', start), text.size());
    std::string part = text.substr(start, comma - start);
    int64_t step = 1;
    if (const size_t x = part.find('x'); x != std::string::npos) {
      const auto every = number(part.substr(x + 1));
      if (!every || *every < 1) return std::nullopt;
      step = *every;
      part.resize(x);
    }
    const size_t dash = part.find('-');
    const auto first = number(part.substr(0, dash));
    const auto last = dash == std::string::npos ? first : number(part.substr(dash + 1));
    if (!first || !last || *last < *first) return std::nullopt;
    // "1-100x4" ends at 97, its last frame, which is what a shot must hold.
    const int64_t end = *first + (*last - *first) / step * step;
    whole.first = start == 0 ? *first : std::min(whole.first, *first);
    whole.last = start == 0 ? end : std::max(whole.last, end);
    for (int64_t n = *first; !plain && n <= end; n += step) {
      frames.insert(n);
      if (frames.size() > 1000000) return std::nullopt;
    }
    if (comma == text.size()) break;
    start = comma + 1;
  }
  if (!plain && static_cast<int64_t>(frames.size()) != whole.last - whole.first + 1) {
    whole.picks.assign(frames.begin(), frames.end());
  }
  return whole;
}

}  // namespace lfhost
