#include "host/worker_pool.h"

#include <algorithm>

namespace lfhost {
namespace {
thread_local bool tInsideTask = false;
}

int WorkerPool::DefaultSize() { return std::max(1u, std::thread::hardware_concurrency()); }

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
    const std::function<void(int)>* task;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
      if (stopping_) return;
      seen = generation_;
      task = task_;
    }
    tInsideTask = true;
    (*task)(threadIndex);
    tInsideTask = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (--pending_ == 0) done_.notify_one();
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
    pending_ = size_ - 1;
    ++generation_;
  }
  wake_.notify_all();
  tInsideTask = true;
  task(0);
  tInsideTask = false;
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return pending_ == 0; });
  task_ = nullptr;
}

}  // namespace lfhost
