#include "host/web/render_scheduler.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <optional>

#include "host/core/host_error.h"

namespace lfweb {
namespace {

// How often a waiting request asks whether its client is still there.
constexpr std::chrono::milliseconds kAbandonedPoll{50};

const char* const kShuttingDown = "the preview is shutting down";

// The frame a render asks for, read on the render thread. One frame is held;
// a later frame is read on from the open source (a video decodes forward
// anyway), an earlier one reopens the input from there. A frame is 8-bit, or a
// plate deeper than 8 bits (MediaFrame::deep).
class FrameCursor {
 public:
  explicit FrameCursor(const PreviewFrame& frame) : frame_(frame) {}

  // Throws HostError when the frame cannot be read.
  const lfhost::MediaFrame& Read(int64_t number) {
    if (held_ == number) return held_frame_;
    held_.reset();
    held_frame_ = lfhost::MediaFrame();   // never two frames held at once
    if (number == frame_.settings.frame || !frame_.timeline) {
      if (frame_.plate.empty()) held_frame_.image = frame_.image.Clone();
      else held_frame_.plate = frame_.plate;
      held_ = number;
      return held_frame_;
    }
    if (!source_ || !(number > last_)) {
      source_.reset();
      source_ = frame_.timeline->open(number, frame_.timeline->last);
      read_ = 0;
    }
    try {
      do {
        held_frame_ = lfhost::MediaFrame();
        held_frame_ = source_->ReadNext();
        last_ = source_->frameNumber(read_++);
      } while (last_ < number);
    } catch (...) {
      source_.reset();
      throw;
    }
    held_ = number;
    return held_frame_;
  }

 private:
  const PreviewFrame& frame_;
  std::unique_ptr<lfhost::FrameSource> source_;
  int64_t read_ = 0;                  // frames read from source_
  int64_t last_ = 0;                  // the number of the last of them
  std::optional<int64_t> held_;       // the number of held_frame_, when it holds a frame
  lfhost::MediaFrame held_frame_;
};

}  // namespace

struct RenderScheduler::Job {
  explicit Job(const lfhost::CheckedParams& v) : values(v) {}
  uint64_t id = 0;
  std::string page;
  lfhost::CheckedParams values;
  int64_t frame = 0;
  lfhost::CancelToken cancel;
  const char* cancelReason = "";   // set with the cancel request
  bool finished = false;
  PreviewOutcome outcome;
  std::condition_variable done;

  void Cancel(const char* reason) {
    if (!cancel.requested()) cancelReason = reason;
    cancel.Request();
  }
};

const char* StatusName(PreviewOutcome::Status status) {
  switch (status) {
    case PreviewOutcome::Status::kDone: return "done";
    case PreviewOutcome::Status::kCancelled: return "cancelled";
    case PreviewOutcome::Status::kSuperseded: return "superseded";
    case PreviewOutcome::Status::kFailed: return "failed";
  }
  return "failed";
}

RenderScheduler::RenderScheduler(const lfhost::EffectModule& module, lfhost::WorkerPool& pool, PreviewFrame frame,
                                 Hooks hooks)
    : frame_(std::move(frame)), hooks_(std::move(hooks)) {
  thread_ = std::thread([this, &module, &pool] { RenderLoop(module, pool); });
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait(lock, [this] { return ready_; });
  if (!setupError_.empty()) {
    lock.unlock();
    thread_.join();
    throw lfhost::HostError(setupError_);
  }
}

RenderScheduler::~RenderScheduler() { Shutdown(); }

std::vector<std::string> RenderScheduler::Shutdown() {
  Stop();
  if (thread_.joinable()) thread_.join();
  return faults_;
}

void RenderScheduler::Finish(Job& job, PreviewOutcome outcome) {
  outcome.id = job.id;
  outcome.frame = job.frame;
  outcome.values = job.values.values();
  outcome.exposure = job.values.exposure();
  job.outcome = std::move(outcome);
  job.finished = true;
  job.done.notify_all();
}

PreviewOutcome RenderScheduler::Render(const std::string& page, const lfhost::CheckedParams& values,
                                       std::optional<int64_t> frame, const AbandonedCheck& abandoned) {
  auto job = std::make_shared<Job>(values);
  std::unique_lock<std::mutex> lock(mutex_);
  job->id = nextId_++;
  job->page = page;
  job->frame = frame.value_or(frame_.settings.frame);
  if (stopping_) {
    Finish(*job, {PreviewOutcome::Status::kCancelled, 0, {}, nullptr, kShuttingDown});
    return job->outcome;
  }
  // The page keeps its place in line: its waiting request is replaced where it stands.
  auto same = std::find_if(line_.begin(), line_.end(), [&](const auto& j) { return j->page == page; });
  if (same != line_.end()) {
    Finish(**same, {PreviewOutcome::Status::kSuperseded, 0, {}, nullptr, "a newer request from this page arrived first"});
    *same = job;
  } else {
    line_.push_back(job);
  }
  if (running_ && running_->page == page) running_->Cancel("a newer request from this page arrived while rendering");
  wake_.notify_all();
  while (!job->finished) {
    if (!abandoned) {
      job->done.wait(lock);
    } else if (!job->done.wait_for(lock, kAbandonedPoll, [&] { return job->finished; }) && abandoned()) {
      Abandon(job);
    }
  }
  return job->outcome;
}

void RenderScheduler::Abandon(const std::shared_ptr<Job>& job) {
  const char* const reason = "the client closed the connection";
  auto waiting = std::find(line_.begin(), line_.end(), job);
  if (waiting != line_.end()) {
    line_.erase(waiting);
    Finish(*job, {PreviewOutcome::Status::kCancelled, 0, {}, nullptr, reason});
  } else if (running_ == job) {
    job->Cancel(reason);
  }
}

uint64_t RenderScheduler::submitted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return nextId_ - 1;
}

