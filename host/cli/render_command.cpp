// lensflare render: reads the options, then hands the work to the media render
// flow (one image, a sequence, a video or the built-in frame).
#include <cstdio>
#include <filesystem>
#include <set>

#include "host/cli/commands.h"
#include "host/cli/options.h"
#include "host/cli/render_media.h"
#include "host/cli/run_command.h"

namespace lfcli {
namespace {

// "8", "16", "half", "float": an image output's samples.
OIIO::TypeDesc ParseDepth(const std::string& option, const std::string& text) {
  if (text == "8") return OIIO::TypeDesc::UINT8;
  if (text == "16") return OIIO::TypeDesc::UINT16;
  if (text == "half") return OIIO::TypeDesc::HALF;
  if (text == "float") return OIIO::TypeDesc::FLOAT;
  throw UsageError(option + ": \"" + text + "\" is not 8, 16, half or float");
}

struct ParsedRender {
  MediaRenderOptions options;
  bool help = false;
};

ParsedRender ParseRenderOptions(const std::vector<std::string>& args) {
  ParsedRender p;
  MediaRenderOptions& o = p.options;
  ArgumentReader reader(args);
  std::set<std::string> given;
  while (!reader.Done()) {
    const std::string arg = reader.Next();
    // Options that take one value are refused twice, as repeated keyframes are,
    // rather than the last one silently winning.
    const std::string name = arg == "--output" ? "-o" : arg;
    static const std::set<std::string> kOnce = {"-o",          "--keys",       "--frames", "--fps",  "--size", "--depth",
                                                "--composite", "--colorspace", "--part",   "--pass", "--pass-output",
                                                "--flare-precision"};
    if (kOnce.count(name) && !given.insert(name).second) {
      throw UsageError(arg + ": given twice");
    }
    if (arg == "-h" || arg == "--help") {
      p.help = true;
    } else if (arg == "-o" || arg == "--output") {
      o.output = reader.Value(arg);
    } else if (arg == "--lens" || arg == "--brightness" || arg == "--center" || arg == "--blend" || arg == "--exposure") {
      o.controlOptions.emplace_back(arg, reader.Value(arg));
    } else if (arg == "--keys") {
      o.keysFile = reader.Value(arg);
    } else if (arg == "--frames") {
      o.frames = ParseFramesOption(arg, reader.Value(arg));
    } else if (arg == "--start-number") {
      o.startNumber = ParseInteger(arg, reader.Value(arg), 0, 999999999999999LL);
    } else if (arg == "--skip-existing") {
      o.skipExisting = true;
    } else if (arg == "--in-place") {
      o.inPlace = true;
    } else if (arg == "--chunk") {
      o.chunk = ParseFrameChunk(arg, reader.Value(arg));
    } else if (arg == "--frames-in-flight") {
      o.framesInFlight = static_cast<int>(ParseInteger(arg, reader.Value(arg), 1, 1024));
    } else if (arg == "--fps") {
      const std::string text = reader.Value(arg);
      o.fps = lfhost::ParseFrameRate(text);
      if (!o.fps) throw UsageError(arg + ": \"" + text + "\" is not a frame rate (24, 29.97 or 30000/1001)");
      if (!lfhost::IsWritableFrameRate(*o.fps)) {
        throw UsageError(arg + ": " + text + " is outside " + lfhost::kSlowestVideoRate.text() + " (a frame a minute) to " +
                         std::to_string(lfhost::kFastestVideoRate.num) + " frames a second");
      }
    } else if (arg == "--missing") {
      o.missing = ParseMissingOption(arg, reader.Value(arg));
    } else if (arg == "--codec") {
      o.video.codec = reader.Value(arg);
    } else if (arg == "--quality") {
      o.video.quality = reader.Value(arg);
    } else if (arg == "--pix-fmt") {
      o.video.pixelFormat = reader.Value(arg);
    } else if (arg == "--size") {
      o.size = ParseFrameSize(arg, reader.Value(arg));
    } else if (arg == "--depth") {
      o.depth = ParseDepth(arg, reader.Value(arg));
    } else if (arg == "--composite") {
      const std::string text = reader.Value(arg);
      o.composite = lfhost::ParseCompositeMode(text);
      if (!o.composite) throw UsageError(arg + ": \"" + text + "\" is not screen or add");
    } else if (arg == "--flare-precision") {
      const std::string text = reader.Value(arg);
      o.flarePrecision = lfhost::ParseFlarePrecision(text);
      if (!o.flarePrecision) throw UsageError(arg + ": \"" + text + "\" is not exact or full");
    } else if (arg == "--colorspace" || arg == "--part" || arg == "--pass-output") {
      std::string& value = arg == "--colorspace" ? o.colorspace : arg == "--part" ? o.part : o.passOutput;
      value = reader.Value(arg);
      if (value.empty()) throw UsageError(arg + ": needs a name");
    } else if (arg == "--pass") {
      const std::string text = reader.Value(arg);
      if (text != "flare" && text != "both") throw UsageError(arg + ": \"" + text + "\" is not flare or both");
      o.pass = text == "flare" ? lfhost::PassOutput::Flare : lfhost::PassOutput::Both;
    } else if (arg == "--quiet" || arg == "-q") {
      o.quiet = true;
    } else if (arg == "--allow-damaged") {
      o.allowDamaged = true;
    } else if (arg == "--validate") {
      o.validate = true;
    } else if (!ParseTrackingArgument(arg, reader, o.tracking)) {
      ParseSharedArgument("render", arg, reader, o);
    }
  }
  if (p.help) return p;
  if (o.output.empty()) throw UsageError("render: no output given (-o OUTPUT)");
  return p;
}

}  // namespace

int RunRender(const std::vector<std::string>& args) {
  return RunCommand(
      args, ParseRenderOptions, kRenderHelp, [](const ParsedRender& parsed) { return RunMediaRender(parsed.options); },
      [](const ParsedRender& parsed) { return LensesHelp(parsed.options.plugin); });
}

}  // namespace lfcli
