#include "host/cancel_token.h"

#include <signal.h>

namespace lfhost {
namespace {

std::atomic<CancelToken*> gInterruptToken{nullptr};

extern "C" void RequestCancelOnSignal(int) {
  if (CancelToken* token = gInterruptToken.load()) token->Request();
  // A second Ctrl-C stops the process the ordinary way.
  signal(SIGINT, SIG_DFL);
}

}  // namespace

void CancelOnInterrupt(CancelToken& token) {
  gInterruptToken.store(&token);
  struct sigaction action {};
  action.sa_handler = &RequestCancelOnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
}

}  // namespace lfhost
