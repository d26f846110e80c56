// Renders every frame of a source into a sink as a pipeline of three threads: a
// reader prefetches frame n+1 and a writer writes frame n-1 while frame n
// renders on the calling thread, with at most `queueDepth` frames waiting
// between two stages. Frames stay in order and each is rendered exactly as it
// would be alone: srand(FrameSeed(seed, frame number)) comes right before its render
// command, on the render thread.
//
// A cancel stops reading and rendering at once; frames already rendered are
// still written. A frame that cannot be read ends the run there, after the frames
// before it are rendered and written; a failure to write stops everything. So an
// image output always holds complete frames, from the first up to the stop; a
// video output is abandoned whole.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host/cancel_token.h"
#include "host/effect_instance.h"
#include "host/frame_source.h"
#include "host/keyframes.h"
#include "host/progress_display.h"

namespace lfhost {

struct RenderJob {
  FrameSource* source = nullptr;
  FrameSink* sink = nullptr;
  // Null passes frames through unrendered: what reading and writing alone cost.
  EffectInstance* effect = nullptr;
  AnimatedControls controls;
  uint32_t seed = 0;
  int32_t pixelAspectNum = 1;
  uint32_t pixelAspectDen = 1;
  CancelToken* cancel = nullptr;          // the token the effect's abortCheck reads
  ProgressDisplay* progress = nullptr;    // may be null
  size_t queueDepth = 2;
};

struct RenderOutcome {
  int64_t framesTotal = 0;
  int64_t framesWritten = 0;     // handed complete to the sink (an abandoned video keeps none)
  std::optional<int64_t> firstWritten, lastWritten;   // frame numbers
  bool cancelled = false;
  std::optional<std::string> error;   // one line naming the file or frame
  bool ok() const { return !cancelled && !error; }
};

// Runs the job to its end. Never throws for a frame's problem: the first
// failure is returned in `error` and the sink is abandoned (or finished, when all
// went well).
RenderOutcome RenderFrames(const RenderJob& job);

}  // namespace lfhost
