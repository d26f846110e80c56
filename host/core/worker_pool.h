// A persistent pool of worker threads, created once per host and reused by every
// iterate call: starting threads per stamp would cost more than many stamps.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace lfhost {

class WorkerPool {
 public:
  // `threads` counts the calling thread too; 0 means one per processor.
  // A pool of size 1 starts no thread at all.
  explicit WorkerPool(int threads = 0);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  int size() const { return size_; }

  // Runs task(threadIndex) once on every pool thread at the same time, index 0
  // on the calling thread, and returns when all have ended. Calls from several
  // threads are served one after another; a call made from inside a task runs
  // every index on the caller, in order.
  void RunOnEveryThread(const std::function<void(int threadIndex)>& task);

  static int DefaultSize();
  // The processors this process may run on (its affinity): a farm's job gets
  // its share of a node.
  static int AllowedProcessors();

 private:
  void WorkerLoop(int threadIndex);

  int size_;
  std::vector<std::thread> threads_;
  std::mutex runMutex_;          // one RunOnEveryThread at a time
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  const std::function<void(int)>* task_ = nullptr;
  // A call wakes the workers by bumping generation_ and waits for pending_ to
  // reach 0. Both sides spin briefly before they sleep on the condition
  // variables: stamps follow each other within microseconds, and a sleeping
  // thread takes tens of microseconds to wake. Each counter has its own cache
  // line so that the spinning threads do not slow each other's writes.
  alignas(64) std::atomic<uint64_t> generation_{0};
  alignas(64) std::atomic<int> pending_{0};
  bool stopping_ = false;
};

}  // namespace lfhost
