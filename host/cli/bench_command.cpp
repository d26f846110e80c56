// lensflare bench: renders one frame again and again through the host and
// prints, per lens, the median render time beside the memory floor measured in
// the same run (host/bench.h says what the floor counts). With --sequence, also
// the throughput of whole image sequences against reading and writing alone.
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "host/cli/bench.h"
#include "host/cli/commands.h"
#include "host/cli/options.h"
#include "host/cli/run_command.h"
#include "host/core/effect_instance.h"
#include "host/core/host_error.h"

namespace lfcli {

const char* const kBenchHelp =
    "Usage: lensflare bench [OPTIONS]\n"
    "\n"
    "Renders the same frame again and again through the host, with no file I/O,\n"
    "and prints for each lens the median render time and the floor measured in\n"
    "the same run: (the frames of pixels the lens's stamps cover + 2) x one\n"
    "full-frame vectorised screen pass on the same threads, plus, for a lens with\n"
    "rays, the rand() draws of its ray stamp timed alone. The frame is opaque\n"
    "black with the flare centre at (625, 400) scaled from 1920x1080.\n"
    "\n"
    "Options:\n"
    "  --lens L                1, 2 or 3 (or zoom, 35mm, 105mm); default: every lens\n"
    "  --size WxH              frame size; default 1920x1080\n"
    "  --brightness B          flare brightness in percent, within the range the\n"
    "                          plug-in declares (lensflare info); default 100\n"
    "  --threads N             worker threads; default: one per processor\n"
    "  --repeat R              renders per lens (the median is printed); default 20\n"
    "  --detail                also print the coverage, screen pass and rand times\n"
    "  --sequence FRAMES       also time FRAMES-frame PNG and half-float EXR\n"
    "                          sequences of noisy plates (written to a temporary\n"
    "                          folder), rendered with the first lens asked for, at\n"
    "                          1 thread and at --threads, as many frames in flight\n"
    "                          as threads, against reading and writing the same\n"
    "                          files alone with the same parallelism (the faster of\n"
    "                          two runs each); and lens 3's frame time over lens 1's\n"
    "  --plugin PATH           the plug-in to load; default: beside this tool\n"
    "  -h, --help              show this help\n";

namespace {

struct BenchOptions {
  std::vector<int32_t> lenses;  // empty: every lens the plug-in declares
  int32_t width = 1920;
  int32_t height = 1080;
  double brightness = 100.0;
  int threads = 0;
  int repeat = 20;
  bool detail = false;
  int sequenceFrames = 0;   // 0: no sequence runs
  std::string plugin;
  bool help = false;
};

std::pair<int32_t, int32_t> ParseSize(const std::string& option, const std::string& text) {
  const size_t x = text.find('x');
  if (x == std::string::npos) throw UsageError(option + ": \"" + text + "\" is not WIDTHxHEIGHT");
  const int64_t w = ParseInteger(option, text.substr(0, x), 1, 32767);
  const int64_t h = ParseInteger(option, text.substr(x + 1), 1, 32767);
  return {static_cast<int32_t>(w), static_cast<int32_t>(h)};
}

BenchOptions ParseBenchOptions(const std::vector<std::string>& args) {
  BenchOptions o;
  ArgumentReader reader(args);
  while (!reader.Done()) {
    const std::string arg = reader.Next();
    if (arg == "-h" || arg == "--help") {
      o.help = true;
    } else if (arg == "--lens") {
      o.lenses = {ParseLens(arg, reader.Value(arg))};
    } else if (arg == "--size") {
      std::tie(o.width, o.height) = ParseSize(arg, reader.Value(arg));
    } else if (arg == "--brightness") {
      o.brightness = ParseNumber(arg, reader.Value(arg), true);
    } else if (arg == "--threads") {
      o.threads = static_cast<int>(ParseInteger(arg, reader.Value(arg), 1, 1024));
    } else if (arg == "--repeat") {
      o.repeat = static_cast<int>(ParseInteger(arg, reader.Value(arg), 1, 100000));
    } else if (arg == "--sequence") {
      o.sequenceFrames = static_cast<int>(ParseInteger(arg, reader.Value(arg), 1, 100000));
    } else if (arg == "--detail") {
      o.detail = true;
    } else if (arg == "--plugin") {
      o.plugin = reader.Value(arg);
    } else {
      throw UsageError("bench: unknown argument \"" + arg + "\" (try lensflare bench --help)");
    }
  }
  return o;
}

// The controls as the module declares them: the brightness range and the lenses.
lfhost::EffectControls DeclaredControls(const lfhost::EffectModule& module, lfhost::WorkerPool& pool) {
  lfhost::EffectInstance effect(module, pool);
  effect.Start();
  return effect.controls();
}

int Bench(const BenchOptions& o) {
  try {
    const auto module = lfhost::EffectModule::Load(ResolvePluginPath(o.plugin));
    lfhost::WorkerPool pool(o.threads);
    const lfhost::EffectControls controls = DeclaredControls(*module, pool);
    lfhost::ControlSettings asked;
    asked.brightness = o.brightness;
    if (const auto refusal = lfhost::ResolveParamValues(asked, controls, o.width, o.height).error) {
      PrintError("--brightness: " + refusal->paramName + " " + refusal->detail);
      return kExitUsage;
    }
    std::vector<int32_t> lenses = o.lenses;
    const int16_t declaredLenses = controls.lensType.record.value.popup.numChoices;
    for (int32_t n = 1; o.lenses.empty() && n <= declaredLenses; ++n) lenses.push_back(n);
    if (lenses.empty()) throw lfhost::HostError("the plug-in declares no lens to bench");
    const int32_t sequenceLens = lenses.front();
    // The sequence runs also weigh the 105mm prime against the zoom.
    if (o.sequenceFrames > 0 && lenses.size() == 1) lenses = {1, 3};
    std::map<int32_t, double> medianMs;
    for (const int32_t lens : lenses) {
      lfhost::BenchCase c;
      c.lens = lens;
      c.width = o.width;
      c.height = o.height;
      c.brightness = o.brightness;
      c.repeat = o.repeat;
      const lfhost::BenchResult r = lfhost::RunBench(*module, pool, c);
      medianMs[lens] = r.renderMedianMs;
      std::printf("lens %d %dx%d b%g: render median %.2f ms, floor %.2f ms\n", lens, o.width, o.height,
                  o.brightness, r.renderMedianMs, r.floorMs);
      if (o.detail) {
        std::printf(
            "  %d threads; %d profile stamps covering %.2f frames, %d ray stamps covering %.2f frames;"
            " screen pass %.2f ms, rand draws %.2f ms; render / floor %.2f\n",
            pool.size(), r.coverage.profileStamps, r.coverage.profileFrames, r.coverage.rayStamps,
            r.coverage.rayFrames, r.screenPassMs, r.randMs, r.renderMedianMs / r.floorMs);
      }
      std::fflush(stdout);
    }
    if (o.sequenceFrames > 0) {
      std::printf("lens 3 / lens 1: %.2f\n", medianMs[3] / medianMs[1]);
      lfhost::SequenceBenchCase c;
      c.width = o.width;
      c.height = o.height;
      c.frames = o.sequenceFrames;
      c.lens = sequenceLens;
      c.brightness = o.brightness;
      c.threads = pool.size() > 1 ? std::vector<int>{1, pool.size()} : std::vector<int>{1};
      std::fflush(stdout);
      lfhost::RunSequenceBench(*module, c, [&](const lfhost::SequenceBenchRow& row) {
        std::printf("sequence %s %d frames %dx%d lens %d, %d thread%s: %.2f frames/s rendered, %.2f read and written alone:"
                    " %.0f %%\n",
                    row.format.c_str(), row.frames, c.width, c.height, c.lens, row.threads, row.threads > 1 ? "s" : "",
                    row.RenderFps(), row.AloneFps(), 100.0 * row.Share());
        std::fflush(stdout);
      });
    }
    return kExitOk;
  } catch (const lfhost::HostError& e) {
    PrintError(e.what());
    return kExitFailed;
  }
}

}  // namespace

int RunBench(const std::vector<std::string>& args) { return RunCommand(args, ParseBenchOptions, kBenchHelp, Bench); }

}  // namespace lfcli
