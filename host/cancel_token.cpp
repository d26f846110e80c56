#include "host/cancel_token.h"

#include <signal.h>
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
struct Slot {
  std::atomic<int> state{kFree};
  char path[kPathBytes];
};
Slot gSlots[kSlots];
static_assert(std::atomic<int>::is_always_lock_free, "read from a signal handler");

std::atomic<int> gCancelSignal{0};
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void RequestCancelOnSignal(int signal) {
  if (gInterrupts.fetch_add(1) == 0) {
    gCancelSignal.store(signal);
    if (CancelToken* token = gInterruptToken.load()) token->Request();
    return;
  }
  // The user insists: stop now, without the clean end of the current frame,
  // but without the temporary files either. unlink and _exit are safe here.
  for (Slot& slot : gSlots) {
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
  for (int signal : kStopSignals) sigaction(signal, &action, nullptr);
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

}  // namespace lfhost
