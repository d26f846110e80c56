#include "host/media/sequence_renderer.h"

#include <unistd.h>

#include <algorithm>

#include "host/media/sequence_run.h"

namespace lfhost {

int DefaultFramesInFlight(int32_t width, int32_t height) {
  const double frameBytes = 32.0 * std::max(1, width) * std::max(1, height);
  const double memory = static_cast<double>(sysconf(_SC_PHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGESIZE));
  const double fitting = memory > 0 ? memory / 4 / frameBytes : 1;
  return static_cast<int>(std::max(1.0, std::min<double>(WorkerPool::AllowedProcessors(), fitting)));
}

int DefaultWorkerThreads(int64_t frameCount, int32_t width, int32_t height, int framesInFlight) {
  const int64_t inFlight =
      std::min<int64_t>(framesInFlight > 0 ? framesInFlight : DefaultFramesInFlight(width, height), frameCount);
  return inFlight >= WorkerPool::AllowedProcessors() ? 1 : 0;
}

RenderOutcome RenderFrames(const RenderJob& job) { return SequenceRun(job).Run(); }

}  // namespace lfhost
