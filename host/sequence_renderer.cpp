#include "host/sequence_renderer.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "host/host_error.h"

namespace lfhost {
namespace {

// A queue between two pipeline stages: Push waits while it is full, Pop while it
// is empty. Close lets Pop drain what is queued; Abort drops it.
template <class T>
class BoundedQueue {
 public:
  explicit BoundedQueue(size_t capacity) : capacity_(std::max<size_t>(1, capacity)) {}

  bool Push(T item) {
    std::unique_lock<std::mutex> lock(mutex_);
    notFull_.wait(lock, [&] { return closed_ || items_.size() < capacity_; });
    if (closed_) return false;
    items_.push_back(std::move(item));
    notEmpty_.notify_one();
    return true;
  }

  std::optional<T> Pop() {
    std::unique_lock<std::mutex> lock(mutex_);
    notEmpty_.wait(lock, [&] { return closed_ || !items_.empty(); });
    if (items_.empty()) return std::nullopt;
    T item = std::move(items_.front());
    items_.pop_front();
    notFull_.notify_one();
    return item;
  }

  void Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    notFull_.notify_all();
    notEmpty_.notify_all();
  }

  void Abort() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    items_.clear();
    notFull_.notify_all();
    notEmpty_.notify_all();
  }

 private:
  const size_t capacity_;
  std::mutex mutex_;
  std::condition_variable notFull_, notEmpty_;
  std::deque<T> items_;
  bool closed_ = false;
};

struct Frame {
  int64_t number = 0;
  ImageBuffer image;
};

// The first failure of any stage; later ones are consequences of it.
class FirstError {
 public:
  void Set(std::string what) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!error_) error_ = std::move(what);
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
};

// Names the frame in a message when there is more than one.
std::string FramePrefix(const FrameSource& source, int64_t frameNumber) {
  return source.frameCount() > 1 ? "frame " + std::to_string(frameNumber) + ": " : "";
}

}  // namespace

RenderOutcome RenderFrames(const RenderJob& job) {
  FrameSource& source = *job.source;
  FrameSink& sink = *job.sink;
  RenderOutcome outcome;
  outcome.framesTotal = source.frameCount();
  const int32_t width = source.width(), height = source.height();

  BoundedQueue<Frame> toRender(job.queueDepth);
  BoundedQueue<Frame> toWrite(job.queueDepth);
  FirstError error;
  std::atomic<bool> stopReading{false};
  // Frames handed to the writer and written, for the line after a cancel.
  std::atomic<int64_t> renderedCount{0}, written{0};
  auto cancelRequested = [&] { return job.cancel && job.cancel->requested(); };

  std::thread reader([&] {
    try {
      for (int64_t i = 0; i < source.frameCount(); ++i) {
        if (stopReading.load() || cancelRequested()) break;
        Frame frame{source.frameNumber(i), source.ReadNext()};
        if (!toRender.Push(std::move(frame))) break;
      }
    } catch (const std::exception& e) {
      error.Set(e.what());
    }
    toRender.Close();
  });

  std::thread writer([&] {
    try {
      while (std::optional<Frame> frame = toWrite.Pop()) {
        // A video cannot keep part of itself, so after a stop it takes no more.
        if (sink.keepsNothingOnAbandon() && (error.IsSet() || cancelRequested())) break;
        sink.Write(frame->number, frame->image);
        ++outcome.framesWritten;
        ++written;
        if (!outcome.firstWritten) outcome.firstWritten = frame->number;
        outcome.lastWritten = frame->number;
        if (job.progress) job.progress->FrameWritten(frame->number, sink.NameFor(frame->number));
      }
    } catch (const std::exception& e) {
      error.Set(e.what());
      stopReading = true;
      toRender.Abort();
    }
    toWrite.Abort();
  });

  if (job.effect && job.progress) {
    job.effect->SetProgressSink([progress = job.progress](int32_t current, int32_t total) {
      progress->FrameProgress(current, total);
    });
  }
  // The render stage, on this thread.
  try {
    while (std::optional<Frame> frame = toRender.Pop()) {
      if (cancelRequested()) {
        outcome.cancelled = true;
        break;
      }
      if (job.progress) job.progress->FrameStarted(frame->number);
      if (!job.effect) {
        if (!toWrite.Push(std::move(*frame))) break;
        ++renderedCount;
        continue;
      }
      const ControlSettings settings = job.controls.At(frame->number, width, height);
      const ResolvedParams params = ResolveParamValues(settings, job.effect->controls(), width, height);
      if (params.error) {
        error.Set(FramePrefix(source, frame->number) + params.error->paramName + " " + params.error->detail);
        break;
      }
      FrameSettings frameSettings;
      frameSettings.seed = job.seed;
      frameSettings.frame = frame->number;
      frameSettings.pixelAspectNum = job.pixelAspectNum;
      frameSettings.pixelAspectDen = job.pixelAspectDen;
      Frame rendered{frame->number, ImageBuffer(width, height)};
      const CommandResult result = job.effect->Render(frame->image, rendered.image, params.values, frameSettings);
      if (result.code == kErrCancelled) {
        outcome.cancelled = true;
        break;
      }
      if (!result.ok()) {
        error.Set(FramePrefix(source, frame->number) + "render failed: " + DescribeResult(result));
        break;
      }
      frame.reset();
      if (!toWrite.Push(std::move(rendered))) break;
      ++renderedCount;
    }
  } catch (const std::exception& e) {
    error.Set(e.what());
  }
  if (outcome.cancelled && job.progress && !sink.keepsNothingOnAbandon() && renderedCount > written) {
    job.progress->Cancelled(renderedCount - written);
  }
  stopReading = true;
  toRender.Abort();
  reader.join();
  toWrite.Close();
  writer.join();
  if (job.effect) job.effect->SetProgressSink({});
  source.Close();

  outcome.error = error.Get();
  if (!outcome.error && !outcome.cancelled && outcome.framesWritten < outcome.framesTotal) {
    // Only a cancel between the last render and the reader's end gets here.
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
