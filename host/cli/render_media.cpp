#include "host/cli/render_media.h"

#include <cstdio>
#include <filesystem>
#include <memory>

#include "host/cancel_token.h"
#include "host/cli/commands.h"
#include "host/cli/options.h"
#include "host/effect_instance.h"
#include "host/host_error.h"
#include "host/image_io.h"
#include "host/progress_display.h"
#include "host/sequence_renderer.h"

namespace lfcli {
namespace {

namespace fs = std::filesystem;
using lfhost::MediaKind;

std::string Extension(const std::string& path) { return fs::path(path).extension().string(); }

// Messages from image and video libraries may span lines; the tool's error is
// one line, so line breaks become "; ".
std::string OneLine(const std::string& text) {
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n' && text[i] != '\r') {
      line += text[i];
    } else if (i + 1 < text.size() && text[i + 1] != '\n' && text[i + 1] != ')') {
      line += "; ";
    }
  }
  return line;
}

// True when two names (files or sequence patterns) name the same files.
bool SameFiles(const std::string& a, const std::string& b) {
  auto canonical = [](const std::string& path) {
    std::error_code ec;
    const fs::path c = fs::weakly_canonical(path, ec);
    return ec ? fs::path(path) : c;
  };
  const auto pa = lfhost::SequencePattern::Parse(a);
  const auto pb = lfhost::SequencePattern::Parse(b);
  if (pa && pb) {
    // Two patterns that spell a short and a long frame number alike are one.
    return canonical(pa->PathFor(7)) == canonical(pb->PathFor(7)) &&
           canonical(pa->PathFor(1234567)) == canonical(pb->PathFor(1234567));
  }
  return !pa && !pb && canonical(a) == canonical(b);
}

// A mistake in how the input and output go together, found before any work.
void CheckPairing(const MediaRenderOptions& o) {
  const bool builtin = o.input.empty();
  const MediaKind in = builtin ? MediaKind::Image : lfhost::MediaKindOf(o.input);
  const MediaKind out = lfhost::MediaKindOf(o.output);
  if (out == MediaKind::Video && !lfhost::IsWritableVideoExtension(Extension(o.output))) {
    throw UsageError("-o: " + o.output + ": cannot write " + Extension(o.output) +
                     " video (use .mp4, .m4v, .mov, .mkv or .webm)");
  }
  if (out != MediaKind::Video && !lfhost::IsWritableImageExtension(Extension(o.output))) {
    throw UsageError("-o: " + o.output +
                     ": unknown output format (use .png, .jpg, .tif, .exr or .dpx, a sequence such as "
                     "name.%04d.png, or a video .mp4, .mov, .mkv or .webm)");
  }
  if (!builtin && in == MediaKind::Image && o.frames) {
    throw UsageError("--frames: " + o.input + " is a single image, not a sequence or video");
  }
  if (!builtin && o.size) throw UsageError("--size: sets the built-in frame's size, not usable with an input");
  const bool manyFrames = in != MediaKind::Image || (builtin && o.frames);
  if (manyFrames && out == MediaKind::Image) {
    throw UsageError("-o: " + o.output +
                     " is a single image; write the frames as a sequence (name.%04d.png) or a video (.mp4, .mov, .mkv, .webm)");
  }
  if (!manyFrames && out != MediaKind::Image) {
    throw UsageError(builtin ? "-o: " + o.output + ": give --frames A-B to render the built-in frame as a sequence or video"
                             : "-o: " + o.output + ": a sequence or video output needs a sequence or video input");
  }
  if (o.chunk && out != MediaKind::Sequence) {
    throw UsageError("--chunk: " + o.output +
                     (out == MediaKind::Video ? " is a video, which cannot be written in pieces; render the parts to an image sequence"
                                              : " is a single image; parts need a sequence output (name.%04d.png)"));
  }
  if (o.fps && out != MediaKind::Video) throw UsageError("--fps: only a video output has a frame rate");
  if (!builtin && in != MediaKind::Image && SameFiles(o.input, o.output)) {
    // A single image may be rendered in place: it is read whole before the new
    // one is renamed over it. A sequence or video is refused, so a run stopped
    // halfway cannot leave footage half old and half new.
    throw UsageError("-o: " + o.output + " would overwrite the input");
  }
}

std::unique_ptr<lfhost::FrameSource> OpenSource(const MediaRenderOptions& o) {
  if (o.input.empty()) {
    const auto [w, h] = o.size.value_or(std::pair<int32_t, int32_t>{1920, 1080});
    return lfhost::OpenBuiltinSource(o.frames.value_or(lfhost::FrameRange{0, 0}), w, h);
  }
  switch (lfhost::MediaKindOf(o.input)) {
    case MediaKind::Sequence: return lfhost::OpenSequenceSource(o.input, o.frames);
    case MediaKind::Video: return lfhost::OpenVideoSource(o.input, o.frames);
    case MediaKind::Image: break;
  }
  return lfhost::OpenImageSource(o.input);
}

std::unique_ptr<lfhost::FrameSink> OpenSink(const MediaRenderOptions& o, const lfhost::FrameSource& source) {
  switch (lfhost::MediaKindOf(o.output)) {
    case MediaKind::Sequence: return lfhost::OpenSequenceSink(o.output);
    case MediaKind::Video: {
      // A video keeps its input's rate; a sequence or the built-in frame is 24
      // frames a second unless --fps says otherwise.
      const lfhost::FrameRate rate = o.fps.value_or(source.frameRate().value_or(lfhost::FrameRate{24, 1}));
      return lfhost::OpenVideoSink(o.output, source.width(), source.height(), rate, source.audio());
    }
    case MediaKind::Image: break;
  }
  return lfhost::OpenImageSink(o.output);
}

