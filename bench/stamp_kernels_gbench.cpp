// The stamp kernel sets side by side (plain reference, portable, AVX2) on one
// large element, on one thread and on all, and the ray stamp with and without
// its rand() draws. iterate runs on the host's persistent WorkerPool, as in the
// tool, so the thread counts compare the stamping itself.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <vector>

#include "host/core/worker_pool.h"
#include "render/stamp_kernels.h"
#include "render/stamp_profile.h"
#include "render/stamp_rays.h"
#include "tests/support/fake_host.h"

namespace {

int32_t NeverAbort(void*) { return 0; }

int32_t ThreadsFor(int64_t arg) {
  return arg > 0 ? static_cast<int32_t>(arg) : static_cast<int32_t>(std::max(1u, std::thread::hardware_concurrency()));
}

// iterate on a pool of the benchmark's thread count: invocation i on thread
// i mod size, the first non-zero result returned, as the host does.
lfhost::WorkerPool* gPool = nullptr;

int32_t PoolIterate(int32_t count, void* refcon, IterateWorkerFn worker) {
  const int size = gPool->size();
  const int32_t invocations = count == -1 ? size : count;
  if (invocations == 1) return worker(refcon, 0, 0, 1);
  std::vector<int32_t> results(static_cast<size_t>(invocations), 0);
  gPool->RunOnEveryThread([&](int t) {
    for (int32_t i = t; i < invocations; i += size) results[static_cast<size_t>(i)] = worker(refcon, t, i, invocations);
  });
  for (int32_t r : results) {
    if (r != 0) return r;
  }
  return 0;
}

// A full-frame glow: a ramp from 255 at the centre down to 0 at the frame's
// half-diagonal, so every pixel of the box reads a live sample.
void GlowProfile(FlareContext& context, float radius) {
  for (int32_t i = 0; i < context.profileLength; ++i) {
    const float f = 1.0f - static_cast<float>(i) / (4.0f * radius);
    const uint8_t v = static_cast<uint8_t>(f > 0.0f ? 255.0f * f : 0.0f);
    context.profileRed[i] = v;
    context.profileGreen[i] = static_cast<uint8_t>(v / 2);
    context.profileBlue[i] = static_cast<uint8_t>(v / 4);
  }
}

// Arguments: kernel set (0 plain, 1 portable, 2 AVX2), width, height, threads
// (0 = one per core).
void BM_StampProfileKernels(benchmark::State& state) {
  const auto set = static_cast<StampKernelSet>(state.range(0));
  if (!StampKernelSetSupported(set)) {
    state.SkipWithError("kernel set not supported by this processor");
    return;
  }
  ForceStampKernelSet(set);
  const int32_t width = static_cast<int32_t>(state.range(1));
  const int32_t height = static_cast<int32_t>(state.range(2));
  const int32_t threads = ThreadsFor(state.range(3));
  lfhost::WorkerPool pool(threads);
  gPool = &pool;
  FakeHost host;
  host.in.abortCheck = &NeverAbort;
  host.callbacks.iterate = &PoolIterate;
  TestCanvas canvas(width, height, host);
  const float radius = std::hypot(width * 0.5f, height * 0.5f);
  GlowProfile(canvas.context, radius);
  for (auto _ : state) {
    StampProfile(width * 0.5f, height * 0.5f, radius, canvas.context.frame, canvas.context);
    benchmark::ClobberMemory();
  }
  ClearForcedStampKernelSet();
  state.counters["Mpixel/s"] = benchmark::Counter(static_cast<double>(width) * height * 1e-6 * state.iterations(),
                                                  benchmark::Counter::kIsRate);
  state.counters["threads"] = threads;
}
BENCHMARK(BM_StampProfileKernels)
    ->ArgsProduct({{0, 1, 2}, {1920}, {1080}, {1, 0}})
    ->ArgsProduct({{1, 2}, {3840}, {2160}, {1, 0}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A 1920 x 1080 ray stamp covering the frame (the rand() draws run on one
// thread by design). Argument: kernel set.
void BM_StampRaysKernels(benchmark::State& state) {
  const auto set = static_cast<StampKernelSet>(state.range(0));
  if (!StampKernelSetSupported(set)) {
    state.SkipWithError("kernel set not supported by this processor");
    return;
  }
  ForceStampKernelSet(set);
  FakeHost host;
  host.in.abortCheck = &NeverAbort;
  TestCanvas canvas(1920, 1080, host);
  const float radius = 540.0f;
  GlowProfile(canvas.context, radius);
  for (auto _ : state) {
    StampRays(960.0f, 540.0f, radius, canvas.context.frame, canvas.context);
    host.iterates.clear();
    benchmark::ClobberMemory();
  }
  ClearForcedStampKernelSet();
}
BENCHMARK(BM_StampRaysKernels)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();

// The draws alone: two rand() per pixel of that box.
void BM_RandDrawsOfARayStamp(benchmark::State& state) {
  const int64_t draws = 2LL * 1084 * 1080;  // the box: 2 x (540 + 2) columns, 1080 rows after clipping
  unsigned sum = 0;
  for (auto _ : state) {
    for (int64_t i = 0; i < draws; ++i) sum += static_cast<unsigned>(std::rand());
    benchmark::DoNotOptimize(sum);
  }
}
BENCHMARK(BM_RandDrawsOfARayStamp)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
