// The Python package's render against the tool's own, at 512x512 on one
// thread, in one process so that both see the same machine at the same time:
//
// - BM_ToolRender/L: what `lensflare bench --threads 1` times for lens L, the
//   module loaded as the tool loads it (its rand the executable's per-thread
//   one), an opaque black A, R, G, B world rendered into another.
// - BM_PackageRender/L/C: Renderer::Render as lensflare.Effect(threads=1)
//   calls it once the interpreter's lock is released: an opaque black array of
//   C = 3 or 4 channels moved into the module's world and back, the module in
//   a link namespace of its own drawing from the rand state its instance binds.
//
// - BM_Paired/L/C: the two renders above taken in turn, a run of four of one
//   then four of the other, each timed by the thread's CPU clock (the first
//   of a run, which finds the caches full of the other side's pixels, is not
//   counted); it reports the medians of each and the overhead of the
//   package's median over the tool's. A burst of other work on a shared
//   machine lands on a few milliseconds of both sides alike rather than on
//   one side's whole repetition.
//
// Their ratio is the package's overhead below Python; the Python side of a
// call (argument checks, the extension's entry) is timed apart, see
// bench/README.md.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/bench/bench.h"
#include "host/core/effect_instance.h"
#include "host/core/module_loader.h"
#include "host/core/worker_pool.h"
#include "host/python/flare_renderer.h"

namespace {

constexpr int32_t kSide = 512;

// The tool's render: the module loaded as the tool loads it, into a black world.
struct ToolSetup {
  explicit ToolSetup(int32_t lens) : pool(1), effect(Module(), pool), values(Started(effect, lens)), input(kSide, kSide) {
    for (int32_t y = 0; y < kSide; ++y) {
      for (int32_t x = 0; x < kSide; ++x) input.at(x, y, 0) = 255;
    }
    output = input.Clone();
  }
  static lfhost::CheckedParams Started(lfhost::EffectInstance& effect, int32_t lens) {
    effect.Start();
    lfhost::ControlSettings settings;
    settings.lensType = lens;
    settings.centerX = lfhost::Coordinate{lfhost::BenchCenterX(kSide), false};
    settings.centerY = lfhost::Coordinate{lfhost::BenchCenterY(kSide), false};
    return effect.Resolve(settings, kSide, kSide);
  }
  static const lfhost::EffectModule& Module() {
    static const auto module = lfhost::EffectModule::Load(lfhost::FindDefaultModule(lfhost::ExecutableDir()));
    return *module;
  }
  bool Render() { return effect.Render(input, output, values).ok(); }

  lfhost::WorkerPool pool;
  lfhost::EffectInstance effect;
  lfhost::CheckedParams values;
  lfhost::ImageBuffer input, output;
};

// The package's render below Python: an opaque black array of `channels`.
struct PackageSetup {
  PackageSetup(int32_t lens, int32_t channels)
      : image(static_cast<size_t>(kSide) * kSide * channels, 0), out(image.size()) {
    if (channels == 4) {
      for (size_t i = 3; i < image.size(); i += 4) image[i] = 255;
    }
    const lfpython::Pixels pixels{image.data(), out.data(), kSide, kSide, channels, lfpython::Sample::UInt8};
    lfhost::ControlInput center{lfhost::ControlInput::Kind::List, 0, "", {}};
    center.items = {lfhost::ControlInput::Number(lfhost::BenchCenterX(kSide)),
                    lfhost::ControlInput::Number(lfhost::BenchCenterY(kSide))};
    const std::map<std::string, lfhost::ControlInput> controls = {
        {"lens", lfhost::ControlInput::Number(static_cast<double>(lens))}, {"center", center}};
    job = std::make_unique<lfpython::RenderJob>(Shared().Prepare(pixels, controls, {}, {}));
  }
  static lfpython::Renderer& Shared() {
    static lfpython::Renderer renderer(lfhost::FindDefaultModule(lfhost::ExecutableDir()), "", "", LF_BENCH_RAND_LIBRARY,
                                       1);
    return renderer;
  }
  void Render() { Shared().Render(*job); }

  std::vector<uint8_t> image, out;
  std::unique_ptr<lfpython::RenderJob> job;
};

void ToolRender(benchmark::State& state) {
  ToolSetup tool(static_cast<int32_t>(state.range(0)));
  for (auto _ : state) {
    if (!tool.Render()) state.SkipWithError("render failed");
  }
}

void PackageRender(benchmark::State& state) {
  PackageSetup package(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
  for (auto _ : state) package.Render();
}

double ThreadMicroseconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

double Median(std::vector<double> values) {
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

// Renders of one side in a row: the first of each run only brings the side's
// pixels back into the caches the other side's run filled, and is not timed.
constexpr int kRun = 4;

void Paired(benchmark::State& state) {
  ToolSetup tool(static_cast<int32_t>(state.range(0)));
  PackageSetup package(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
  std::vector<double> toolTimes, packageTimes;
  bool toolsTurn = true;
  for (auto _ : state) {
    for (int i = 0; i < kRun; ++i) {
      const double start = ThreadMicroseconds();
      if (toolsTurn && !tool.Render()) state.SkipWithError("render failed");
      if (!toolsTurn) package.Render();
      if (i > 0) (toolsTurn ? toolTimes : packageTimes).push_back(ThreadMicroseconds() - start);
    }
    toolsTurn = !toolsTurn;
  }
  if (toolTimes.empty() || packageTimes.empty()) return;
  const double toolMedian = Median(toolTimes), packageMedian = Median(packageTimes);
  state.counters["tool_us"] = toolMedian;
  state.counters["package_us"] = packageMedian;
  state.counters["overhead_%"] = 100.0 * (packageMedian / toolMedian - 1.0);
}

}  // namespace

BENCHMARK(ToolRender)->Name("BM_ToolRender")->DenseRange(1, 3)->Unit(benchmark::kMicrosecond);
BENCHMARK(PackageRender)
    ->Name("BM_PackageRender")
    ->ArgsProduct({{1, 2, 3}, {3, 4}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(Paired)->Name("BM_Paired")->ArgsProduct({{1, 2, 3}, {3, 4}})->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
