#include "host/media/sequence_renderer.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "host/core/host_error.h"

namespace lfhost {
namespace {

// The failure of the earliest frame: with frames in flight a later frame can
// fail first, but the run ends at the first frame that went wrong.
class FirstError {
 public:
  void Set(size_t index, std::string what) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!error_ || index < index_) {
      error_ = std::move(what);
      index_ = index;
    }
  }
  bool IsSet() {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_.has_value();
  }
  std::optional<std::string> Get() {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
  }

 private:
  std::mutex mutex_;
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
  bool Wait(size_t index) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return turn_ == index || blockedFrom_ < index; });
    return blockedFrom_ > index;
  }
  void Pass(size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    turn_ = index + 1;
    changed_.notify_all();
  }
  void Block(size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    blockedFrom_ = std::min(blockedFrom_, index);
    changed_.notify_all();
  }
  bool Blocked(size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    return blockedFrom_ < index;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t turn_ = 0;
  size_t blockedFrom_ = SIZE_MAX;
};

// Names the frame in a message when there is more than one.
std::string FramePrefix(const FrameSource& source, int64_t frameNumber) {
  return source.frameCount() > 1 ? "frame " + std::to_string(frameNumber) + ": " : "";
}

// "a.png", "a.png and flare.png".
std::string JoinedNames(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : " and ") + name;
  return text;
}

// One frame in flight: its effect instance (null to pass frames through) and
// the frame it works on, for the progress display.
struct Slot {
  EffectInstance* effect = nullptr;
  std::atomic<int64_t> frame{-1};
};

}  // namespace

int DefaultFramesInFlight(int32_t width, int32_t height) {
  const double frameBytes = 32.0 * std::max(1, width) * std::max(1, height);
  const double memory = static_cast<double>(sysconf(_SC_PHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGESIZE));
  const double fitting = memory > 0 ? memory / 4 / frameBytes : 1;
  // The processors this process may run on: a farm's job gets its share of a node.
  cpu_set_t allowed;
  const int cores = sched_getaffinity(0, sizeof allowed, &allowed) == 0 ? CPU_COUNT(&allowed) : WorkerPool::DefaultSize();
  return static_cast<int>(std::max(1.0, std::min<double>(cores, fitting)));
}

