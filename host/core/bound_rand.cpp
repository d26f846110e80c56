// rand() and srand() for a module loaded into a link namespace of its own
// (LoadOptions::randLibrary), where the program cannot export them from its
// executable (a Python interpreter). The sequence is the C library's
// (rand_sequence.h); the state is the one the host binds to the thread for a
// render command (lensflare_bind_rand), so each render draws from a state its
// effect instance owns and renders on different threads run side by side.
//
// The binding is a thread-local pointer of the initial-exec kind: a fixed
// offset from the thread pointer, so a draw (two per pixel of a ray stamp)
// costs one load more than the executable's own thread_rand.cpp, where the
// default kind would call the dynamic linker for every draw. It takes 8 bytes
// of the static thread-local space, which every namespace's C library also
// draws on and which the process never gets back.
#include <cstdlib>
#include <mutex>

#include "host/core/rand_sequence.h"

namespace {

constinit thread_local lfhost::RandState* tBound __attribute__((tls_model("initial-exec"))) = nullptr;

// Draws on a thread with no render bound (the host never makes any) share one
// sequence under a lock. It is not thread-local: all of this library's
// thread-local storage would be static, taken from the same small space.
std::mutex gUnboundLock;
constinit lfhost::RandState gUnbound = lfhost::SeededRand(1);

}  // namespace

extern "C" int rand() noexcept {
  if (lfhost::RandState* bound = tBound; __builtin_expect(bound != nullptr, 1)) {
    return static_cast<int>(lfhost::NextRandValue(*bound));
  }
  const std::lock_guard<std::mutex> lock(gUnboundLock);
  return static_cast<int>(lfhost::NextRandValue(gUnbound));
}

extern "C" void srand(unsigned seed) noexcept {
  if (lfhost::RandState* bound = tBound) {
    *bound = lfhost::SeededRand(seed);
    return;
  }
  const std::lock_guard<std::mutex> lock(gUnboundLock);
  gUnbound = lfhost::SeededRand(seed);
}

// The state this thread's draws use from now on; nullptr lets it go.
extern "C" void lensflare_bind_rand(lfhost::RandState* state) noexcept {
  tBound = state;
}
