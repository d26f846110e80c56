#include "host/core/worker_pool.h"

#include <sched.h>

#include <algorithm>

namespace lfhost {
namespace {
thread_local bool tInsideTask = false;

// Polling rounds before a thread goes to sleep: about 45 microseconds on a
// current x86 core, longer than a sleeping thread takes to wake.
constexpr int kSpinRounds = 2000;

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}
}  // namespace

int WorkerPool::DefaultSize() { return std::max(1u, std::thread::hardware_concurrency()); }

int WorkerPool::AllowedProcessors() {
  cpu_set_t allowed;
  return sched_getaffinity(0, sizeof allowed, &allowed) == 0 ? std::max(1, CPU_COUNT(&allowed)) : DefaultSize();
}

WorkerPool::WorkerPool(int threads) : size_(threads > 0 ? threads : DefaultSize()) {
  threads_.reserve(static_cast<size_t>(size_ - 1));
  for (int t = 1; t < size_; ++t) threads_.emplace_back([this, t] { WorkerLoop(t); });
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void WorkerPool::WorkerLoop(int threadIndex) {
  uint64_t seen = 0;
  for (;;) {
    for (int spin = 0; spin < kSpinRounds && generation_.load(std::memory_order_acquire) == seen; ++spin) {
      CpuRelax();
    }
    const std::function<void(int)>* task;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || generation_.load(std::memory_order_relaxed) != seen; });
      if (stopping_) return;
      seen = generation_.load(std::memory_order_relaxed);
      task = task_;
    }
    tInsideTask = true;
    (*task)(threadIndex);
    tInsideTask = false;
    if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      std::lock_guard<std::mutex> lock(mutex_);  // the caller may be about to sleep
      done_.notify_one();
    }
  }
}

void WorkerPool::RunOnEveryThread(const std::function<void(int)>& task) {
  if (tInsideTask || size_ == 1) {
    // A nested call cannot wait for threads that may be busy running its
    // caller; it runs every index here instead.
    const bool wasInside = tInsideTask;
    tInsideTask = true;
    for (int t = 0; t < size_; ++t) task(t);
    tInsideTask = wasInside;
    return;
  }
  std::lock_guard<std::mutex> run(runMutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    task_ = &task;
    pending_.store(size_ - 1, std::memory_order_relaxed);
    generation_.fetch_add(1, std::memory_order_release);
  }
  wake_.notify_all();
  tInsideTask = true;
  task(0);
  tInsideTask = false;
  for (int spin = 0; spin < kSpinRounds && pending_.load(std::memory_order_acquire) != 0; ++spin) CpuRelax();
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return pending_.load(std::memory_order_acquire) == 0; });
  task_ = nullptr;
}

}  // namespace lfhost
