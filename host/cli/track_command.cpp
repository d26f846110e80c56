// lensflare track: follows a light through a sequence or video and writes its
// centre on every frame as --keys JSON; and render's tracking options.
#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "host/cli/commands.h"
#include "host/cli/render_media.h"
#include "host/cli/run_command.h"
#include "host/cli/tracking.h"
#include "host/core/control_values.h"
#include "host/core/effect_instance.h"
#include "host/core/host_error.h"
#include "host/core/module_loader.h"
#include "host/core/worker_pool.h"
#include "host/media/files.h"
#include "host/track/center_track_file.h"
#include "host/track/shot_tracker.h"
#include "host/track/track_keys.h"

namespace lfcli {

namespace {

struct ParsedTrack {
  MediaRenderOptions input;   // input, output, --frames, --missing, --start-number, -q...
  std::optional<lfhost::CenterPoint> from;
  std::optional<int64_t> fromFrame;
  double search = 32;
  std::vector<std::string> brightness;   // --brightness values, read against the module
  bool help = false;
};

ParsedTrack ParseTrackOptions(const std::vector<std::string>& args) {
  ParsedTrack p;
  MediaRenderOptions& o = p.input;
  ArgumentReader reader(args);
  while (!reader.Done()) {
    const std::string arg = reader.Next();
    if (arg == "-h" || arg == "--help") {
      p.help = true;
    } else if (arg == "-o" || arg == "--output") {
      if (!o.output.empty()) throw UsageError("-o: given twice");
      o.output = reader.Value(arg);
    } else if (arg == "--from") {
      if (p.from) throw UsageError("--from: given twice");
      const std::string text = reader.Value(arg);
      const size_t at = text.find('@');
      p.from = lfhost::PointFromText(text.substr(0, at));
      if (!p.from) throw UsageError(arg + ": \"" + text.substr(0, at) + "\" " + lfhost::kNotAPoint);
      if (at != std::string::npos) p.fromFrame = ParseInteger(arg, text.substr(at + 1), 0, 999999999999999LL);
    } else if (arg == "--search") {
      p.search = ParseDecimal(arg, reader.Value(arg));
      if (p.search < 1 || p.search > 1000) throw UsageError("--search: must be 1 to 1000 pixels");
    } else if (arg == "--brightness") {
      p.brightness.push_back(reader.Value(arg));
    } else if (arg == "--frames") {
      o.frames = ParseFramesOption(arg, reader.Value(arg));
    } else if (arg == "--start-number") {
      o.startNumber = ParseInteger(arg, reader.Value(arg), 0, 999999999999999LL);
    } else if (arg == "--missing") {
      o.missing = ParseMissingOption(arg, reader.Value(arg));
    } else if (arg == "--allow-damaged") {
      o.allowDamaged = true;
    } else if (arg == "--quiet" || arg == "-q") {
      o.quiet = true;
    } else if (arg == "--plugin") {
      o.plugin = reader.Value(arg);
    } else if (arg == "--occlusion" || arg == "--edge-fade") {
      ParseTrackingArgument(arg, reader, o.tracking);
    } else if (arg.size() > 1 && arg[0] == '-') {
      throw UsageError("track: unknown option \"" + arg + "\" (try lensflare track --help)");
    } else if (o.input.empty()) {
      o.input = arg;
    } else {
      throw UsageError("track: more than one input (\"" + o.input + "\" and \"" + arg + "\")");
    }
  }
  if (p.help) return p;
  if (o.input.empty()) throw UsageError("track: no input given (an image sequence or a video)");
  if (o.output.empty()) throw UsageError("track: no output given (-o TRACK.json)");
  if (!p.from) throw UsageError("track: no light given (--from X,Y or X,Y@FRAME)");
  if (!p.brightness.empty() && !o.tracking.occlusion && !o.tracking.edgeFade) {
    throw UsageError("--brightness: sets what --occlusion or --edge-fade scale; give one of them");
  }
  if (std::filesystem::path(o.output).extension() != ".json") {
    throw UsageError("-o: " + o.output + ": the track is written as --keys JSON; name it .json");
  }
  if (lfhost::InputKindOf(o.input) == lfhost::MediaKind::Image) {
    throw UsageError("track: " + o.input + " is a single image; a light is tracked through a sequence or video");
  }
  return p;
}

// "34 to 39, 52 and 77": the frames of the runs of indices where the light was lost.
std::string LostRuns(const lftrack::ShotTrack& shot) {
  std::vector<std::string> runs;
  for (size_t a = 0; a < shot.seen.size(); ++a) {
    if (shot.seen[a]) continue;
    size_t b = a;
    while (b + 1 < shot.seen.size() && !shot.seen[b + 1]) ++b;
    runs.push_back(std::to_string(shot.frames[a]) + (b > a ? " to " + std::to_string(shot.frames[b]) : ""));
    a = b;
  }
  std::string text;
  for (size_t i = 0; i < runs.size(); ++i) text += (i == 0 ? "" : i + 1 == runs.size() ? " and " : ", ") + runs[i];
  return text;
}

// What --occlusion and --edge-fade scale: the --brightness values, read and
// checked against the plug-in's declared control, and the plug-in's default
// where they set none.
struct BrightnessToScale {
  lfhost::AnimatedControls typed;
  double fallback = 0;
};

BrightnessToScale ReadBrightness(const ParsedTrack& p, int32_t width, int32_t height) {
  const auto module = lfhost::EffectModule::Load(ResolvePluginPath(p.input.plugin));
  lfhost::WorkerPool pool(1);
  lfhost::EffectInstance effect(*module, pool);
  effect.Start();
  BrightnessToScale b;
  const lfhost::ControlReader reader(effect.controls());
  for (const std::string& text : p.brightness) AddControlOption(b.typed, reader, "--brightness", text);
  lfhost::CheckedControls(b.typed, effect.controls(), width, height);
  b.fallback = effect.DefaultValues(width, height).brightness;
  return b;
}

int Track(const ParsedTrack& p) {
  const MediaRenderOptions& o = p.input;
  lfhost::CancelToken& cancel = StopToken();
  lfhost::SetDamagedInputPolicy({o.allowDamaged, [](const std::string& what) { PrintError("warning: " + what); }});
  const std::unique_ptr<lfhost::FrameSource> source = OpenInput(o);
  lfhost::OutputFolders folders(o.output);
  lfhost::CheckOutputFolder(o.output);
  const int32_t width = source->width(), height = source->height();
  const int64_t first = source->frameNumber(0), last = source->frameNumber(source->frameCount() - 1);
  const int64_t startFrame = p.fromFrame.value_or(first);
  bool listed = false;
  for (int64_t i = 0; i < source->frameCount() && !listed; ++i) listed = source->frameNumber(i) == startFrame;
  if (!listed) {
    throw UsageError("--from: frame " + std::to_string(startFrame) + " is not among the frames read (" +
                     std::to_string(first) + " to " + std::to_string(last) + ")");
  }
  const auto [x, y] = *p.from;
  const lftrack::Point from{x.percent ? x.value / 100 * width : x.value, y.percent ? y.value / 100 * height : y.value};
  const TrackingOptions& t = o.tracking;
  const bool scaled = t.occlusion || t.edgeFade;
  const BrightnessToScale brightness = scaled ? ReadBrightness(p, width, height) : BrightnessToScale{};

  lfhost::ProgressDisplay progress(PassProgressMode(o.quiet), source->frameCount(), stderr);
  const auto shot =
      lftrack::TrackShot(*source, {from, startFrame, p.search, t.occlusion, &cancel, &progress});
  progress.Finish();
  if (!shot) {
    PrintError("track cancelled; " + o.output + " not written");
    return CancelledStatus();
  }
  lfhost::AnimatedControls keys;
  keys.center = lftrack::CenterKeys(shot->frames, shot->centres);
  if (t.occlusion && !shot->visibility) {
    PrintError("warning: --occlusion: no light stands out at the tracked centre; the brightness is left as set");
  }
  if (scaled) {
    keys.brightness = lftrack::ScaledBrightness(brightness.typed, brightness.fallback, shot->frames, shot->centres,
                                                {shot->visibility ? &*shot->visibility : nullptr, t.edgeFade, width, height});
  }
  const std::string json = lftrack::KeysJson(keys);
  lfhost::WriteFileWhole(o.output, json.data(), json.size());

  if (const auto lost = std::count(shot->seen.begin(), shot->seen.end(), false)) {
    PrintError("lost the light on " + std::string(lost == 1 ? "frame " : "frames ") + LostRuns(*shot) +
               "; the centre there is predicted");
  }
  if (!o.quiet) {
    PrintError("tracked " + std::to_string(shot->frames.size()) + " frames (" + std::to_string(first) + " to " +
               std::to_string(last) + ") into " + o.output);
  }
  return kExitOk;
}

}  // namespace

bool ParseTrackingArgument(const std::string& arg, ArgumentReader& reader, TrackingOptions& o) {
  auto once = [&](bool given) {
    if (given) throw UsageError(arg + ": given twice");
  };
  if (arg == "--center-track") {
    once(o.centerTrack.has_value());
    o.centerTrack = reader.Value(arg);
  } else if (arg == "--track-y-up") {
    o.yUp = true;
  } else if (arg == "--track-frame-offset") {
    once(o.frameOffset.has_value());
    o.frameOffset = ParseInteger(arg, reader.Value(arg), -999999999999999LL, 999999999999999LL);
  } else if (arg == "--occlusion") {
    o.occlusion = true;
  } else if (arg == "--edge-fade") {
    once(o.edgeFade.has_value());
    o.edgeFade = ParseDecimal(arg, reader.Value(arg));
    if (*o.edgeFade <= 0) throw UsageError(arg + ": the distance must be more than 0 pixels");
  } else {
    return false;
  }
  return true;
}

void AddCenterTrack(const TrackingOptions& o, lfhost::AnimatedControls& typed) {
  if (!o.centerTrack) {
    if (o.yUp) throw UsageError("--track-y-up: goes with --center-track");
    if (o.frameOffset) throw UsageError("--track-frame-offset: goes with --center-track");
    return;
  }
  if (!typed.center.empty()) throw UsageError("--center-track: the centre is given by --center already");
  typed.centerTrack = lfhost::CenterTrackFile{*o.centerTrack, o.yUp, o.frameOffset.value_or(0)};
}

lfhost::ProgressMode PassProgressMode(bool quiet) {
  const lfhost::ProgressMode mode = lfhost::ChooseProgressMode(quiet, 2);
  return mode == lfhost::ProgressMode::Terminal ? mode : lfhost::ProgressMode::Quiet;
}

bool ApplyTracking(const TrackingOptions& o, const std::function<std::unique_ptr<lfhost::FrameSource>()>& openShot,
                   const lfhost::ParamValues& defaults, int32_t width, int32_t height, bool quiet,
                   lfhost::CancelToken& cancel, lfhost::AnimatedControls& controls) {
  if (controls.centerTrack) {
    controls.center = lftrack::LoadCenterTrack(*controls.centerTrack, height);
    controls.centerTrack.reset();
  }
  if (!o.occlusion && !o.edgeFade) return true;
  const std::unique_ptr<lfhost::FrameSource> shot = openShot();
  constexpr int64_t kMostFrames = 1000000;
  if (shot->frameCount() > kMostFrames) {
    throw UsageError(std::string(o.occlusion ? "--occlusion" : "--edge-fade") + ": more than " +
                     std::to_string(kMostFrames) + " frames to give keys to");
  }
  std::vector<int64_t> frames;
  std::vector<lftrack::Point> centres;
  for (int64_t i = 0; i < shot->frameCount(); ++i) {
    frames.push_back(shot->frameNumber(i));
    centres.push_back(lftrack::CenterAt(controls, defaults, frames.back(), width, height));
  }
  std::optional<std::vector<double>> visibility;
  if (o.occlusion) {
    lfhost::ProgressDisplay progress(PassProgressMode(quiet), shot->frameCount(), stderr);
    lftrack::VisibilityPass pass = lftrack::MeasureVisibility(*shot, centres, &cancel, &progress);
    progress.Finish();
    if (pass.cancelled) return false;
    if (!pass.visibility) {
      PrintError("warning: --occlusion: no light stands out at the flare's centre on any frame; the brightness is left as set");
    }
    visibility = std::move(pass.visibility);
  }
  const std::string origin = controls.brightness.origin;
  controls.brightness = lftrack::ScaledBrightness(controls, defaults.brightness, frames, centres,
                                                  {visibility ? &*visibility : nullptr, o.edgeFade, width, height});
  // A brightness out of range is named by where it was set.
  controls.brightness.origin = origin.empty() ? "the brightness --occlusion or --edge-fade scales" : origin;
  return true;
}

int RunTrack(const std::vector<std::string>& args) { return RunCommand(args, ParseTrackOptions, kTrackHelp, Track); }

}  // namespace lfcli
