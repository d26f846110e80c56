// Renders every frame of a source into a sink with several frames in flight:
// each in-flight slot is a thread that takes the next frame, reads it, renders
// it with an effect instance of its own and writes it, so that different frames
// are read, rendered and written at the same time. Each frame is rendered
// exactly as it would be alone: srand(FrameSeed(seed, frame number)) comes right
// before its render command, on the slot's thread (the tool's rand is per
// thread). Frames are taken from the source in order, one at a time; the slots'
// render commands share the job's worker pool, whose iterate calls take turns.
//
// Writes keep frame order where it matters: a frame starts writing only after
// the frame before it started (a sink that writes frames at once, an image
// sequence) or was written (any other sink: a video gets its frames in order).
// A frame that will never be written holds back every frame after it, so what
// a stopped run leaves is always the frames from the first on, without a gap.
//
// A cancel stops reading and rendering at once; frames already rendered are
// still written, up to the first frame the cancel caught. A frame that cannot
// be read or rendered ends the run there, after the frames before it are
// rendered and written; a failure to write stops everything, and frames after
// the failed one that were written meanwhile are discarded. So an image output
// always holds complete frames, from the first up to the stop; a video output
// is abandoned whole.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/core/cancel_token.h"
#include "host/core/effect_instance.h"
#include "host/core/keyframes.h"
#include "host/media/frame_sinks.h"
#include "host/media/frame_sources.h"
#include "host/media/plate_composite.h"
#include "host/media/progress_display.h"

namespace lfhost {

// What a render writes: the frames with the flare (None), the flare alone
// (Flare), or both, the flare alone going with each frame (MediaFrame::flare)
// to a sink that writes it too (OpenPairedSink).
enum class PassOutput { None, Flare, Both };

struct RenderJob {
  FrameSource* source = nullptr;
  FrameSink* sink = nullptr;
  // Null passes frames through unrendered: what reading and writing alone cost.
  EffectInstance* effect = nullptr;
  // Checked for the source's frame size; null renders every frame with the
  // declared defaults.
  const CheckedControls* controls = nullptr;
  uint32_t seed = 0;
  int32_t pixelAspectNum = 1;
  uint32_t pixelAspectDen = 1;
  // How the flare goes onto plates. With `deep`, a frame the source reads at 8
  // bits (a built-in or video frame) is made a plate first.
  PlateLook look;
  bool deep = false;
  PassOutput pass = PassOutput::None;
  std::optional<OIIO::TypeDesc> depth;    // of the flare alone; else the frame's own
  // The render that gives plates (and the flare alone) their flare layer.
  FlarePrecision precision = FlarePrecision::Exact;
  CancelToken* cancel = nullptr;          // the token the effect's abortCheck reads
  ProgressDisplay* progress = nullptr;    // may be null
  // Frames read, rendered and written at once; 0 takes DefaultFramesInFlight.
  // Slots beyond the first render with instances of `effect`'s module made for
  // the run (on the same pool, reading `cancel`); their protocol faults are
  // added to `effect`'s violations.
  int framesInFlight = 0;
};

struct RenderOutcome {
  int64_t framesTotal = 0;
  int64_t framesWritten = 0;     // handed complete to the sink (an abandoned video keeps none)
  std::optional<int64_t> firstWritten, lastWritten;   // frame numbers
  // Frames written completely after one before them failed (several are
  // written at once), then removed again so that what stays has no gap.
  std::vector<int64_t> discarded;
  bool cancelled = false;
  std::optional<std::string> error;   // one line naming the file or frame
  bool ok() const { return !cancelled && !error; }
};

// One frame in flight per processor this process may use, as long as that many frames of this size
// fit in a quarter of the machine's memory (a frame in flight holds its input,
// its output and the codec's working copies: about 32 bytes a pixel); at least 1.
int DefaultFramesInFlight(int32_t width, int32_t height);
// The worker threads of a job's pool when --threads is not given: 0 (one per
// processor, WorkerPool's own default), or 1 when the job keeps a frame in
// flight on every processor. The frames in flight share the pool and its calls
// take turns, so a pool of one lets each frame render on its own slot's thread,
// all at once, with no hand-over between threads inside a frame. Measured with
// 2 processors, medians of 5 runs: 4.5 % less time for a 1080p H.264 render,
// whose encoder keeps both busy too, 2.5 % for ProRes, 2 % for a PNG sequence.
int DefaultWorkerThreads(int64_t frameCount, int32_t width, int32_t height, int framesInFlight);

// Runs the job to its end. Never throws for a frame's problem: the first
// failure is returned in `error` and the sink is abandoned (or finished, when all
// went well).
RenderOutcome RenderFrames(const RenderJob& job);

}  // namespace lfhost
