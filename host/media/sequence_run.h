// One run of RenderFrames, step by step. Each slot's thread loops over the
// steps: Read takes the next frame from the source (in order, one slot at a
// time), Render gives it its flare with the slot's effect instance, and the
// InOrderWriter hands it to the sink when its turn comes; the run then ends with
// Finish, which keeps the frames from the first on without a gap and finishes
// or abandons the sink. A failure (Fail) or a cancel (Drop) at any step holds
// back the frame it caught and every frame after it, so the frames before it
// are still written and none after.
//
// Each step keeps its own state under its own lock: reading (the next index,
// whether reading stopped), the write turns and the frames written, the first
// failure. Only counters and the frame each slot shows progress for are shared
// as atomics.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host/media/sequence_renderer.h"

namespace lfhost {

// The failure of the earliest frame: with frames in flight a later frame can
// fail first, but the run ends at the first frame that went wrong.
class FirstError {
 public:
  void Set(size_t index, std::string what);
  bool IsSet() const;
  std::optional<std::string> Get() const;

 private:
  mutable std::mutex mutex_;
  std::optional<std::string> error_;
  size_t index_ = 0;
};

// Whose turn it is to write, by the frame's place in the source. A frame's
// turn comes when the one before it passes it on; a frame that will never be
// written blocks every frame after it.
class WriteTurns {
 public:
  // Waits for the turn of frame `index`; false if a frame before it will never
  // be written (or, after a failed write, was not).
  bool Wait(size_t index);
  void Pass(size_t index);
  void Block(size_t index);
  bool Blocked(size_t index) const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  size_t turn_ = 0;
  size_t blockedFrom_ = SIZE_MAX;
};

// The frames written so far, by index, in whatever order their writes ended:
// how many from the first on have no gap before them, and those written beyond
// the first gap (at most the frames in flight: a run may be long).
class WrittenFrames {
 public:
  void Add(size_t index);
  size_t prefix() const;
  std::set<size_t> beyond() const;

 private:
  mutable std::mutex mutex_;
  size_t prefix_ = 0;
  std::set<size_t> beyond_;
};

// Hands rendered frames to the sink in turn: a frame starts writing only after
// the frame before it started (a sink that writes frames at once) or was
// written (any other sink), so what the sink holds at any stop is the frames
// from the first on, apart from frames written at once after one that failed.
class InOrderWriter {
 public:
  InOrderWriter(FrameSink& sink, ProgressDisplay* progress) : sink_(sink), progress_(progress) {}

  // Writes the frame at `index` (numbered `number`) when its turn comes; false,
  // holding back every frame after it, when a frame before it will never be
  // written, or when the sink keeps nothing after a stop and `stopped` says the
  // run has stopped. A failed write holds back every frame after it and throws
  // the sink's error.
  bool Write(size_t index, int64_t number, const MediaFrame& frame, const std::function<bool()>& stopped);
  // The frame at `index` will never be written, nor any after it.
  void Hold(size_t index) { turns_.Block(index); }
  // True when a frame before `index` will never be written.
  bool HeldBefore(size_t index) const { return turns_.Blocked(index); }

  const WrittenFrames& written() const { return written_; }
  // Every write completed, those beyond a gap included.
  int64_t writeCount() const { return writeCount_; }

 private:
  FrameSink& sink_;
  ProgressDisplay* const progress_;
  WriteTurns turns_;
  WrittenFrames written_;
  std::atomic<int64_t> writeCount_{0};
};

class SequenceRun {
 public:
  explicit SequenceRun(const RenderJob& job);
  SequenceRun(const SequenceRun&) = delete;
  SequenceRun& operator=(const SequenceRun&) = delete;

  // Renders every frame of the job with its slots in flight and ends the
  // sink; once only.
  RenderOutcome Run();

 private:
  // One frame in flight: its effect instance (null to pass frames through) and
  // the frame it works on, for the progress display.
  struct Slot {
    EffectInstance* effect = nullptr;
    std::atomic<int64_t> frame{-1};
  };
  struct Taken {
    size_t index = 0;
    MediaFrame frame;
  };

  // Gives each slot its effect instance (the job's for the first, one of the
  // same module for each other) and its progress sink.
  void StartSlots();
  // Undoes StartSlots once every slot has ended, and closes the source.
  void StopSlots();
  // Reads, renders and writes frames until there are none left or the run stops.
  void RunSlot(Slot& slot);
  // The next frame in order; nothing when reading has stopped, every frame was
  // read, a cancel came or the frame could not be read.
  std::optional<Taken> Read();
  // Renders and writes the frame at `index`.
  void Process(Slot& slot, size_t index, MediaFrame input);
  // The frame with its flare; nothing when it will not be written (failed,
  // cancelled or held back by an earlier frame).
  std::optional<MediaFrame> Render(Slot& slot, size_t index, int64_t number, MediaFrame input);
  // What is kept, the counts and the stop; the sink finished or abandoned.
  RenderOutcome Finish();

  bool CancelRequested() const { return job_.cancel && job_.cancel->requested(); }
  // The first slot to see a cancel says how many finished frames are still
  // being written (a video keeps none, so it says nothing).
  void NoteCancel();
  // A cancel caught the frame at `index`: it and every frame after it go unwritten.
  void Drop(size_t index);
  // The frame at `index` failed: reading stops and no frame from it on is written.
  void Fail(size_t index, std::string what);

  const RenderJob& job_;
  FrameSource& source_;
  FrameSink& sink_;
  const size_t frameCount_;
  const size_t slotCount_;

  // Reading: the source hands out frames in order, one at a time.
  std::mutex readMutex_;
  size_t nextIndex_ = 0;
  bool stopReading_ = false;

  std::vector<std::unique_ptr<EffectInstance>> extraEffects_;
  std::vector<Slot> slots_;
  std::atomic<int64_t> latestStarted_{-1};   // the frame the display follows
  std::atomic<int64_t> renderedCount_{0};    // for the line after a cancel

  InOrderWriter writer_;
  FirstError error_;
  std::atomic<bool> cancelled_{false};
};

}  // namespace lfhost
