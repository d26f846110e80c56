// rand() and srand() for the lensflare executable, exported so that the
// module's calls bind to them: the C library's exact sequence for every seed
// (rand_sequence.h), with the state kept per thread and no lock. The module
// draws two values per pixel of a ray stamp, all on the render thread that
// seeded them (a ray stamp asks iterate for one invocation, which runs on the
// calling thread), so each render thread has its own sequence and frames
// render side by side. A thread that never seeds draws as if seeded with 1.
#include <cstdlib>

#include "host/core/rand_sequence.h"

namespace {

constinit thread_local lfhost::RandState tState = lfhost::SeededRand(1);

}  // namespace

extern "C" int rand() noexcept { return static_cast<int>(lfhost::NextRandValue(tState)); }

extern "C" void srand(unsigned seed) noexcept { tState = lfhost::SeededRand(seed); }
