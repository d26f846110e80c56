#include "host/core/cancel_token.h"

#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

namespace lfhost {
namespace {

std::atomic<CancelToken*> gInterruptToken{nullptr};
std::atomic<int> gInterrupts{0};

// A slot is free (0), being filled or emptied (1) or holds a path the handler
// may remove (2). Paths longer than a slot holds are not marked.
enum SlotState : int { kFree = 0, kBusy = 1, kMarked = 2 };
constexpr int kSlots = 32;
constexpr size_t kPathBytes = 4096;
struct MarkedPathSlot {
  std::atomic<int> state{kFree};
  char path[kPathBytes];
};
MarkedPathSlot gSlots[kSlots];
static_assert(std::atomic<int>::is_always_lock_free, "read from a signal handler");

// Helpers to stop: 0 free, -1 being started (its pid not known yet), or the pid
// of a running helper, which leads its own process group.
constexpr int kHelperSlots = 16;
std::atomic<pid_t> gHelpers[kHelperSlots];
static_assert(std::atomic<pid_t>::is_always_lock_free, "read from a signal handler");
constexpr pid_t kHelperStarting = -1;

void SleepMilliseconds(long ms) {
  timespec pause{0, ms * 1000000L};
  nanosleep(&pause, nullptr);
}

// Kills every marked helper's group and waits, at most about two seconds in
// all, until each has ended (without reaping it). A helper being started is
// given the same time to get its pid published: the starting thread blocks
// the stop signals meanwhile, so this handler never runs on it.
void StopHelpers() {
  long waitedMs = 0;
  for (std::atomic<pid_t>& helper : gHelpers) {
    pid_t pid = helper.load();
    while (pid == kHelperStarting && waitedMs < 2000) {
      SleepMilliseconds(1);
      ++waitedMs;
      pid = helper.load();
    }
    if (pid <= 0) continue;
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);  // in case it has not yet made its own group
    for (;;) {
      siginfo_t info{};
      const int r = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
      if (r != 0 || info.si_pid == pid || waitedMs >= 2000) break;  // ended, already reaped, or out of time
      SleepMilliseconds(1);
      ++waitedMs;
    }
  }
}

std::atomic<int> gCancelSignal{0};
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void RequestCancelOnSignal(int signal) {
  if (gInterrupts.fetch_add(1) == 0) {
    gCancelSignal.store(signal);
    if (CancelToken* token = gInterruptToken.load()) token->Request();
    return;
  }
  // The user insists: stop now, without the clean end of the current frame,
  // but without the temporary files either. Helpers go first, so that none
  // creates its output after the removal. kill, waitid, nanosleep, unlink and
  // _exit are safe here.
  StopHelpers();
  for (MarkedPathSlot& slot : gSlots) {
    if (slot.state.load() == kMarked) unlink(slot.path);
  }
  _exit(128 + signal);
}

}  // namespace

void CancelOnStopSignals(CancelToken& token) {
  gInterruptToken.store(&token);
  gInterrupts.store(0);
  gCancelSignal.store(0);
  struct sigaction action {};
  action.sa_handler = &RequestCancelOnSignal;
  sigemptyset(&action.sa_mask);
  // One handler at a time, so two signals arriving together count as two.
  for (int signal : kStopSignals) sigaddset(&action.sa_mask, signal);
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  for (int signal : kStopSignals) {
    // A stop signal the parent left ignored is taken all the same: a script's
    // background job inherits SIGINT ignored, and a render that Ctrl-C or a
    // scheduler's SIGTERM cannot stop runs on for hours, with its frames
    // half-written if the job is then killed outright. The exception is
    // SIGHUP ignored, which is what nohup asks for: go on when the terminal
    // goes away.
    sigaddset(&stopSignals, signal);
    struct sigaction inherited {};
    if (signal == SIGHUP && sigaction(signal, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) continue;
    sigaction(signal, &action, nullptr);
  }
  // Blocked ones too (a launcher may block them): one that came while blocked
  // is taken now, as a request like any other (an ignored SIGHUP is dropped).
  pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
}

int CancelSignal() noexcept { return gCancelSignal.load(); }

RemoveOnSecondInterrupt::RemoveOnSecondInterrupt(const std::string& path) noexcept {
  if (path.size() >= kPathBytes) return;
  for (int i = 0; i < kSlots; ++i) {
    int expected = kFree;
    if (gSlots[i].state.compare_exchange_strong(expected, kBusy)) {
      std::memcpy(gSlots[i].path, path.c_str(), path.size() + 1);
      gSlots[i].state.store(kMarked);
      slot_ = i;
      return;
    }
  }
}

RemoveOnSecondInterrupt::~RemoveOnSecondInterrupt() {
  if (slot_ >= 0) gSlots[slot_].state.store(kFree);
}

StopOnSecondInterrupt::StopOnSecondInterrupt() noexcept {
  for (int i = 0; i < kHelperSlots; ++i) {
    pid_t expected = 0;
    if (gHelpers[i].compare_exchange_strong(expected, kHelperStarting)) {
      slot_ = i;
      return;
    }
  }
}

void StopOnSecondInterrupt::Started(pid_t pid) noexcept {
  if (slot_ >= 0) gHelpers[slot_].store(pid > 0 ? pid : 0);
}

void StopOnSecondInterrupt::Ended() noexcept {
  if (slot_ >= 0) gHelpers[slot_].store(0);
  slot_ = -1;
}

}  // namespace lfhost
