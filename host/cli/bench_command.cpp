// lensflare bench: renders one frame again and again through the host and
// prints, per lens, the median render time beside the memory floor measured in
// the same run (host/bench/bench.h says what the floor counts). With --sequence, also
// the throughput of whole image sequences against reading and writing alone.
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/bench/bench.h"
#include "host/cli/commands.h"
#include "host/cli/options.h"
#include "host/cli/run_command.h"
#include "host/core/control_values.h"
#include "host/core/effect_instance.h"
#include "host/core/host_error.h"

namespace lfcli {

namespace {

struct BenchOptions {
  std::optional<std::string> lens;         // as typed; read against the module's choices
  int32_t width = 1920;
  int32_t height = 1080;
  std::optional<std::string> brightness;   // as typed
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
      o.lens = reader.Value(arg);
    } else if (arg == "--size") {
      std::tie(o.width, o.height) = ParseSize(arg, reader.Value(arg));
    } else if (arg == "--brightness") {
      o.brightness = reader.Value(arg);
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

// The lens and brightness asked for, read and checked against the controls the
// module declares; a lens left out is every choice in turn, a brightness the
// declared default.
struct BenchControls {
  std::vector<int32_t> lenses;
  double brightness = 0;
};

BenchControls ReadBenchControls(const BenchOptions& o, const lfhost::EffectModule& module, lfhost::WorkerPool& pool) {
  lfhost::EffectInstance effect(module, pool);
  effect.Start();
  const lfhost::EffectControls& declared = effect.controls();
  const lfhost::ControlReader reader(declared);
  lfhost::AnimatedControls asked;
  if (o.lens) reader.Add(asked, lfhost::ControlId::Lens, "--lens " + *o.lens, std::nullopt, lfhost::ControlInput::Text(*o.lens));
  if (o.brightness) {
    reader.Add(asked, lfhost::ControlId::Brightness, "--brightness " + *o.brightness, std::nullopt,
               lfhost::ControlInput::Text(*o.brightness));
  }
  lfhost::CheckedControls(asked, declared, o.width, o.height);
  BenchControls c;
  c.brightness = asked.brightness.constant.value_or(declared.brightness.record.value.floatSlider.defaultValue);
  if (asked.lensType.constant) c.lenses = {*asked.lensType.constant};
  for (int32_t lens = 1; !asked.lensType.constant && lens <= declared.lensType.record.value.popup.numChoices; ++lens) {
    c.lenses.push_back(lens);
  }
  return c;
}

int Bench(const BenchOptions& o) {
  const auto module = lfhost::EffectModule::Load(ResolvePluginPath(o.plugin));
  lfhost::WorkerPool pool(o.threads);
  const BenchControls asked = ReadBenchControls(o, *module, pool);
  std::vector<int32_t> lenses = asked.lenses;
  // The sequence runs also weigh the 105mm prime against the zoom.
  if (o.sequenceFrames > 0 && lenses.size() == 1) lenses = {1, 3};
  std::map<int32_t, double> medianMs;
  for (const int32_t lens : lenses) {
    lfhost::BenchCase c;
    c.lens = lens;
    c.width = o.width;
    c.height = o.height;
    c.brightness = asked.brightness;
    c.repeat = o.repeat;
    const lfhost::BenchResult r = lfhost::RunBench(*module, pool, c);
    medianMs[lens] = r.renderMedianMs;
    std::printf("lens %d %dx%d b%g: render median %.2f ms, floor %.2f ms; full precision %.2f ms (%.2fx)\n", lens,
                o.width, o.height, asked.brightness, r.renderMedianMs, r.floorMs, r.fullMedianMs,
                r.fullMedianMs / r.renderMedianMs);
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
    c.lens = asked.lenses.front();
    c.brightness = asked.brightness;
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
}

}  // namespace

int RunBench(const std::vector<std::string>& args) {
  return RunCommand(args, ParseBenchOptions, kBenchHelp, Bench,
                    [](const BenchOptions& o) { return LensesHelp(o.plugin); });
}

}  // namespace lfcli
