// lensflare render: one image (or the built-in frame) through the effect.
#include <cstdio>
#include <filesystem>
#include <optional>

#include "host/builtin_frame.h"
#include "host/cancel_token.h"
#include "host/cli/commands.h"
#include "host/cli/options.h"
#include "host/effect_instance.h"
#include "host/host_error.h"
#include "host/image_io.h"

namespace lfcli {
namespace {

struct RenderOptions {
  std::string input;
  std::string output;
  std::string plugin;
  lfhost::ControlSettings controls;
  std::string centerText, brightnessText, blendText;   // as typed, for messages
  int32_t pixelAspectNum = 1;
  uint32_t pixelAspectDen = 1;
  uint32_t seed = 0;
  int threads = 0;
  bool help = false;
};

RenderOptions ParseRenderOptions(const std::vector<std::string>& args) {
  RenderOptions o;
  ArgumentReader reader(args);
  while (!reader.Done()) {
    const std::string arg = reader.Next();
    if (arg == "-h" || arg == "--help") {
      o.help = true;
    } else if (arg == "-o" || arg == "--output") {
      o.output = reader.Value(arg);
    } else if (arg == "--lens") {
      o.controls.lensType = ParseLens(arg, reader.Value(arg));
    } else if (arg == "--brightness") {
      o.brightnessText = reader.Value(arg);
      o.controls.brightness = ParseNumber(arg, o.brightnessText, true);
    } else if (arg == "--center") {
      o.centerText = reader.Value(arg);
      const auto [x, y] = ParseCenter(arg, o.centerText);
      o.controls.centerX = x;
      o.controls.centerY = y;
    } else if (arg == "--blend") {
      o.blendText = reader.Value(arg);
      o.controls.blendPercent = ParseNumber(arg, o.blendText, true);
    } else if (arg == "--par") {
      std::tie(o.pixelAspectNum, o.pixelAspectDen) = ParsePixelAspect(arg, reader.Value(arg));
    } else if (arg == "--seed") {
      o.seed = static_cast<uint32_t>(ParseInteger(arg, reader.Value(arg), 0, 4294967295LL));
    } else if (arg == "--threads") {
      o.threads = static_cast<int>(ParseInteger(arg, reader.Value(arg), 1, 1024));
    } else if (arg == "--plugin") {
      o.plugin = reader.Value(arg);
    } else if (arg.size() > 1 && arg[0] == '-') {
      throw UsageError("render: unknown option \"" + arg + "\" (try lensflare render --help)");
    } else if (o.input.empty()) {
      o.input = arg;
    } else {
      throw UsageError("render: more than one input (\"" + o.input + "\" and \"" + arg + "\")");
    }
  }
  if (o.help) return o;
  if (o.output.empty()) throw UsageError("render: no output given (-o OUTPUT)");
  const std::filesystem::path out(o.output);
  if (!lfhost::IsWritableImageExtension(out.extension().string())) {
    throw UsageError("-o: " + o.output + ": unknown output format (use .png, .jpg, .tif, .exr or .dpx)");
  }
  std::error_code ec;
  const std::filesystem::path folder = out.has_parent_path() ? out.parent_path() : std::filesystem::path(".");
  if (!std::filesystem::is_directory(folder, ec)) {
    throw UsageError("-o: " + o.output + ": the folder " + folder.string() + " does not exist");
  }
  return o;
}

// The option a user typed for each control, by its position among the four.
std::string OptionForParam(int paramIndex, const RenderOptions& o) {
  switch (paramIndex) {
    case 1: return "--center " + o.centerText;
    case 2: return "--brightness " + o.brightnessText;
    case 3: return "--lens";
    case 4: return "--blend " + o.blendText;
    default: return "option";
  }
}

}  // namespace

int RunRender(const std::vector<std::string>& args) {
  RenderOptions o;
  try {
    o = ParseRenderOptions(args);
  } catch (const UsageError& e) {
    PrintError(e.what());
    return kExitUsage;
  }
  if (o.help) {
    std::fputs(kRenderHelp, stdout);
    return kExitOk;
  }
  // Ctrl-C from here on stops cleanly: the render answers 517 at its next
  // poll and nothing is written.
  static lfhost::CancelToken cancel;
  lfhost::CancelOnInterrupt(cancel);
  const auto cancelled = [&] {
    PrintError("render cancelled; " + o.output + " not written");
    return kExitCancelled;
  };
  try {
    lfhost::ImageBuffer input = o.input.empty() ? lfhost::MakeDarkFrame() : lfhost::ReadImage(o.input);
    const auto module = lfhost::EffectModule::Load(ResolvePluginPath(o.plugin));
    lfhost::WorkerPool pool(o.threads);
    lfhost::EffectInstance effect(*module, pool, &cancel);
    effect.Start();

    const lfhost::ResolvedParams resolved =
        lfhost::ResolveParamValues(o.controls, effect.controls(), input.width(), input.height());
    if (resolved.error) {
      PrintError(OptionForParam(resolved.error->paramIndex, o) + ": " + resolved.error->paramName + " " +
                 resolved.error->detail);
      return kExitUsage;
    }
    lfhost::ImageBuffer output = input.Clone();
    lfhost::FrameSettings frame;
    frame.seed = o.seed;
    frame.pixelAspectNum = o.pixelAspectNum;
    frame.pixelAspectDen = o.pixelAspectDen;
    const lfhost::CommandResult result = effect.Render(input, output, resolved.values, frame);
    if (result.code == kErrCancelled || cancel.requested()) return cancelled();
    if (!result.ok()) {
      PrintError("render failed: " + lfhost::DescribeResult(result) + "; " + o.output + " not written");
      return kExitFailed;
    }
    lfhost::WriteImage(output, o.output);
    for (const std::string& v : effect.Shutdown()) PrintError("warning: plug-in protocol fault: " + v);
    return kExitOk;
  } catch (const lfhost::HostError& e) {
    PrintError(e.what());
    return kExitFailed;
  }
}

}  // namespace lfcli
