// Resident memory of one process rendering a small frame again and again
// through one effect instance, as a long sequence or preview session does:
// after 100 renders and after 10,000. An unobserved host keeps nothing per call,
// so the two should be within 1 MB; "validated" attaches the Validator, whose
// records grow with every call, for comparison.
#include <benchmark/benchmark.h>

#include "host/core/builtin_frame.h"
#include "host/core/effect_instance.h"
#include "host/core/module_loader.h"
#include "host/core/worker_pool.h"
#include "tests/support/resident_memory.h"

namespace {

void BM_HostSoak(benchmark::State& state) {
  const bool validated = state.range(0) != 0;
  const auto module = lfhost::EffectModule::Load(lfhost::FindDefaultModule(lfhost::ExecutableDir()));
  lfhost::WorkerPool pool;
  for (auto _ : state) {
    lfhost::EffectInstance effect(*module, pool);
    if (validated) effect.Validate();
    effect.Start();
    const lfhost::ImageBuffer input = lfhost::MakeDarkFrame(32, 18);
    lfhost::ImageBuffer output(32, 18);
    const lfhost::ParamValues values = effect.DefaultValues(32, 18);
    int64_t after100 = 0;
    for (int n = 1; n <= 10000; ++n) {
      if (effect.Render(input, output, values, {.frame = n}).code != 0) state.SkipWithError("render failed");
      if (n == 100) after100 = lftest::ResidentBytes();
    }
    const int64_t after10000 = lftest::ResidentBytes();
    state.counters["rss_100_kB"] = static_cast<double>(after100) / 1024;
    state.counters["rss_10000_kB"] = static_cast<double>(after10000) / 1024;
    state.counters["growth_B_per_render"] = static_cast<double>(after10000 - after100) / 9900;
  }
}
BENCHMARK(BM_HostSoak)->ArgName("validated")->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
