// Renders for the preview. One thread owns the effect instance and renders
// one request at a time; each render gets its own cancel token, which
// abortCheck reads.
//
// Each page (a browser tab, named by the id its script sends) has its own
// place in line holding at most one request: a newer request from the page
// replaces the one it has waiting (answered kSuperseded) and cancels the
// page's render in flight (the module stops at its next abortCheck and the
// request is answered kCancelled), so while the user drags, the module only
// works on the newest position. Pages take turns: the render thread always
// takes the request of the page that has waited longest (round robin on the
// one effect instance), so one busy tab cannot starve another, and a tab
// never cancels another tab's render. A request whose client has gone away
// leaves the line, or is cancelled if it is rendering.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/core/cancel_token.h"

#include "host/core/effect_instance.h"
#include "host/core/module_loader.h"
#include "host/web/preview_frame.h"

namespace lfweb {

struct PreviewOutcome {
  enum class Status { kDone, kCancelled, kSuperseded, kFailed };
  Status status = Status::kFailed;
  uint64_t id = 0;                                    // order of arrival, from 1
  lfhost::ParamValues values;
  std::shared_ptr<const lfhost::ImageBuffer> image;   // kDone only
  std::string message;                                // why it was not done
  int64_t frame = 0;                                  // the number of the frame rendered
  double exposure = 0;                                // stops, the host's own control
};

const char* StatusName(PreviewOutcome::Status status);   // "done", "cancelled", ...

class RenderScheduler {
 public:
#ifdef LF_HOST_TEST_SEAMS
  // The tests' seam (lf_host_web_seams): called on the render thread around
  // each render, `started` right before a request goes to the module (with the
  // token its abortCheck reads), `finished` when the module has answered, for
  // tests that need a render to be in flight.
  struct Hooks {
    std::function<void(uint64_t id, const lfhost::CancelToken& cancel)> started;
    std::function<void(const PreviewOutcome& outcome)> finished;
  };
#else
  struct Hooks {};   // the production scheduler calls nothing around a render
#endif
  // Asked while a request waits; true once nobody wants its answer any more.
  using AbandonedCheck = std::function<bool()>;

  // Starts the render thread, which sets up an effect instance on `module`
  // (global and parameter setup) and keeps it for its lifetime. Throws
  // HostError if setup fails. `pool` and `module` must outlive the scheduler.
  RenderScheduler(const lfhost::EffectModule& module, lfhost::WorkerPool& pool, PreviewFrame frame,
                  Hooks hooks = {});
  // Stop(), then the instance's setdowns on the render thread.
  ~RenderScheduler();
  RenderScheduler(const RenderScheduler&) = delete;
  RenderScheduler& operator=(const RenderScheduler&) = delete;

  // The controls the module declared (valid for the scheduler's lifetime).
  const lfhost::EffectControls& controls() const { return controls_; }
  const PreviewFrame& frame() const { return frame_; }

  // Renders frame number `frame` (the first frame's when unset; any of a
  // timeline's) with `values` (checked against controls()) for `page`
  // and waits for the outcome, asking `abandoned` now and then while it waits.
  // Safe to call from many threads at once.
  PreviewOutcome Render(const std::string& page, const lfhost::CheckedParams& values,
                        std::optional<int64_t> frame = std::nullopt, const AbandonedCheck& abandoned = {});

  // Requests that have entered Render so far, and those waiting for their turn.
  uint64_t submitted() const;
  size_t waiting() const;

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
  static void Finish(Job& job, PreviewOutcome outcome);
  void Abandon(const std::shared_ptr<Job>& job);

  const PreviewFrame frame_;
  Hooks hooks_;
  lfhost::EffectControls controls_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;          // the render thread: a job arrived or stopping
  std::deque<std::shared_ptr<Job>> line_; // waiting requests, at most one per page, oldest first
  std::shared_ptr<Job> running_;          // the request the module is working on
  uint64_t nextId_ = 1;
  bool stopping_ = false;
  bool ready_ = false;                    // setup finished (well or not)
  std::string setupError_;
  std::vector<std::string> faults_;       // set by the render thread as it ends
  std::thread thread_;
};

}  // namespace lfweb
