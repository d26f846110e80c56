// Renders for the preview, latest request wins. One thread owns the effect
// instance and renders one request at a time; each render gets its own cancel
// token, which abortCheck reads. A new request cancels the render in flight
// (the module stops at its next abortCheck and the request is answered
// kCancelled) and replaces a request still waiting (answered kSuperseded), so
// while the user drags, the module only ever works on the newest position.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/effect_instance.h"
#include "host/module_loader.h"
#include "host/web/preview_frame.h"

namespace lfweb {

struct RenderOutcome {
  enum class Status { kDone, kCancelled, kSuperseded, kFailed };
  Status status = Status::kFailed;
  uint64_t id = 0;                                    // order of arrival, from 1
  lfhost::ParamValues values;
  std::shared_ptr<const lfhost::ImageBuffer> image;   // kDone only
  std::string message;                                // kFailed: what went wrong
};

const char* StatusName(RenderOutcome::Status status);   // "done", "cancelled", ...

class RenderScheduler {
 public:
  // Called on the render thread right before a request goes to the module, with
  // its id. For logging and for tests that need a render to be in flight.
  using RenderStartHook = std::function<void(uint64_t id)>;

  // Starts the render thread, which sets up an effect instance on `module`
  // (global and parameter setup) and keeps it for its lifetime. Throws
  // HostError if setup fails. `pool` and `module` must outlive the scheduler.
  RenderScheduler(const lfhost::EffectModule& module, lfhost::WorkerPool& pool, PreviewFrame frame,
                  RenderStartHook onRenderStart = {});
  // Stop(), then the instance's setdowns on the render thread.
  ~RenderScheduler();
  RenderScheduler(const RenderScheduler&) = delete;
  RenderScheduler& operator=(const RenderScheduler&) = delete;

  // The controls the module declared (valid for the scheduler's lifetime).
  const lfhost::EffectControls& controls() const { return controls_; }
  const PreviewFrame& frame() const { return frame_; }

  // Renders the frame with `values` (already checked against controls()) and
  // waits for the outcome. Safe to call from many threads at once.
  RenderOutcome Render(const lfhost::ParamValues& values);

  // Requests that have entered Render so far.
  uint64_t submitted() const;

  // Cancels the render in flight, answers every waiting request kCancelled and
  // refuses new ones. Idempotent.
  void Stop();

  // Stop(), then waits for the render thread to send the instance's setdowns,
  // and returns the protocol faults the host saw the module make (handles
  // leaked, guards overwritten, ...), as `lensflare render` reports them.
  std::vector<std::string> Shutdown();

 private:
  struct Job;
  void RenderLoop(const lfhost::EffectModule& module, lfhost::WorkerPool& pool);
  static void Finish(Job& job, RenderOutcome outcome);

  const PreviewFrame frame_;
  RenderStartHook onRenderStart_;
  lfhost::EffectControls controls_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;          // the render thread: a job arrived or stopping
  std::shared_ptr<Job> pending_;          // the newest request not yet started
  std::shared_ptr<Job> running_;          // the request the module is working on
  uint64_t nextId_ = 1;
  bool stopping_ = false;
  bool ready_ = false;                    // setup finished (well or not)
  std::string setupError_;
  std::vector<std::string> faults_;       // set by the render thread as it ends
  std::thread thread_;
};

}  // namespace lfweb
