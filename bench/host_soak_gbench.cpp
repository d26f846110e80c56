// Resident memory of one process rendering a small frame again and again, after
// 100 renders and after 10,000, three ways: through one effect instance, as a
// preview session driven through its HTTP API (POST a render, GET its PNG), and
// as one 10,000-frame sequence through the pipelined renderer. An unobserved
// host keeps nothing per call, so the two figures should be within 1 MB;
// "validated" attaches the Validator to the instance, whose records grow with
// every call, for comparison.
#include <benchmark/benchmark.h>

#include <string>
#include <thread>

#include <httplib.h>

#include "host/core/builtin_frame.h"
#include "host/core/effect_instance.h"
#include "host/core/module_loader.h"
#include "host/core/worker_pool.h"
#include "host/media/frame_sinks.h"
#include "host/media/frame_sources.h"
#include "host/media/sequence_renderer.h"
#include "host/web/preview_server.h"
#include "tests/support/resident_memory.h"

namespace {

constexpr int kEarly = 100;
constexpr int kLate = 10000;

const lfhost::EffectModule& Module() {
  static const auto module = lfhost::EffectModule::Load(lfhost::FindDefaultModule(lfhost::ExecutableDir()));
  return *module;
}

lfhost::WorkerPool& Pool() {
  static lfhost::WorkerPool pool;
  return pool;
}

void Report(benchmark::State& state, int64_t early, int64_t late) {
  state.counters["rss_100_kB"] = static_cast<double>(early) / 1024;
  state.counters["rss_10000_kB"] = static_cast<double>(late) / 1024;
  state.counters["growth_B_per_render"] = static_cast<double>(late - early) / (kLate - kEarly);
}

void BM_InstanceSoak(benchmark::State& state) {
  const bool validated = state.range(0) != 0;
  for (auto _ : state) {
    lfhost::EffectInstance effect(Module(), Pool());
    if (validated) effect.Validate();
    effect.Start();
    const lfhost::ImageBuffer input = lfhost::MakeDarkFrame(32, 18);
    lfhost::ImageBuffer output(32, 18);
    const lfhost::CheckedParams values = effect.Defaults(32, 18);
    int64_t early = 0;
    for (int n = 1; n <= kLate; ++n) {
      if (effect.Render(input, output, values, {.frame = n}).code != 0) state.SkipWithError("render failed");
      if (n == kEarly) early = lftest::ResidentBytes();
    }
    Report(state, early, lftest::ResidentBytes());
  }
}
BENCHMARK(BM_InstanceSoak)->ArgName("validated")->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond);

// The page's own requests: a render with the centre moved a little, then its
// PNG, over a small frame so that the 10,000 stay quick.
void BM_PreviewSessionSoak(benchmark::State& state) {
  for (auto _ : state) {
    lfweb::PreviewFrame frame;
    frame.image = lfhost::MakeDarkFrame(64, 36);
    frame.label = "built-in frame";
    lfweb::PreviewServer server(Module(), Pool(), std::move(frame), {});
    std::thread serving([&] { server.Run(); });
    httplib::Client client("127.0.0.1", server.port());
    client.set_read_timeout(30, 0);
    int64_t early = 0;
    for (int n = 1; n <= kLate; ++n) {
      const std::string body = "{\"center\":[" + std::to_string(n % 64) + "," + std::to_string(n % 36) + "]}";
      const auto answer = client.Post("/api/render", body, "application/json");
      const size_t at = answer && answer->status == 200 ? answer->body.find("/api/renders/") : std::string::npos;
      if (at == std::string::npos) {
        state.SkipWithError("render request failed");
        break;
      }
      const auto png = client.Get(answer->body.substr(at, answer->body.find('"', at) - at).c_str());
      if (!png || png->status != 200) {
        state.SkipWithError("preview request failed");
        break;
      }
      if (n == kEarly) early = lftest::ResidentBytes();
    }
    Report(state, early, lftest::ResidentBytes());
    server.Stop();
    serving.join();
  }
}
BENCHMARK(BM_PreviewSessionSoak)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// Frames go nowhere; the sink notes resident memory as the 100th arrives.
class MeasuringSink final : public lfhost::FrameSink {
 public:
  void Write(int64_t, const lfhost::MediaFrame&) override {
    if (++written_ == kEarly) early = lftest::ResidentBytes();
  }
  std::string NameFor(int64_t frameNumber) const override { return std::to_string(frameNumber); }
  int64_t early = 0;

 private:
  int written_ = 0;
};

void BM_SequenceSoak(benchmark::State& state) {
  for (auto _ : state) {
    lfhost::EffectInstance effect(Module(), Pool());
    effect.Start();
    const auto source = lfhost::OpenBuiltinSource(lfhost::FrameRange{1, kLate, {}}, 32, 18);
    MeasuringSink sink;
    lfhost::RenderJob job;
    job.source = source.get();
    job.sink = &sink;
    job.effect = &effect;
    const lfhost::RenderOutcome outcome = lfhost::RenderFrames(job);
    if (!outcome.ok() || outcome.framesWritten != kLate) state.SkipWithError("sequence failed");
    Report(state, sink.early, lftest::ResidentBytes());
  }
}
BENCHMARK(BM_SequenceSoak)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
