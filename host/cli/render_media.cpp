#include "host/cli/render_media.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <tuple>

#include "host/core/cancel_token.h"
#include "host/cli/commands.h"
#include "host/cli/options.h"
#include "host/core/effect_instance.h"
#include "host/media/files.h"
#include "host/core/host_error.h"
#include "host/media/image_io.h"
#include "host/media/keys_file.h"
#include "host/media/media_paths.h"
#include "host/media/progress_display.h"
#include "host/media/sequence_renderer.h"
#include "host/media/video_probe.h"
#include "host/media/video_samples.h"

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

// What a render reads and writes, worked out once, before any work, and read by
// the rest of the setup. A name with a sequence mark is an output sequence only
// when there are frames to fill it; a render of one frame writes the file of
// that very name. Frames travel as plates (deep) when the input's samples are
// deeper than 8 bits or the options ask for work at depth; a video output is
// then encoded at depth too.
struct RenderMedia {
  MediaKind in, out;
  bool builtin, manyFrames;
  OIIO::TypeDesc samples = OIIO::TypeDesc::UINT8;   // the input's colour samples
  bool deep = false;
  // A video into a video that stores the same pixel format: frames travel as
  // their stored samples, and only what the flare reaches changes.
  bool stored = false;
  lfhost::PlateLook look;   // how the flare goes onto the plates or samples
};