size_t RenderScheduler::waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return line_.size();
}

void RenderScheduler::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) return;
  stopping_ = true;
  for (const auto& job : line_) Finish(*job, {PreviewOutcome::Status::kCancelled, 0, {}, nullptr, kShuttingDown});
  line_.clear();
  if (running_) running_->Cancel(kShuttingDown);
  wake_.notify_all();
}

void RenderScheduler::RenderLoop(const lfhost::EffectModule& module, lfhost::WorkerPool& pool) {
  std::optional<lfhost::EffectInstance> effect;
  std::string error;
  try {
    effect.emplace(module, pool);
    effect->Start();
    controls_ = effect->controls();
  } catch (const std::exception& e) {
    error = e.what();
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    setupError_ = error;
    ready_ = true;
  }
  wake_.notify_all();
  if (!error.empty()) return;

  FrameCursor frames(frame_);
  for (;;) {
    std::shared_ptr<Job> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !line_.empty(); });
      if (stopping_) break;
      job = std::move(line_.front());
      line_.pop_front();
      running_ = job;
    }
#ifdef LF_HOST_TEST_SEAMS
    if (hooks_.started) hooks_.started(job->id, job->cancel);
#endif
    PreviewOutcome outcome;
    try {
      const lfhost::MediaFrame& input = frames.Read(job->frame);
      lfhost::FrameSettings settings = frame_.settings;
      settings.frame = job->frame;   // seeds the rays as render seeds that frame
      auto output = std::make_shared<lfhost::ImageBuffer>();
      effect->host().SetCancelToken(&job->cancel);
      lfhost::CommandResult result;
      if (!input.deep()) {
        *output = lfhost::ImageBuffer(input.image.width(), input.image.height());
        result = effect->Render(input.image, *output, job->values, settings);
      } else {
        // A deep plate goes the render command's way; only the page sees it at 8 bits.
        OIIO::ImageBuf plate = input.plate.image();
        result = lfhost::RenderOntoPlate(*effect, plate, job->values, settings, frame_.look,
                                         lfhost::FlarePrecision::Full);
        if (result.ok()) *output = lfhost::PlateForDisplay(plate, frame_.look);
      }
      effect->host().SetCancelToken(nullptr);
      if (result.ok()) {
        outcome.status = PreviewOutcome::Status::kDone;
        outcome.image = std::move(output);
      } else if (result.code == kErrCancelled) {
        outcome.status = PreviewOutcome::Status::kCancelled;
        std::lock_guard<std::mutex> lock(mutex_);
        outcome.message = job->cancelReason;
      } else {
        outcome.message = "render failed: " + lfhost::DescribeResult(result);
      }
    } catch (const std::exception& e) {
      effect->host().SetCancelToken(nullptr);
      outcome.message = e.what();
    }
    outcome.id = job->id;
    outcome.frame = job->frame;
    outcome.values = job->values.values();
    outcome.exposure = job->values.exposure();
#ifdef LF_HOST_TEST_SEAMS
    if (hooks_.finished) hooks_.finished(outcome);
#endif
    std::lock_guard<std::mutex> lock(mutex_);
    running_.reset();
    Finish(*job, std::move(outcome));
  }
  try {
    faults_ = effect->Shutdown();
  } catch (const std::exception& e) {
    faults_.push_back(e.what());
  }
}

}  // namespace lfweb
