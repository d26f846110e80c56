#include "host/media/sequence_run.h"

#include <algorithm>
#include <exception>
#include <thread>
#include <utility>

namespace lfhost {
namespace {

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

size_t SlotCount(const RenderJob& job) {
  const size_t frameCount = static_cast<size_t>(job.source->frameCount());
  const int requested =
      job.framesInFlight > 0 ? job.framesInFlight : DefaultFramesInFlight(job.source->width(), job.source->height());
  return std::max<size_t>(1, std::min<size_t>(static_cast<size_t>(requested), frameCount));
}

}  // namespace

void FirstError::Set(size_t index, std::string what) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!error_ || index < index_) {
    error_ = std::move(what);
    index_ = index;
  }
}

bool FirstError::IsSet() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_.has_value();
}

std::optional<std::string> FirstError::Get() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

bool WriteTurns::Wait(size_t index) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return turn_ == index || blockedFrom_ < index; });
  return blockedFrom_ > index;
}

void WriteTurns::Pass(size_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  turn_ = index + 1;
  changed_.notify_all();
}

void WriteTurns::Block(size_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  blockedFrom_ = std::min(blockedFrom_, index);
  changed_.notify_all();
}

bool WriteTurns::Blocked(size_t index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return blockedFrom_ < index;
}

void WrittenFrames::Add(size_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  beyond_.insert(index);
  while (!beyond_.empty() && *beyond_.begin() == prefix_) {
    beyond_.erase(beyond_.begin());
    ++prefix_;
  }
}

size_t WrittenFrames::prefix() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return prefix_;
}

std::set<size_t> WrittenFrames::beyond() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return beyond_;
}

bool InOrderWriter::Write(size_t index, int64_t number, const MediaFrame& frame, const std::function<bool()>& stopped) {
  // A video cannot keep part of itself, so after a stop it takes no more.
  if (!turns_.Wait(index) || (sink_.keepsNothingOnAbandon() && stopped())) {
    turns_.Block(index);
    return false;
  }
  const bool atOnce = sink_.writesFramesAtOnce();
  if (atOnce) turns_.Pass(index);
  try {
    sink_.Write(number, frame);
  } catch (...) {
    turns_.Block(index);
    throw;
  }
  written_.Add(index);
  ++writeCount_;
  if (progress_) progress_->FrameWritten(number, JoinedNames(sink_.NamesFor(number)));
  if (!atOnce) turns_.Pass(index);
  return true;
}

SequenceRun::SequenceRun(const RenderJob& job)
    : job_(job),
      source_(*job.source),
      sink_(*job.sink),
      frameCount_(static_cast<size_t>(job.source->frameCount())),
      slotCount_(SlotCount(job)),
      slots_(slotCount_),
      writer_(*job.sink, job.progress) {}

RenderOutcome SequenceRun::Run() {
  StartSlots();
  std::vector<std::thread> threads;
  for (size_t s = 1; s < slotCount_; ++s) threads.emplace_back([this, s] { RunSlot(slots_[s]); });
  RunSlot(slots_[0]);
  for (std::thread& t : threads) t.join();
  StopSlots();
  return Finish();
}

void SequenceRun::StartSlots() {
  try {
    for (size_t s = 0; s < slotCount_; ++s) {
      if (job_.effect && s > 0) {
        extraEffects_.push_back(
            std::make_unique<EffectInstance>(job_.effect->module(), job_.effect->host().pool(), job_.cancel));
        if (job_.effect->validated()) extraEffects_.back()->Validate();
        extraEffects_.back()->Start();
      }
      Slot& slot = slots_[s];
      slot.effect = s == 0 ? job_.effect : job_.effect ? extraEffects_.back().get() : nullptr;
      if (slot.effect && job_.progress) {
        // The display follows the frame started last.
        slot.effect->SetProgressSink([this, &slot](int32_t current, int32_t total) {
          if (slot.frame.load() == latestStarted_.load()) job_.progress->FrameProgress(current, total);
        });
      }
    }
  } catch (const std::exception& e) {
    // No slot has started yet.
    error_.Set(0, e.what());
    stopReading_ = true;
  }
}

void SequenceRun::StopSlots() {
  for (Slot& slot : slots_) {
    if (slot.effect && job_.progress) slot.effect->SetProgressSink({});
  }
  for (auto& effect : extraEffects_) {
    // Only a validated instance finds faults, and its slots are validated too.
    for (const std::string& v : effect->Shutdown()) job_.effect->Validate().OnFault(v);
  }
  source_.Close();
}

void SequenceRun::RunSlot(Slot& slot) {
  while (std::optional<Taken> taken = Read()) {
    try {
      Process(slot, taken->index, std::move(taken->frame));
    } catch (const std::exception& e) {
      Fail(taken->index, e.what());
    }
  }
}

