#include "host/web/render_scheduler.h"

#include <exception>
#include <optional>

#include "host/cancel_token.h"
#include "host/host_error.h"

namespace lfweb {

struct RenderScheduler::Job {
  uint64_t id = 0;
  lfhost::ParamValues values;
  lfhost::CancelToken cancel;
  bool finished = false;
  RenderOutcome outcome;
  std::condition_variable done;
};

const char* StatusName(RenderOutcome::Status status) {
  switch (status) {
    case RenderOutcome::Status::kDone: return "done";
    case RenderOutcome::Status::kCancelled: return "cancelled";
    case RenderOutcome::Status::kSuperseded: return "superseded";
    case RenderOutcome::Status::kFailed: return "failed";
  }
  return "failed";
}

RenderScheduler::RenderScheduler(const lfhost::EffectModule& module, lfhost::WorkerPool& pool, PreviewFrame frame,
                                 RenderStartHook onRenderStart)
    : frame_(std::move(frame)), onRenderStart_(std::move(onRenderStart)) {
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

void RenderScheduler::Finish(Job& job, RenderOutcome outcome) {
  outcome.id = job.id;
  outcome.values = job.values;
  job.outcome = std::move(outcome);
  job.finished = true;
  job.done.notify_all();
}

RenderOutcome RenderScheduler::Render(const lfhost::ParamValues& values) {
  auto job = std::make_shared<Job>();
  std::unique_lock<std::mutex> lock(mutex_);
  job->id = nextId_++;
  job->values = values;
  if (stopping_) {
    Finish(*job, {RenderOutcome::Status::kCancelled, 0, {}, nullptr, "the preview is shutting down"});
    return job->outcome;
  }
  if (pending_) Finish(*pending_, {RenderOutcome::Status::kSuperseded, 0, {}, nullptr, "a newer request arrived first"});
  if (running_) running_->cancel.Request();
  pending_ = job;
  wake_.notify_all();
  job->done.wait(lock, [&] { return job->finished; });
  return job->outcome;
}

uint64_t RenderScheduler::submitted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return nextId_ - 1;
}

void RenderScheduler::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) return;
  stopping_ = true;
  if (pending_) {
    Finish(*pending_, {RenderOutcome::Status::kCancelled, 0, {}, nullptr, "the preview is shutting down"});
    pending_.reset();
  }
  if (running_) running_->cancel.Request();
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

  for (;;) {
    std::shared_ptr<Job> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || pending_ != nullptr; });
      if (stopping_) break;
      job = std::move(pending_);
      running_ = job;
    }
    if (onRenderStart_) onRenderStart_(job->id);
    RenderOutcome outcome;
    try {
      auto output = std::make_shared<lfhost::ImageBuffer>(frame_.image.Clone());
      effect->host().SetCancelToken(&job->cancel);
      const lfhost::CommandResult result = effect->Render(frame_.image, *output, job->values, frame_.settings);
      effect->host().SetCancelToken(nullptr);
      if (result.ok()) {
        outcome.status = RenderOutcome::Status::kDone;
        outcome.image = std::move(output);
      } else if (result.code == kErrCancelled) {
        outcome.status = RenderOutcome::Status::kCancelled;
        outcome.message = "a newer request arrived while rendering";
      } else {
        outcome.message = "render failed: " + lfhost::DescribeResult(result);
      }
    } catch (const std::exception& e) {
      effect->host().SetCancelToken(nullptr);
      outcome.message = e.what();
    }
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
