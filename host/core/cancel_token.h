// The user's request to stop: one atomic flag that abortCheck reads. The
// command-line tool sets it from a signal handler; the preview server when a
// request is closed or cancelled.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>

namespace lfhost {

class CancelToken {
 public:
  void Request() noexcept { requested_.store(true, std::memory_order_relaxed); }
  bool requested() const noexcept { return requested_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> requested_{false};
  static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
};

// Makes SIGINT (Ctrl-C), SIGTERM (how schedulers stop a job) and SIGHUP (the
// terminal went away) request `token`, all three alike. A second one of any of
// them ends the process at once with status 128 + that signal, after removing
// every file marked by a live RemoveOnSecondInterrupt. One token per process,
// set up on the main thread before any other thread exists (they inherit its
// signal mask) and before any work, so that no stop signal finds the process
// without its handler: SIGINT and SIGTERM are taken even when the parent left
// them ignored, SIGHUP unless it is ignored (nohup), and all three are
// unblocked, a stop that arrived while blocked being taken at once.
void CancelOnStopSignals(CancelToken& token);

// The signal that requested the token (SIGINT, SIGTERM, SIGHUP), 0 if none did.
int CancelSignal() noexcept;

// Marks a file being written under a temporary name for as long as this lives,
// so that a second Ctrl-C, which ends the process without unwinding, does not
// leave it behind. The marks sit in a fixed table the signal handler can read
// without allocating or locking; when it is full (more files in flight than
// the tool ever writes at once) the file is simply not marked.
class RemoveOnSecondInterrupt {
 public:
  explicit RemoveOnSecondInterrupt(const std::string& path) noexcept;
  ~RemoveOnSecondInterrupt();
  RemoveOnSecondInterrupt(const RemoveOnSecondInterrupt&) = delete;
  RemoveOnSecondInterrupt& operator=(const RemoveOnSecondInterrupt&) = delete;

 private:
  int slot_ = -1;
};

// Marks a helper program (its process group) that a second Ctrl-C stops before
// it removes the marked files: the handler kills the group and waits, up to two
// seconds, for the helper to end, so that a helper about to create its output
// file cannot create it after the removal. Made before the helper is started,
// told its pid once it runs; Ended() must come before the helper is reaped, so
// that a recycled pid is never killed.
class StopOnSecondInterrupt {
 public:
  StopOnSecondInterrupt() noexcept;
  ~StopOnSecondInterrupt() { Ended(); }
  StopOnSecondInterrupt(const StopOnSecondInterrupt&) = delete;
  StopOnSecondInterrupt& operator=(const StopOnSecondInterrupt&) = delete;

  void Started(pid_t pid) noexcept;
  void Ended() noexcept;

 private:
  int slot_ = -1;
};

}  // namespace lfhost
