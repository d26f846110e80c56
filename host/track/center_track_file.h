// Centre tracks exported by other tools, as plain text: one line per frame of
// frame, x, y, separated by commas (CSV) or by spaces and tabs. Blank lines and
// lines starting with '#' are skipped, and so is a first line whose first field
// is not a number (a header such as "frame,x,y"). x and y are pixels from the
// frame's top left; with yUp from its bottom left, so y becomes height - y (the
// frame spans 0 to height, as percent coordinates do). A line's key frame is
// its frame number plus frameOffset, which must come out from 0 up.
#pragma once

#include <cstdint>
#include <string>

#include "host/core/keyframes.h"

namespace lftrack {

// Throws HostError "NAME: line N: WHAT" for a line that is not frame, x, y, a
// frame given twice or one before frame 0, and "NAME: ..." when no line holds a
// frame.
lfhost::Track<lfhost::CenterPoint> ParseCenterTrack(const std::string& text, const std::string& name,
                                                    const lfhost::CenterTrackFile& how, int32_t height);

// Reads how.path (at most kMaxKeyframeFileBytes) and parses it.
lfhost::Track<lfhost::CenterPoint> LoadCenterTrack(const lfhost::CenterTrackFile& how, int32_t height);

}  // namespace lftrack
