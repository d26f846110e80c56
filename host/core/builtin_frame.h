// The frame the tools render onto when the user gives no input: a quiet, opaque
// dark gradient, so a flare can be judged without footage.
#pragma once

#include "host/core/image_buffer.h"

namespace lfhost {

inline constexpr int32_t kBuiltinFrameWidth = 1920;
inline constexpr int32_t kBuiltinFrameHeight = 1080;

// Deep blue-grey at the top fading to near black at the bottom, a little
// lighter towards the middle; alpha 255 everywhere. Integer arithmetic only, so
// the frame is the same on every machine.
ImageBuffer MakeDarkFrame(int32_t width = kBuiltinFrameWidth, int32_t height = kBuiltinFrameHeight);

}  // namespace lfhost