RenderOutcome RenderFrames(const RenderJob& job) {
  FrameSource& source = *job.source;
  FrameSink& sink = *job.sink;
  RenderOutcome outcome;
  outcome.framesTotal = source.frameCount();
  const int32_t width = source.width(), height = source.height();
  const size_t frameCount = static_cast<size_t>(source.frameCount());
  const int requested = job.framesInFlight > 0 ? job.framesInFlight : DefaultFramesInFlight(width, height);
  const size_t slotCount = std::max<size_t>(1, std::min<size_t>(static_cast<size_t>(requested), frameCount));

  FirstError error;
  WriteTurns turns;
  std::atomic<bool> cancelled{false};
  std::mutex readMutex;   // the source hands out frames in order, one at a time
  size_t nextIndex = 0;
  bool stopReading = false;
  std::mutex writtenMutex;
  // Frames written from the first on without a gap, and those written beyond
  // the first gap (at most the frames in flight: a run may be long).
  size_t prefix = 0;
  std::set<size_t> writtenBeyond;
  std::atomic<int64_t> latestStarted{-1};
  // Frames rendered and written, for the line after a cancel.
  std::atomic<int64_t> renderedCount{0}, writtenCount{0};
  auto cancelRequested = [&] { return job.cancel && job.cancel->requested(); };
  // The first slot to see a cancel says how many finished frames are still
  // being written (a video keeps none, so it says nothing).
  auto noteCancel = [&] {
    if (cancelled.exchange(true) || !job.progress || sink.keepsNothingOnAbandon()) return;
    if (const int64_t pending = renderedCount - writtenCount; pending > 0) job.progress->Cancelled(pending);
  };
  auto fail = [&](size_t index, std::string what) {
    error.Set(index, std::move(what));
    {
      std::lock_guard<std::mutex> lock(readMutex);
      stopReading = true;
    }
    turns.Block(index);
  };
  auto drop = [&](size_t index) {
    noteCancel();
    turns.Block(index);
  };

  std::vector<std::unique_ptr<EffectInstance>> extraEffects;
  std::vector<Slot> slots(slotCount);
  try {
    for (size_t s = 0; s < slotCount; ++s) {
      if (job.effect && s > 0) {
        extraEffects.push_back(std::make_unique<EffectInstance>(job.effect->module(), job.effect->host().pool(), job.cancel));
        if (job.effect->validated()) extraEffects.back()->Validate();
        extraEffects.back()->Start();
      }
      slots[s].effect = s == 0 ? job.effect : job.effect ? extraEffects.back().get() : nullptr;
      if (slots[s].effect && job.progress) {
        // The display follows the frame started last.
        slots[s].effect->SetProgressSink([&, slot = &slots[s]](int32_t current, int32_t total) {
          if (slot->frame.load() == latestStarted.load()) job.progress->FrameProgress(current, total);
        });
      }
    }
  } catch (const std::exception& e) {
    error.Set(0, e.what());
    stopReading = true;
  }

  // Renders and writes the frame at `index`, read into `input`.
  auto process = [&](Slot& slot, size_t index, MediaFrame input) {
    const int64_t number = source.frameNumber(static_cast<int64_t>(index));
    if (cancelRequested()) return drop(index);
    // A frame before this one failed: rendering it would be wasted.
    if (turns.Blocked(index)) return turns.Block(index);
    slot.frame = number;
    latestStarted = number;
    if (job.progress) job.progress->FrameStarted(number);
    MediaFrame output;
    if (slot.effect) {
      const CheckedParams params = job.controls ? job.controls->At(number) : slot.effect->Defaults(width, height);
      FrameSettings frameSettings;
      frameSettings.seed = job.seed;
      frameSettings.frame = number;
      frameSettings.pixelAspectNum = job.pixelAspectNum;
      frameSettings.pixelAspectDen = job.pixelAspectDen;
      if (job.deep && !input.deep()) input = PlateFromImage(input.image, source.hasAlpha());
      FlareLayer layer;
      const bool alone = job.pass != PassOutput::None;
      const CommandResult result =
          RenderOnto(*slot.effect, input, params, frameSettings, job.look, job.precision, alone ? &layer : nullptr);
      if (result.code == kErrCancelled) return drop(index);
      if (!result.ok()) return fail(index, FramePrefix(source, number) + "render failed: " + DescribeResult(result));
      output = std::move(input);
      if (alone) {
        auto flare = std::make_shared<MediaFrame>(
            FlarePass(layer, BlendWeight(params->blend), job.look, output, job.depth, params.exposure()));
        if (job.pass == PassOutput::Flare) output = std::move(*flare);
        else output.flare = std::move(flare);
      }
    } else {
      output = std::move(input);
    }
    ++renderedCount;
    if (job.progress) job.progress->FrameRendered(number);
    if (!turns.Wait(index)) return turns.Block(index);
    // A video cannot keep part of itself, so after a stop it takes no more.
    if (sink.keepsNothingOnAbandon() && (error.IsSet() || cancelRequested())) return turns.Block(index);
    const bool atOnce = sink.writesFramesAtOnce();
    if (atOnce) turns.Pass(index);
    try {
      sink.Write(number, output);
    } catch (const std::exception& e) {
      return fail(index, e.what());
    }
    {
      std::lock_guard<std::mutex> lock(writtenMutex);
      writtenBeyond.insert(index);
      while (!writtenBeyond.empty() && *writtenBeyond.begin() == prefix) {
        writtenBeyond.erase(writtenBeyond.begin());
        ++prefix;
      }
    }
    ++writtenCount;
    if (job.progress) job.progress->FrameWritten(number, JoinedNames(sink.NamesFor(number)));
    if (!atOnce) turns.Pass(index);
  };

  auto runSlot = [&](Slot& slot) {
    for (;;) {
      size_t index = 0;
      MediaFrame input;
      {
        std::lock_guard<std::mutex> lock(readMutex);
        if (stopReading || nextIndex == frameCount) return;
        if (cancelRequested()) {
          noteCancel();
          return;
        }
        index = nextIndex++;
        try {
          input = source.ReadNext();
        } catch (const std::exception& e) {
          stopReading = true;
          error.Set(index, e.what());
          turns.Block(index);
          return;
        }
      }
      try {
        process(slot, index, std::move(input));
      } catch (const std::exception& e) {
        fail(index, e.what());
      }
    }
  };

  std::vector<std::thread> threads;
  for (size_t s = 1; s < slotCount; ++s) threads.emplace_back(runSlot, std::ref(slots[s]));
  runSlot(slots[0]);
  for (std::thread& t : threads) t.join();
  for (Slot& slot : slots) {
    if (slot.effect && job.progress) slot.effect->SetProgressSink({});
  }
  for (auto& effect : extraEffects) {
    // Only a validated instance finds faults, and its slots are validated too.
    for (const std::string& v : effect->Shutdown()) job.effect->Validate().OnFault(v);
  }
  source.Close();

  // What stays: the frames from the first on up to the first one not written.
  // Only a failed write can leave frames after a gap; they go.
  for (size_t i : writtenBeyond) {
    outcome.discarded.push_back(source.frameNumber(static_cast<int64_t>(i)));
    sink.Discard(outcome.discarded.back());
  }
  outcome.framesWritten = static_cast<int64_t>(prefix);
  if (prefix > 0) {
    outcome.firstWritten = source.frameNumber(0);
    outcome.lastWritten = source.frameNumber(static_cast<int64_t>(prefix - 1));
  }
  outcome.error = error.Get();
  outcome.cancelled = cancelled;
  if (!outcome.error && !outcome.cancelled && outcome.framesWritten < outcome.framesTotal) {
    // Only a cancel between the last render and the end of reading gets here.
    outcome.cancelled = cancelRequested();
    if (!outcome.cancelled) outcome.error = "the render stopped after " + std::to_string(outcome.framesWritten) + " frames";
  }
  if (outcome.ok()) {
    try {
      if (job.progress && sink.encodes()) job.progress->Encoding(sink.NameFor(0));
      if (!sink.Finish(job.cancel)) outcome.cancelled = true;
    } catch (const std::exception& e) {
      outcome.error = e.what();
      sink.Abandon();
    }
  } else {
    sink.Abandon();
  }
  return outcome;
}

}  // namespace lfhost
