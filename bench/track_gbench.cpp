// Tracking a light through a 1920x1080 clip of 100 frames against rendering
// the flare onto the same clip: following the light should cost less than the
// render it feeds. Both read the same generated frames (tests/host/track/light_clip.h:
// a bright light looping over a textured, grainy background with motion blur; making
// a frame is a copy of a background and a small stamp), so BM_ReadClip, reading
// alone, is what both include; BM_TrackStep is the tracker's own cost on one
// frame. Figures in bench/README.md.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>

#include "host/core/effect_instance.h"
#include "host/core/module_loader.h"
#include "host/core/worker_pool.h"
#include "host/media/sequence_renderer.h"
#include "host/track/shot_tracker.h"
#include "host/track/track_keys.h"
#include "tests/host/track/light_clip.h"

namespace {

using lftrack::Point;

const lftest::LightClip& Clip() {
  static const lftest::LightClip clip = [] {
    lftest::LightClip c;
    c.width = 1920;
    c.height = 1080;
    c.frames = 100;
    // Up to 25 pixels a frame; a real light is far brighter than the sensor
    // holds, so its streak stays clipped.
    c.path = [](double t) { return Point{960 + 600 * std::sin(0.03 * t), 540 + 300 * std::sin(0.06 * t + 0.5)}; };
    c.gain = 1500;
    c.shutter = 0.5;
    c.Frame(0);   // the backgrounds, made once
    return c;
  }();
  return clip;
}

// Frames rendered are counted and dropped.
class DiscardSink final : public lfhost::FrameSink {
 public:
  void Write(int64_t, const lfhost::MediaFrame&) override {}
  bool writesFramesAtOnce() const override { return true; }
  std::string NameFor(int64_t) const override { return "-"; }
};

void BM_ReadClip(benchmark::State& state) {
  Clip();
  for (auto _ : state) {
    lftest::LightClipSource source(Clip());
    for (int i = 0; i < Clip().frames; ++i) benchmark::DoNotOptimize(source.ReadNext());
  }
  state.SetItemsProcessed(state.iterations() * Clip().frames);
}

// Arg: 1 also measures occlusion.
void BM_TrackClip(benchmark::State& state) {
  const Point start = Clip().path(0);
  for (auto _ : state) {
    lftest::LightClipSource source(Clip());
    const auto shot = lftrack::TrackShot(source, {{start.x + 2, start.y - 1}, 0, 32, state.range(0) == 1});
    if (!shot || std::count(shot->seen.begin(), shot->seen.end(), false) > 0) state.SkipWithError("the light was lost");
  }
  state.SetItemsProcessed(state.iterations() * Clip().frames);
}

// One step of the tracker on a 1920x1080 frame, the light where it was: the
// tracker's own cost per frame, without making or reading the frame.
void BM_TrackStep(benchmark::State& state) {
  const lfhost::ImageBuffer frame = Clip().Frame(0);
  const lftrack::LumaFrame luma = lftrack::LumaFrame::View(frame);
  auto tracker = lftrack::LightTracker::Start(luma, Clip().path(0), 32);
  if (!tracker) return state.SkipWithError("no light");
  for (auto _ : state) benchmark::DoNotOptimize(tracker->Step(luma));
}

// Arg: the lens, at 100 % brightness, the centre on the light; as the tool
// renders a sequence (frames in flight, one per processor).
void BM_RenderClip(benchmark::State& state) {
  const auto module = lfhost::EffectModule::Load(lfhost::FindDefaultModule(lfhost::ExecutableDir()));
  lfhost::WorkerPool pool;
  lfhost::EffectInstance effect(*module, pool);
  effect.Start();
  std::vector<int64_t> frames;
  std::vector<Point> centres;
  for (int n = 0; n < Clip().frames; ++n) {
    frames.push_back(n);
    centres.push_back(Clip().path(n));
  }
  lfhost::AnimatedControls controls;
  controls.center = lftrack::CenterKeys(frames, centres);
  controls.lensType.constant = static_cast<int32_t>(state.range(0));
  const lfhost::CheckedControls checked(controls, effect.controls(), Clip().width, Clip().height);
  lfhost::RenderJob job;
  job.effect = &effect;
  job.controls = &checked;
  for (auto _ : state) {
    lftest::LightClipSource source(Clip());
    DiscardSink sink;
    job.source = &source;
    job.sink = &sink;
    if (!lfhost::RenderFrames(job).ok()) state.SkipWithError("the render failed");
  }
  state.SetItemsProcessed(state.iterations() * Clip().frames);
}

BENCHMARK(BM_ReadClip)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TrackStep)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TrackClip)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RenderClip)->Arg(1)->Arg(2)->Arg(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