std::optional<SequenceRun::Taken> SequenceRun::Read() {
  std::lock_guard<std::mutex> lock(readMutex_);
  if (stopReading_ || nextIndex_ == frameCount_) return std::nullopt;
  if (CancelRequested()) {
    NoteCancel();
    return std::nullopt;
  }
  const size_t index = nextIndex_++;
  try {
    return Taken{index, source_.ReadNext()};
  } catch (const std::exception& e) {
    // Stops reading before any other slot can take a frame after this one.
    stopReading_ = true;
    error_.Set(index, e.what());
    writer_.Hold(index);
    return std::nullopt;
  }
}

void SequenceRun::Process(Slot& slot, size_t index, MediaFrame input) {
  const int64_t number = source_.frameNumber(static_cast<int64_t>(index));
  std::optional<MediaFrame> output = Render(slot, index, number, std::move(input));
  if (!output) return;
  ++renderedCount_;
  if (job_.progress) job_.progress->FrameRendered(number);
  writer_.Write(index, number, *output, [this] { return error_.IsSet() || CancelRequested(); });
}

std::optional<MediaFrame> SequenceRun::Render(Slot& slot, size_t index, int64_t number, MediaFrame input) {
  if (CancelRequested()) {
    Drop(index);
    return std::nullopt;
  }
  // A frame before this one failed: rendering it would be wasted.
  if (writer_.HeldBefore(index)) {
    writer_.Hold(index);
    return std::nullopt;
  }
  slot.frame = number;
  latestStarted_ = number;
  if (job_.progress) job_.progress->FrameStarted(number);
  if (!slot.effect) return input;
  const CheckedParams params =
      job_.controls ? job_.controls->At(number) : slot.effect->Defaults(source_.width(), source_.height());
  FrameSettings frameSettings;
  frameSettings.seed = job_.seed;
  frameSettings.frame = number;
  frameSettings.pixelAspectNum = job_.pixelAspectNum;
  frameSettings.pixelAspectDen = job_.pixelAspectDen;
  if (job_.deep && !input.deep()) input = PlateFromImage(input.image, source_.hasAlpha());
  FlareLayer layer;
  const bool alone = job_.pass != PassOutput::None;
  const CommandResult result =
      RenderOnto(*slot.effect, input, params, frameSettings, job_.look, job_.precision, alone ? &layer : nullptr);
  if (result.code == kErrCancelled) {
    Drop(index);
    return std::nullopt;
  }
  if (!result.ok()) {
    Fail(index, FramePrefix(source_, number) + "render failed: " + DescribeResult(result));
    return std::nullopt;
  }
  if (!alone) return input;
  auto flare =
      std::make_shared<MediaFrame>(FlarePass(layer, BlendWeight(params->blend), job_.look, input, params.exposure()));
  if (job_.pass == PassOutput::Flare) return std::move(*flare);
  input.flare = std::move(flare);
  return input;
}

RenderOutcome SequenceRun::Finish() {
  RenderOutcome outcome;
  outcome.framesTotal = static_cast<int64_t>(frameCount_);
  // What stays: the frames from the first on up to the first one not written.
  // Only a failed write can leave frames after a gap; they go.
  for (size_t i : writer_.written().beyond()) {
    outcome.discarded.push_back(source_.frameNumber(static_cast<int64_t>(i)));
    sink_.Discard(outcome.discarded.back());
  }
  const size_t prefix = writer_.written().prefix();
  outcome.framesWritten = static_cast<int64_t>(prefix);
  if (prefix > 0) {
    outcome.firstWritten = source_.frameNumber(0);
    outcome.lastWritten = source_.frameNumber(static_cast<int64_t>(prefix - 1));
  }
  outcome.error = error_.Get();
  outcome.cancelled = cancelled_;
  if (!outcome.error && !outcome.cancelled && outcome.framesWritten < outcome.framesTotal) {
    // Only a cancel between the last render and the end of reading gets here.
    outcome.cancelled = CancelRequested();
    if (!outcome.cancelled) outcome.error = "the render stopped after " + std::to_string(outcome.framesWritten) + " frames";
  }
  if (!outcome.ok()) {
    sink_.Abandon();
    return outcome;
  }
  try {
    if (job_.progress && sink_.encodes()) job_.progress->Encoding(sink_.NameFor(0));
    if (!sink_.Finish(job_.cancel)) outcome.cancelled = true;
  } catch (const std::exception& e) {
    outcome.error = e.what();
    sink_.Abandon();
  }
  return outcome;
}

void SequenceRun::NoteCancel() {
  if (cancelled_.exchange(true) || !job_.progress || sink_.keepsNothingOnAbandon()) return;
  if (const int64_t pending = renderedCount_ - writer_.writeCount(); pending > 0) job_.progress->Cancelled(pending);
}

void SequenceRun::Drop(size_t index) {
  NoteCancel();
  writer_.Hold(index);
}

void SequenceRun::Fail(size_t index, std::string what) {
  error_.Set(index, std::move(what));
  {
    std::lock_guard<std::mutex> lock(readMutex_);
    stopReading_ = true;
  }
  writer_.Hold(index);
}

}  // namespace lfhost
