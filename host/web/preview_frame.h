// The frame a preview shows and where it came from. Whatever produced it (an
// image file, the built-in frame, one frame of a sequence or video) also says
// which `lensflare render` arguments read the same frame again, so the page's
// command reproduces exactly what is on screen.
#pragma once

#include <string>
#include <vector>

#include "host/core/effect_instance.h"
#include "host/core/image_buffer.h"
#include "host/media/media_frame.h"
#include "host/media/plate_composite.h"

namespace lfweb {

struct PreviewFrame {
  lfhost::ImageBuffer image;               // as shown: a plate's display conversion
  lfhost::Plate plate;                     // a plate deeper than 8 bits, rendered onto as the render command does
  lfhost::PlateLook look;
  lfhost::FrameSettings settings;          // seed, frame number, pixel aspect
  std::vector<std::string> renderArgs;     // e.g. {"plate.png"}; empty for the built-in frame
  std::string outputName = "flare.png";    // the command's -o: a sequence name for a frame of many
  std::string label;                       // what the page calls it: "plate.png", "built-in frame"
};

}  // namespace lfweb
