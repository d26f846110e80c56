// lensflare render: reads the options, then hands the work to the media render
// flow (one image, a sequence, a video or the built-in frame).
#include <cstdio>
#include <filesystem>

#include "host/cli/commands.h"
#include "host/cli/options.h"
#include "host/cli/run_command.h"
#include "host/cli/render_media.h"
#include "host/host_error.h"
#include "host/keyframes.h"

namespace lfcli {
namespace {

struct ParsedRender {
  MediaRenderOptions options;
  std::string keysFile;
  bool help = false;
};

ParsedRender ParseRenderOptions(const std::vector<std::string>& args) {
  ParsedRender p;
  MediaRenderOptions& o = p.options;
  lfhost::AnimatedControls typed;
  ArgumentReader reader(args);
  while (!reader.Done()) {
    const std::string arg = reader.Next();
    if (arg == "-h" || arg == "--help") {
      p.help = true;
    } else if (arg == "-o" || arg == "--output") {
      o.output = reader.Value(arg);
    } else if (arg == "--lens" || arg == "--brightness" || arg == "--center" || arg == "--blend") {
      AddControlOption(typed, arg, reader.Value(arg));
    } else if (arg == "--keys") {
      p.keysFile = reader.Value(arg);
    } else if (arg == "--frames") {
      const std::string text = reader.Value(arg);
      o.frames = lfhost::ParseFrameRange(text);
      if (!o.frames) throw UsageError(arg + ": \"" + text + "\" is not a frame range (A-B with A <= B, or one frame)");
    } else if (arg == "--fps") {
      const std::string text = reader.Value(arg);
      o.fps = lfhost::ParseFrameRate(text);
      if (!o.fps) throw UsageError(arg + ": \"" + text + "\" is not a frame rate (24, 29.97 or 30000/1001)");
    } else if (arg == "--size") {
      o.size = ParseFrameSize(arg, reader.Value(arg));
    } else if (arg == "--quiet" || arg == "-q") {
      o.quiet = true;
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
  if (p.help) return p;
  if (o.output.empty()) throw UsageError("render: no output given (-o OUTPUT)");
  std::error_code ec;
  const std::filesystem::path out(o.output);
  const std::filesystem::path folder = out.has_parent_path() ? out.parent_path() : std::filesystem::path(".");
  if (!std::filesystem::is_directory(folder, ec)) {
    throw UsageError("-o: " + o.output + ": the folder " + folder.string() + " does not exist");
  }
  // Controls typed on the command line replace the same controls' keys in the file.
  if (!p.keysFile.empty()) {
    try {
      o.controls = lfhost::LoadKeyframeFile(p.keysFile);
    } catch (const lfhost::HostError& e) {
      throw UsageError(e.what());
    }
  }
  o.controls.OverrideWith(typed);
  return p;
}

}  // namespace

int RunRender(const std::vector<std::string>& args) {
  return RunCommand(args, ParseRenderOptions, kRenderHelp,
                    [](const ParsedRender& parsed) { return RunMediaRender(parsed.options); });
}

}  // namespace lfcli
