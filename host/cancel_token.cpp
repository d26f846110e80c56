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

extern "C" void RequestCancelOnSignal(int) {
  if (gInterrupts.fetch_add(1) == 0) {
    if (CancelToken* token = gInterruptToken.load()) token->Request();
    return;
  }
  // The user insists: stop now, without the clean end of the current frame,
  // but without the temporary files either. unlink and _exit are safe here.
  for (Slot& slot : gSlots) {
    if (slot.state.load() == kMarked) unlink(slot.path);
  }
  _exit(130);
}

}  // namespace

void CancelOnInterrupt(CancelToken& token) {
  gInterruptToken.store(&token);
  gInterrupts.store(0);
  struct sigaction action {};
  action.sa_handler = &RequestCancelOnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
}

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