// What is left in the output after a stop, for the closing message.
std::string WhatRemains(const lfhost::RenderOutcome& r, const lfhost::FrameSink& sink, const std::string& output) {
  if (sink.keepsNothingOnAbandon() || r.framesTotal == 1 || r.framesWritten == 0) return output + " not written";
  const std::string first = sink.NameFor(*r.firstWritten);
  const std::string last = sink.NameFor(*r.lastWritten);
  return std::to_string(r.framesWritten) + " of " + std::to_string(r.framesTotal) + " frames finished and complete (" +
         (first == last ? first : first + " to " + last) + ")";
}

}  // namespace

void AddControlOption(lfhost::AnimatedControls& controls, const std::string& option, const std::string& text) {
  try {
    const lfhost::KeyedText keyed = lfhost::SplitKeyedText(option, text);
    // A value for every frame is named as typed in later messages ("--brightness
    // 350: ..."), keyframes by their option (and frame, where one is named).
    auto add = [&](auto& track, const auto& value) {
      track.origin = option;
      lfhost::AddTrackValue(track, keyed.frame, value);
      if (!keyed.frame) track.origin = option + " " + text;
    };
    if (option == "--center") {
      const auto [x, y] = ParseCenter(option, keyed.value);
      add(controls.center, lfhost::CenterPoint{x, y});
    } else if (option == "--brightness") {
      add(controls.brightness, ParseNumber(option, keyed.value, true));
    } else if (option == "--lens") {
      add(controls.lensType, ParseLens(option, keyed.value));
    } else if (option == "--blend") {
      add(controls.blend, ParseNumber(option, keyed.value, true));
    } else {
      throw UsageError(option + ": not a control");
    }
  } catch (const lfhost::HostError& e) {
    throw UsageError(e.what());
  }
}

std::pair<int32_t, int32_t> ParseFrameSize(const std::string& option, const std::string& text) {
  const size_t x = text.find('x');
  if (x == std::string::npos) throw UsageError(option + ": \"" + text + "\" is not WxH (for example 1920x1080)");
  return {static_cast<int32_t>(ParseInteger(option, text.substr(0, x), 1, lfhost::kMaxFrameSide)),
          static_cast<int32_t>(ParseInteger(option, text.substr(x + 1), 1, lfhost::kMaxFrameSide))};
}

lfhost::FrameChunk ParseFrameChunk(const std::string& option, const std::string& text) {
  const size_t slash = text.find('/');
  if (slash == std::string::npos) throw UsageError(option + ": \"" + text + "\" is not I/N (part I of N, from 0)");
  const int64_t parts = ParseInteger(option, text.substr(slash + 1), 1, 1 << 30);
  const int64_t index = ParseInteger(option, text.substr(0, slash), 0, 1 << 30);
  if (index >= parts) {
    throw UsageError(option + ": " + text + ": there is no part " + std::to_string(index) + " of " + std::to_string(parts) +
                     " (parts count from 0 to " + std::to_string(parts - 1) + ")");
  }
  return {index, parts};
}

int RunMediaRender(const MediaRenderOptions& o) {
  try {
    CheckPairing(o);
  } catch (const UsageError& e) {
    PrintError(e.what());
    return kExitUsage;
  }
  try {
    // Ctrl-C from here on: reading stops, the frame in flight ends through the
    // module's cancel path, and what was finished stays.
    static lfhost::CancelToken cancel;
    lfhost::CancelOnInterrupt(cancel);

    lfhost::CheckOutputFolder(o.output);
    std::unique_ptr<lfhost::FrameSource> source;
    try {
      source = OpenSource(o);
      // The part is cut from the frames the whole run would render, after the
      // source has checked them all, so every part refuses what the whole would.
      if (o.chunk) source->KeepChunk(*o.chunk);
    } catch (const lfhost::RangeError& e) {
      PrintError(e.what());
      return kExitUsage;
    }
    const auto module = lfhost::EffectModule::Load(ResolvePluginPath(o.plugin));
    lfhost::WorkerPool pool(o.threads);
    lfhost::EffectInstance effect(*module, pool, &cancel);
    effect.Start();
    if (const auto error = lfhost::CheckAnimatedControls(o.controls, effect.controls(), source->width(), source->height())) {
      PrintError(*error);
      return kExitUsage;
    }
    std::unique_ptr<lfhost::FrameSink> sink = OpenSink(o, *source);

    lfhost::ProgressDisplay progress(lfhost::ChooseProgressMode(o.quiet, 2), source->frameCount(), stderr);
    lfhost::RenderJob job;
    job.source = source.get();
    job.sink = sink.get();
    job.effect = &effect;
    job.controls = o.controls;
    job.seed = o.seed;
    job.pixelAspectNum = o.pixelAspectNum;
    job.pixelAspectDen = o.pixelAspectDen;
    job.cancel = &cancel;
    job.progress = &progress;
    job.framesInFlight = o.framesInFlight;
    const lfhost::RenderOutcome outcome = lfhost::RenderFrames(job);
    progress.Finish();

    for (const std::string& v : effect.Shutdown()) PrintError("warning: plug-in protocol fault: " + v);
    if (outcome.error) {
      PrintError(OneLine(*outcome.error) + "; " + WhatRemains(outcome, *sink, o.output));
      return kExitFailed;
    }
    if (outcome.cancelled) {
      PrintError(outcome.framesTotal == 1 ? "render cancelled; " + o.output + " not written"
                                          : "render cancelled; " + WhatRemains(outcome, *sink, o.output));
      return kExitCancelled;
    }
    return kExitOk;
  } catch (const lfhost::HostError& e) {
    PrintError(OneLine(e.what()));
    return kExitFailed;
  }
}

}  // namespace lfcli
