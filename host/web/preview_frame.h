// The frame a preview shows and where it came from. Whatever produced it (an
// image file, the built-in frame, one frame of a sequence or video) also says
// which `lensflare render` arguments read the same frame again, so the page's
// command reproduces exactly what is on screen.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/core/effect_instance.h"
#include "host/core/image_buffer.h"
#include "host/media/frame_sources.h"
#include "host/media/media_frame.h"
#include "host/media/plate_composite.h"

namespace lfweb {

// The frames of a sequence or video, each of which the page can show: numbered
// first to last without gaps (a sequence missing a frame is refused, as render
// refuses it). `open` reads frames first..last of the input afresh; the preview
// holds one frame at a time, so a long video never sits in memory. A plate
// deeper than 8 bits comes as one, as the first frame did.
struct PreviewTimeline {
  int64_t first = 0, last = 0;
  std::function<std::unique_ptr<lfhost::FrameSource>(int64_t first, int64_t last)> open;
};

struct PreviewFrame {
  lfhost::ImageBuffer image;               // as shown: a plate's display conversion
  lfhost::Plate plate;                     // a plate deeper than 8 bits, rendered onto as the render command does
  lfhost::PlateLook look;
  lfhost::FrameSettings settings;          // seed, frame number (the one shown first), pixel aspect
  std::vector<std::string> renderArgs;     // e.g. {"plate.png"}; empty for the built-in frame;
                                           // a timeline's frame adds --frames N
  std::string outputName = "flare.png";    // the command's -o: a sequence name for a frame of many
  std::string label;                       // what the page calls it: "plate.png", "built-in frame"
  std::optional<PreviewTimeline> timeline; // a sequence or video: every frame can be shown

  // A floating-point (scene-linear) plate, the one kind exposure applies to.
  bool sceneLinear() const { return !plate.empty() && plate.image().spec().format.is_floating_point(); }
};

}  // namespace lfweb
