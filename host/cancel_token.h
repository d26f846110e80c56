// The user's request to stop: one atomic flag that abortCheck reads. The
// command-line tool sets it from a SIGINT handler; the preview server when a
// request is closed or cancelled.
#pragma once

#include <atomic>

namespace lfhost {

class CancelToken {
 public:
  void Request() noexcept { requested_.store(true, std::memory_order_relaxed); }
  void Reset() noexcept { requested_.store(false, std::memory_order_relaxed); }
  bool requested() const noexcept { return requested_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> requested_{false};
  static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
};

// Makes SIGINT (Ctrl-C) request `token`; a second Ctrl-C falls back to the default
// action so a stuck run can still be killed. One token per process.
void CancelOnInterrupt(CancelToken& token);

}  // namespace lfhost