// A mistake in how the input and output go together, found before any work.
void CheckPairing(const MediaRenderOptions& o, const RenderMedia& m) {
  const MediaKind in = m.in, out = m.out;
  const bool builtin = m.builtin, manyFrames = m.manyFrames;
  if (out == MediaKind::Video && !lfhost::IsWritableVideoExtension(Extension(o.output))) {
    throw UsageError("-o: " + o.output + ": cannot write " + Extension(o.output) + " video (use " +
                     lfhost::WritableVideoExtensions() + ")");
  }
  if (out != MediaKind::Video && !lfhost::IsWritableImageExtension(Extension(o.output))) {
    throw UsageError("-o: " + o.output +
                     ": unknown output format (use .png, .jpg, .tif, .exr or .dpx, a sequence such as "
                     "name.%04d.png, or a video " + lfhost::WritableVideoExtensions() + ")");
  }
  if (!builtin && in == MediaKind::Image && o.frames) {
    throw UsageError("--frames: " + o.input + " is a single image, not a sequence or video");
  }
  if (!builtin && o.size) throw UsageError("--size: sets the built-in frame's size, not usable with an input");
  if (manyFrames && out == MediaKind::Image) {
    throw UsageError("-o: " + o.output +
                     " is a single image; write the frames as a sequence (name.%04d.png) or a video (" +
                     lfhost::WritableVideoExtensions() + ")");
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
  if (o.startNumber && (builtin || in != MediaKind::Video)) {
    throw UsageError("--start-number: numbers a video's frames; " +
                     (builtin ? std::string("the built-in frame takes --frames") : o.input + " is not a video"));
  }
  if (o.skipExisting && out != MediaKind::Sequence) {
    throw UsageError("--skip-existing: -o " + o.output + " is not an image sequence");
  }
  if (o.fps && !builtin && in == MediaKind::Video) {
    throw UsageError("--fps: " + o.input + " is a video and keeps its own frame times");
  }
  for (const auto& [option, value] : {std::pair{"--codec", o.video.codec}, std::pair{"--quality", o.video.quality},
                                      std::pair{"--pix-fmt", o.video.pixelFormat}}) {
    if (!value.empty() && out != MediaKind::Video) throw UsageError(std::string(option) + ": only a video output is encoded");
  }
  if (o.fps && out != MediaKind::Video) throw UsageError("--fps: only a video output has a frame rate");
  // Frames picked apart would play faster than they were shot, and without
  // their sound; a rate given for them says how they are meant to play.
  if (o.frames && !o.frames->picks.empty() && out == MediaKind::Video && !o.fps) {
    throw UsageError("--frames: a list or step of frames into a video would change its timing" +
                     std::string(!builtin && in == MediaKind::Video ? " and leave its audio out" : "") +
                     "; write an image sequence" + (!builtin && in == MediaKind::Video ? "" : ", or give --fps"));
  }
  // A video's depth follows its codec and --pix-fmt, it has one picture a
  // frame, and the flare alone is written as images.
  for (const auto& [option, given] : {std::pair{"--depth", o.depth.has_value()}, std::pair{"--part", !o.part.empty()},
                                      std::pair{"--pass", o.pass != lfhost::PassOutput::None}}) {
    if (given && out == MediaKind::Video) {
      throw UsageError(std::string(option) + ": for image outputs; " + o.output + " is a video");
    }
  }
  if (o.pass == lfhost::PassOutput::Both && o.passOutput.empty()) {
    throw UsageError("--pass both: give --pass-output NAME for the flare alone");
  }
  if (!o.passOutput.empty()) {
    if (o.pass != lfhost::PassOutput::Both) throw UsageError("--pass-output: names the flare alone of --pass both");
    if (!lfhost::IsWritableImageExtension(Extension(o.passOutput))) {
      throw UsageError("--pass-output: " + o.passOutput + ": unknown output format (use .png, .jpg, .tif, .exr or .dpx)");
    }
    if ((lfhost::MediaKindOf(o.passOutput) == MediaKind::Sequence) != (out == MediaKind::Sequence)) {
      throw UsageError("--pass-output: " + o.passOutput + (out == MediaKind::Sequence ? " is not" : " is") +
                       " a sequence, as -o " + o.output + (out == MediaKind::Sequence ? " is" : " is not"));
    }
    if (fs::absolute(o.passOutput).lexically_normal() == fs::absolute(o.output).lexically_normal()) {
      throw UsageError("--pass-output: " + o.passOutput + " is -o as well");
    }
  }
}

// True when the input video's frames can go to the output as they are
// stored: its pixel format carries them and the output stores that layout
// (its codec follows the input's, or the one asked for takes it). A
// choice the output cannot take is reported when the output is opened.
bool CarriesSamplesThrough(const MediaRenderOptions& o, const RenderMedia& m) {
  if (m.builtin || m.in != MediaKind::Video || m.out != MediaKind::Video || o.pass != lfhost::PassOutput::None) return false;
  const lfhost::VideoInfo info = lfhost::ProbeVideoStreams(o.input);
  if (!lfhost::CarriesStoredSamples(info.format)) return false;
  lfhost::VideoStyle style = o.video;
  style.like = info.format;
  style.alpha = lfhost::PixelFormatHasAlpha(info.format.pixelFormat);
  style.samples = info.format.pixelFormat;
  try {
    return lfhost::StoresSamplesOf(lfhost::PlanEncoder(o.output, info.width, info.height, style).pixelFormat,
                                   info.format.pixelFormat);
  } catch (const lfhost::HostError&) {
    return false;
  }
}

RenderMedia DescribeMedia(const MediaRenderOptions& o) {
  RenderMedia m;
  m.builtin = o.input.empty();
  m.in = m.builtin ? MediaKind::Image : lfhost::InputKindOf(o.input);
  m.manyFrames = m.in != MediaKind::Image || (m.builtin && o.frames);
  m.out = lfhost::MediaKindOf(o.output);
  if (m.out == MediaKind::Sequence && !m.manyFrames) m.out = MediaKind::Image;
  CheckPairing(o, m);
  if (!m.builtin) m.samples = lfhost::InputSamples(o.input, m.in);
  // A video holds display-referred code values: scene-linear plates (half,
  // float) go into one as they always did, clamped at 8 bits, rather than
  // composited in linear light and encoded without a view transform.
  const bool deepSamples = m.samples != OIIO::TypeDesc::UINT8 &&
                           (m.out != MediaKind::Video || !m.samples.is_floating_point());
  m.deep = deepSamples || o.depth || o.composite || !o.colorspace.empty() || !o.part.empty();
  m.stored = CarriesSamplesThrough(o, m);
  if (m.stored) m.deep = false;
  if (m.deep || m.stored) {
    try {
      m.look = lfhost::PlateLook::For(m.samples, o.composite, o.colorspace);
    } catch (const lfhost::HostError& e) {
      if (o.colorspace.empty()) throw;
      throw UsageError("--colorspace " + o.colorspace + ": " + e.what());
    }
  }
  return m;
}

// Refuses an output that would write over an input file, comparing what the
// files are (device and inode) rather than how they are spelt, so a relative or
// absolute name, dot segments, a symbolic link or a hard link to an input frame
// are all caught: every existing input frame against every output frame. A
// single image may be rendered onto itself: it is read whole before the new
// one is renamed over the name, so the input is never written, only replaced
// whole. A sequence or video is refused, so a stopped run cannot leave footage
// half old and half new.
void CheckInputsKept(const MediaRenderOptions& o, const RenderMedia& k, const lfhost::FrameSource& source) {
  if (k.builtin || (k.in == MediaKind::Image && k.out == MediaKind::Image)) return;
  std::set<lfhost::FileIdentity> inputs;
  if (k.in == MediaKind::Sequence) {
    const auto pattern = lfhost::SequencePattern::Parse(o.input);
    for (int64_t n : pattern->Scan()) {
      if (const auto id = lfhost::IdentityOf(pattern->PathFor(n))) inputs.insert(*id);
    }
  } else if (const auto id = lfhost::IdentityOf(o.input)) {
    inputs.insert(*id);
  }
  for (const std::string& output : {o.output, o.passOutput}) {
    const std::string option = output == o.output ? "-o: " : "--pass-output: ";
    auto check = [&](const std::string& outputFile) {
      const auto id = lfhost::IdentityOf(outputFile);
      if (id && inputs.count(*id)) throw UsageError(option + outputFile + " would overwrite the input " + o.input);
    };
    if (output.empty()) continue;
    if (k.out != MediaKind::Sequence) {
      check(output);
      continue;
    }
    const auto pattern = lfhost::SequencePattern::Parse(output);
    for (int64_t i = 0; i < source.frameCount(); ++i) check(pattern->PathFor(source.frameNumber(i)));
  }
}

std::unique_ptr<lfhost::FrameSource> OpenSource(const MediaRenderOptions& o, const RenderMedia& m) {
  if (m.builtin) {
    const auto [w, h] = o.size.value_or(std::pair<int32_t, int32_t>{1920, 1080});
    return lfhost::OpenBuiltinSource(o.frames.value_or(lfhost::FrameRange{0, 0, {}}), w, h);
  }
  const lfhost::PlateReading reading{m.deep, o.part, o.depth.value_or(OIIO::TypeDesc::UNKNOWN)};
  switch (m.in) {
    case MediaKind::Sequence: return lfhost::OpenSequenceSource(o.input, o.frames, o.missing, reading);
    case MediaKind::Video: {
      const lfhost::VideoReading reading = m.stored ? lfhost::VideoReading::Samples
                                           : m.deep ? lfhost::VideoReading::Deep
                                                    : lfhost::VideoReading::Frames;
      return lfhost::OpenVideoSource(o.input, o.frames, o.startNumber.value_or(0), reading);
    }
    case MediaKind::Image: break;
  }
  return lfhost::OpenImageSource(o.input, reading);
}

// The pixel aspect ratio a render uses and its output states: --par, else the
// input's own; nothing when neither says (1:1 then, stated nowhere).
std::optional<std::pair<int32_t, uint32_t>> PixelAspect(const MediaRenderOptions& o, const lfhost::FrameSource& source) {
  if (o.pixelAspectGiven) return std::pair{o.pixelAspectNum, o.pixelAspectDen};
  return source.pixelAspect();
}

// Images and the built-in frame hold sRGB colour, whose primaries are BT.709's;
// a video made of them says so, with BT.709's matrix and transfer.
lfhost::VideoFormat ImagesAsVideo() {
  lfhost::VideoFormat format;
  format.matrix = format.primaries = format.transfer = "bt709";
  return format;
}

std::unique_ptr<lfhost::FrameSink> OpenSink(const MediaRenderOptions& o, const RenderMedia& m,
                                            const lfhost::FrameSource& source) {
  const auto aspect = PixelAspect(o, source);
  const std::optional<double> stated =
      aspect ? std::optional(static_cast<double>(aspect->first) / aspect->second) : std::nullopt;
  if (const auto gaps = source.frameGaps(); gaps && m.out == MediaKind::Video) {
    // A video is written at one rate; conforming would move frames in time.
    auto seconds = [](double s) {
      char text[32];
      std::snprintf(text, sizeof text, "%.3f", s);
      return std::string(text);
    };
    throw lfhost::HostError(o.input + ": the frame rate varies (frames " + seconds(gaps->first) + " to " +
                            seconds(gaps->second) +
                            " s apart); write an image sequence, or make the rate constant first");
  }
  // A plate states a pixel aspect ratio of its own unless --par sets one.
  const lfhost::PlateWriting plates{o.depth, o.pixelAspectGiven ? stated : std::nullopt};
  auto images = [&](const std::string& name) {
    return m.out == MediaKind::Sequence ? lfhost::OpenSequenceSink(name, source, stated, plates)
                                        : lfhost::OpenImageSink(name, source, stated, plates);
  };
  if (o.pass == lfhost::PassOutput::Both) return lfhost::OpenPairedSink(images(o.output), images(o.passOutput));
  switch (m.out) {
    case MediaKind::Sequence: return images(o.output);
    case MediaKind::Video: {
      // A video keeps its input's rate; a sequence or the built-in frame is 24
      // frames a second unless --fps says otherwise.
      const lfhost::FrameRate rate = o.fps.value_or(source.frameRate().value_or(lfhost::FrameRate{24, 1}));
      lfhost::VideoStyle style = o.video;
      style.like = source.videoFormat().value_or(ImagesAsVideo());
      style.alpha = source.hasAlpha();
      style.deep = m.deep;
      if (m.stored) style.samples = style.like.pixelFormat;
      if (aspect) style.sampleAspect = {aspect->first, aspect->second};
      return lfhost::OpenVideoSink(o.output, source.width(), source.height(), rate, source.audio(), style);
    }
    case MediaKind::Image: break;
  }
  return images(o.output);
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

std::unique_ptr<lfhost::FrameSource> OpenInput(const MediaRenderOptions& o) {
  // Read to be looked at (tracked), not rendered: the input alone says what
  // it is, and its frames come at 8 bits.
  RenderMedia m;
  m.builtin = o.input.empty();
  m.in = m.builtin ? MediaKind::Image : lfhost::InputKindOf(o.input);
  try {
    return OpenSource(o, m);
  } catch (const lfhost::RangeError& e) {
    throw UsageError(e.what());
  }
}

lfhost::FrameRange ParseFramesOption(const std::string& option, const std::string& text) {
  const std::optional<lfhost::FrameRange> frames = lfhost::ParseFrameRange(text);
  if (!frames) {
    throw UsageError(option + ": \"" + text +
                     "\" is not a frame range (A-B with A <= B, one frame, A-BxSTEP, or a list such as 1,5,10-20)");
  }
  return *frames;
}

lfhost::MissingFrames ParseMissingOption(const std::string& option, const std::string& text) {
  const auto missing = lfhost::ParseMissingFrames(text);
  if (!missing) throw UsageError(option + ": \"" + text + "\" is not error, black or hold");
  return *missing;
}

void AddControlOption(lfhost::AnimatedControls& controls, const lfhost::ControlReader& reader,
                      const std::string& option, const std::string& text) {
  const std::optional<lfhost::ControlId> id = option.size() > 2 ? lfhost::ControlFromKey(option.substr(2)) : std::nullopt;
  if (!id) throw UsageError(option + ": not a control");
  try {
    const lfhost::KeyedText keyed = lfhost::SplitKeyedText(option, text);
    // A value for every frame is named as typed in later messages ("--brightness
    // 350: ..."), keyframes by their option (and frame, where one is named).
    reader.Add(controls, *id, keyed.frame ? option : option + " " + text, keyed.frame,
               lfhost::ControlInput::Text(keyed.value), keyed.interpolation);
  } catch (const lfhost::HostError& e) {
    throw UsageError(e.what());
  }
}

lfhost::AnimatedControls ReadControls(const MediaRenderOptions& o, const lfhost::ControlReader& reader) {
  lfhost::AnimatedControls controls, typed;
  if (!o.keysFile.empty()) {
    try {
      controls = lfhost::LoadKeyframeFile(o.keysFile, reader);
    } catch (const lfhost::HostError& e) {
      throw UsageError(e.what());
    }
  }
  for (const auto& [option, text] : o.controlOptions) AddControlOption(typed, reader, option, text);
  AddCenterTrack(o.tracking, typed);
  controls.OverrideWith(typed);
  return controls;
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
    const RenderMedia media = DescribeMedia(o);
    // Ctrl-C, SIGTERM or SIGHUP from here on: reading stops, the frame in flight
    // ends through the module's cancel path, and what was finished stays.
    static lfhost::CancelToken cancel;
    lfhost::CancelOnStopSignals(cancel);

    lfhost::SetDamagedInputPolicy({o.allowDamaged, [](const std::string& what) { PrintError("warning: " + what); }});
    lfhost::OutputFolders folders(o.output);
    lfhost::CheckOutputFolder(o.output);
    std::optional<lfhost::OutputFolders> passFolders;
    if (!o.passOutput.empty()) {
      passFolders.emplace(o.passOutput);
      lfhost::CheckOutputFolder(o.passOutput);
    }
    std::unique_ptr<lfhost::FrameSource> source;
    int64_t firstAsked = 0, lastAsked = 0;
    try {
      source = OpenSource(o, media);
      // The part is cut from the frames the whole run would render, after the
      // source has checked them all, so every part refuses what the whole would.
      // Keys are checked against the frames asked for, not against one part or
      // what --skip-existing leaves: a farm's keys span the whole shot.
      firstAsked = source->frameNumber(0);
      lastAsked = source->frameNumber(source->frameCount() - 1);
      if (o.chunk) source->KeepChunk(*o.chunk);
    } catch (const lfhost::RangeError& e) {
      throw UsageError(e.what());
    }
    CheckInputsKept(o, media, *source);
    if (o.skipExisting) {
      // A finished frame is renamed into place whole, so one that exists is
      // complete; with the flare alone beside it, both must be there.
      const auto pattern = lfhost::SequencePattern::Parse(o.output);
      const auto passPattern = lfhost::SequencePattern::Parse(o.passOutput);
      const int64_t asked = source->frameCount();
      source->DropFrames([&](int64_t n) {
        return fs::exists(pattern->PathFor(n)) && (!passPattern || fs::exists(passPattern->PathFor(n)));
      });
      if (source->frameCount() == 0) {
        if (!o.quiet) PrintError("all " + std::to_string(asked) + " frames of " + o.output + " exist; nothing to render");
        return kExitOk;
      }
    }
    const auto module = lfhost::EffectModule::Load(ResolvePluginPath(o.plugin));
    lfhost::WorkerPool pool(o.threads);
    lfhost::EffectInstance effect(*module, pool, &cancel);
    if (o.validate) effect.Validate();
    effect.Start();
    // Read once the module has declared its controls, whose names and lens
    // choices the values are read against.
    lfhost::AnimatedControls controls = ReadControls(o, lfhost::ControlReader(effect.controls()));
    if (!ApplyTracking(o.tracking, [&] { return OpenInput(o); }, effect.DefaultValues(source->width(), source->height()),
                       source->width(), source->height(), o.quiet, cancel, controls)) {
      PrintError("render cancelled; " + o.output + " not written");
      return lfhost::CancelSignal() ? 128 + lfhost::CancelSignal() : kExitCancelled;
    }
    for (const std::string& line : lfhost::KeyframesOutside(controls, firstAsked, lastAsked)) {
      PrintError("warning: " + line);
    }
    if (const auto error = lfhost::CheckAnimatedControls(controls, effect.controls(), source->width(), source->height())) {
      PrintError(*error);
      return kExitUsage;
    }
    std::unique_ptr<lfhost::FrameSink> sink;
    try {
      sink = OpenSink(o, media, *source);
    } catch (const lfhost::ChoiceError& e) {
      PrintError(e.what());
      return kExitUsage;
    }

    lfhost::ProgressDisplay progress(lfhost::ChooseProgressMode(o.quiet, 2), source->frameCount(), stderr);
    lfhost::RenderJob job;
    job.source = source.get();
    job.sink = sink.get();
    job.effect = &effect;
    job.controls = controls;
    job.seed = o.seed;
    std::tie(job.pixelAspectNum, job.pixelAspectDen) =
        PixelAspect(o, *source).value_or(std::pair<int32_t, uint32_t>{1, 1});
    job.look = media.look;
    job.deep = media.deep;
    job.pass = o.pass;
    job.depth = o.depth;
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
      return lfhost::CancelSignal() ? 128 + lfhost::CancelSignal() : kExitCancelled;
    }
    return kExitOk;
  } catch (const UsageError& e) {
    PrintError(e.what());
    return kExitUsage;
  } catch (const lfhost::HostError& e) {
    PrintError(OneLine(e.what()));
    return kExitFailed;
  }
}

}  // namespace lfcli
