// Which frames a render covers: the frame lists compositors write, and the
// part of them one process of a farm takes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lfhost {

// Frames as compositors write them, numbers from 0 up: "A-B" (inclusive), "A",
// "A-BxN" (every Nth from A), or a comma list of those ("1001,1010,1020-1030").
// first and last span the frames; `picks` lists them when they are not every
// frame of that span.
struct FrameRange {
  int64_t first = 0;
  int64_t last = 0;
  std::vector<int64_t> picks;   // increasing; empty for every frame from first to last
  // The frames, in order.
  std::vector<int64_t> Frames() const;
};
std::optional<FrameRange> ParseFrameRange(const std::string& text);

// Part `index` (from 0) of `parts` near-equal, contiguous parts of a render's
// frames, so separate processes can share a shot (--chunk I/N).
struct FrameChunk {
  int64_t index = 0;
  int64_t parts = 1;
};

}  // namespace lfhost
