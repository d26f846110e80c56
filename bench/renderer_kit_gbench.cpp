// Speed of the renderer's per-pixel kit: the table-driven distance, profile
// stamping of a full-frame element on one and on all threads, and streaks.
#include <benchmark/benchmark.h>

#include <cmath>
#include <thread>
#include <vector>

#include "render/draw_streak.h"
#include "render/fixed_point.h"
#include "render/hypot_table.h"
#include "render/stamp_profile.h"
#include "tests/support/fake_host.h"

namespace {

// A host's cancel poll is a flag read; the recording fake logs every call, which
// would dominate a row of work, so the benchmarks answer the poll directly.
int32_t NeverAbort(void*) { return 0; }

void BM_FastHypot(benchmark::State& state) {
  HypotTable table;
  FillHypotTable(table);
  std::vector<int32_t> offsets(4096);
  for (size_t i = 0; i < offsets.size(); ++i)
    offsets[i] = static_cast<int32_t>((i * 2654435761u) % 65536) - 32768;
  int64_t sum = 0;
  for (auto _ : state) {
    for (size_t i = 0; i + 1 < offsets.size(); ++i) sum += FastHypot(table, offsets[i], offsets[i + 1]);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(offsets.size() - 1));
}
BENCHMARK(BM_FastHypot);

// One element whose box covers the whole frame; the profile is a ramp so every
// sample read is live. Arguments: width, height, threads (0 = one per core).
void BM_StampProfileFullFrame(benchmark::State& state) {
  const int32_t width = static_cast<int32_t>(state.range(0));
  const int32_t height = static_cast<int32_t>(state.range(1));
  int32_t threads = static_cast<int32_t>(state.range(2));
  if (threads == 0) threads = static_cast<int32_t>(std::max(1u, std::thread::hardware_concurrency()));
  FakeHost host;
  host.in.abortCheck = &NeverAbort;
  host.threads = threads;
  host.parallel = threads > 1;
  TestCanvas canvas(width, height, host);
  FlareContext& context = canvas.context;
  for (int32_t i = 0; i < context.profileLength; ++i)
    context.profileRed[i] = context.profileGreen[i] = context.profileBlue[i] =
        static_cast<uint8_t>(i / 16);
  const float radius = std::hypot(width * 0.5f, height * 0.5f);
  for (auto _ : state) {
    StampProfile(width * 0.5f, height * 0.5f, radius, context.frame, context);
    if (host.iterates.size() > 4096) host.iterates.clear();
    benchmark::ClobberMemory();
  }
  const double pixels = static_cast<double>(width) * height;
  state.counters["Mpixel/s"] =
      benchmark::Counter(pixels * 1e-6 * state.iterations(), benchmark::Counter::kIsRate);
  state.counters["threads"] = threads;
}
BENCHMARK(BM_StampProfileFullFrame)
    ->Args({1920, 1080, 1})
    ->Args({1920, 1080, 0})
    ->Args({3840, 2160, 1})
    ->Args({3840, 2160, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Streaks of 600 pixels from the frame centre in 64 directions; rate counted in
// major-axis steps (each touches two or three pixels).
void BM_DrawStreak(benchmark::State& state) {
  FakeHost host;
  TestCanvas canvas(1920, 1080, host);
  FlareContext& context = canvas.context;
  context.streakMode = static_cast<uint16_t>(state.range(0));
  std::vector<StreakRecord> streaks;
  int64_t steps = 0;
  for (int i = 0; i < 64; ++i) {
    const float angle = static_cast<float>(i) * 0.0981747704f;
    const float dx = 600.0f * std::cos(angle), dy = 500.0f * std::sin(angle);
    streaks.push_back({960.0f, 540.0f, 960.0f + dx, 540.0f + dy, 0.3f, kStreakThickness, 0.25f, 0.2f});
    steps += static_cast<int64_t>(std::max(std::fabs(dx), std::fabs(dy)));
  }
  for (auto _ : state) {
    for (const StreakRecord& s : streaks) DrawStreak(s, context.frame, context);
    benchmark::ClobberMemory();
  }
  state.counters["steps/s"] =
      benchmark::Counter(static_cast<double>(steps) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DrawStreak)->Arg(1)->Arg(2);

}  // namespace

BENCHMARK_MAIN();
