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
// Their ratio is the package's overhead below Python; the Python side of a
// call (argument checks, the extension's entry) is timed apart, see
// bench/README.md.
#include <benchmark/benchmark.h>

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

void ToolRender(benchmark::State& state) {
  static const auto module = lfhost::EffectModule::Load(lfhost::FindDefaultModule(lfhost::ExecutableDir()));
  lfhost::WorkerPool pool(1);
  lfhost::EffectInstance effect(*module, pool);
  effect.Start();
  lfhost::ControlSettings settings;
  settings.lensType = static_cast<int32_t>(state.range(0));
  settings.centerX = lfhost::Coordinate{lfhost::BenchCenterX(kSide), false};
  settings.centerY = lfhost::Coordinate{lfhost::BenchCenterY(kSide), false};
  const auto values = effect.Resolve(settings, kSide, kSide);
  lfhost::ImageBuffer input(kSide, kSide);
  for (int32_t y = 0; y < kSide; ++y) {
    for (int32_t x = 0; x < kSide; ++x) input.at(x, y, 0) = 255;
  }
  lfhost::ImageBuffer output = input.Clone();
  for (auto _ : state) {
    if (!effect.Render(input, output, values).ok()) state.SkipWithError("render failed");
  }
}

void PackageRender(benchmark::State& state) {
  static lfpython::Renderer renderer(lfhost::FindDefaultModule(lfhost::ExecutableDir()), "", "", LF_BENCH_RAND_LIBRARY, 1);
  const int32_t channels = static_cast<int32_t>(state.range(1));
  std::vector<uint8_t> image(static_cast<size_t>(kSide) * kSide * channels, 0), out(image.size());
  if (channels == 4) {
    for (size_t i = 3; i < image.size(); i += 4) image[i] = 255;
  }
  const lfpython::Pixels pixels{image.data(), out.data(), kSide, kSide, channels, lfpython::Sample::UInt8};
  lfhost::ControlInput center{lfhost::ControlInput::Kind::List, 0, "", {}};
  center.items = {lfhost::ControlInput::Number(lfhost::BenchCenterX(kSide)),
                  lfhost::ControlInput::Number(lfhost::BenchCenterY(kSide))};
  const std::map<std::string, lfhost::ControlInput> controls = {
      {"lens", lfhost::ControlInput::Number(static_cast<double>(state.range(0)))}, {"center", center}};
  const lfpython::RenderJob job = renderer.Prepare(pixels, controls, {}, {});
  for (auto _ : state) renderer.Render(job);
}

}  // namespace

BENCHMARK(ToolRender)->Name("BM_ToolRender")->DenseRange(1, 3)->Unit(benchmark::kMicrosecond);
BENCHMARK(PackageRender)
    ->Name("BM_PackageRender")
    ->ArgsProduct({{1, 2, 3}, {3, 4}})
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
