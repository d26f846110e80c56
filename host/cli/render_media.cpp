#include "host/cli/render_media.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <map>
#include <set>
#include <tuple>

#include "host/cli/commands.h"
#include "host/cli/options.h"
#include "host/core/cancel_token.h"
#include "host/core/effect_instance.h"
#include "host/core/host_error.h"
#include "host/media/files.h"
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

// --quality for an image output: a JPEG's, 1 to 100; none when not given.
// Other image formats are stored at one quality (losslessly) and refuse it.
std::optional<int> JpegQualityOption(const MediaRenderOptions& o) {
  if (o.video.quality.empty()) return std::nullopt;
  if (!lfhost::IsJpegExtension(Extension(o.output))) {
    throw UsageError("--quality: only a JPEG or a video output is written at a quality; " + o.output + " is neither");
  }
  return static_cast<int>(ParseInteger("--quality", o.video.quality, 1, 100));
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
  std::optional<OIIO::ImageSpec> layout;   // the header of the input's first image file (none for a video)
  bool deep = false;
  // A video into a video that stores the same pixel format: frames travel as
  // their stored samples, and only what the flare reaches changes.
  bool stored = false;
  lfhost::PlateLook look;   // how the flare goes onto the plates or samples
  lfhost::FlarePrecision precision = lfhost::FlarePrecision::Exact;   // the flare layer for plates or samples
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
  if (o.inPlace && (builtin || in != MediaKind::Image)) {
    throw UsageError("--in-place: replaces a single image with its render; " +
                     (builtin ? std::string("there is no input") : o.input + " is not a single image"));
  }
  if (o.skipExisting && out != MediaKind::Sequence) {
    throw UsageError("--skip-existing: -o " + o.output + " is not an image sequence");
  }
  if (o.fps && !builtin && in == MediaKind::Video) {
    throw UsageError("--fps: " + o.input + " is a video and keeps its own frame times");
  }
  for (const auto& [option, value] : {std::pair{"--codec", o.video.codec}, std::pair{"--pix-fmt", o.video.pixelFormat}}) {
    if (!value.empty() && out != MediaKind::Video) throw UsageError(std::string(option) + ": only a video output is encoded");
  }
  if (out != MediaKind::Video) JpegQualityOption(o);
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
    return lfhost::StoresSamplesOf(lfhost::PlanEncoder(o.output, info.width, info.height, style).encoding.pixelFormat,
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
  if (!m.builtin && m.in != MediaKind::Video) m.layout = lfhost::InputLayout(o.input, m.in);
  if (!m.builtin) m.samples = m.layout ? lfhost::ColourSampleType(*m.layout) : lfhost::InputSamples(o.input, m.in);
  // A video holds display-referred code values: scene-linear plates (half,
  // float) go into one clamped at 8 bits like any 8-bit frame, rather than
  // composited in linear light and encoded without a view transform.
  const bool deepSamples = m.samples != OIIO::TypeDesc::UINT8 &&
                           (m.out != MediaKind::Video || !lfhost::IsFloatingSamples(m.samples));
  // The module's frame holds R, G, B and alpha; an image with channels beyond
  // those goes the plate's way, which keeps every channel it does not flare.
  const bool extraChannels = m.layout && m.layout->nchannels > 4 && m.out != MediaKind::Video;
  m.deep = deepSamples || extraChannels || o.depth || o.composite || !o.colorspace.empty() || !o.part.empty() ||
           o.flarePrecision == lfhost::FlarePrecision::Full;
  m.stored = CarriesSamplesThrough(o, m);
  if (m.stored) m.deep = false;
  // The full-precision flare for outputs deeper than 8 bits: the output's depth
  // is --depth, else the plates' own (a video's follows its input's).
  const OIIO::TypeDesc written = o.depth.value_or(deepSamples ? m.samples : OIIO::TypeDesc(OIIO::TypeDesc::UINT8));
  m.precision = o.flarePrecision.value_or((m.deep || m.stored) && written != OIIO::TypeDesc::UINT8
                                              ? lfhost::FlarePrecision::Full
                                              : lfhost::FlarePrecision::Exact);
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

// Every file a render reads, as the user named it, by what it is (device and
// inode): the input's files (each existing frame of a sequence), the --keys
// file and the --center-track file.
std::map<lfhost::FileIdentity, std::string> InputFiles(const MediaRenderOptions& o, const RenderMedia& m) {
  std::map<lfhost::FileIdentity, std::string> inputs;
  auto add = [&](const std::string& path) {
    if (const auto id = lfhost::IdentityOf(path)) inputs.emplace(*id, path);
  };
  if (!m.builtin && m.in == MediaKind::Sequence) {
    const auto pattern = lfhost::SequencePattern::Parse(o.input);
    for (int64_t n : pattern->Scan()) add(pattern->PathFor(n));
  } else if (!m.builtin) {
    add(o.input);
  }
  if (!o.keysFile.empty()) add(o.keysFile);
  if (o.tracking.centerTrack) add(*o.tracking.centerTrack);
  return inputs;
}

// Refuses an output that would write over an input file, comparing what the
// files are rather than how they are spelt, so a relative or absolute name,
// dot segments, a symbolic link or a hard link to an input are all caught:
// every input file against every output file (-o and --pass-output, each
// frame of a sequence `source` renders: those already on disk, as only they can
// be an input, so a range of any length is checked at once). Only an explicit --in-place lets a
// single image be replaced by its own render, written whole under a temporary
// name and renamed over it as every output is; a sequence or video never is,
// so a stopped run cannot leave footage half old and half new, and the flare
// alone never replaces the plate it was drawn over.
void CheckInputsKept(const MediaRenderOptions& o, const RenderMedia& m, const lfhost::FrameSource* source) {
  const std::map<lfhost::FileIdentity, std::string> inputs = InputFiles(o, m);
  for (const std::string* name : {&o.output, &o.passOutput}) {
    const std::string& output = *name;
    if (output.empty()) continue;
    const bool plate = name == &o.output;
    auto check = [&](const std::string& outputFile, auto written) {
      const auto id = lfhost::IdentityOf(outputFile);
      const auto input = id ? inputs.find(*id) : inputs.end();
      if (input == inputs.end() || !written()) return;
      const bool inPlace = plate && !m.builtin && m.in == MediaKind::Image && input->second == o.input;
      if (inPlace && o.inPlace) return;
      throw UsageError((plate ? "-o: " : "--pass-output: ") + outputFile + " is the input " + input->second +
                       " and would overwrite it" +
                       (inPlace ? " (--in-place replaces a single image with its render)" : ""));
    };
    if (m.out != MediaKind::Sequence) {
      check(output, [] { return true; });
      continue;
    }
    const auto pattern = lfhost::SequencePattern::Parse(output);
    for (int64_t n : pattern->Scan()) {
      check(pattern->PathFor(n), [&] {
        for (int64_t i = 0; i < source->frameCount(); ++i) {
          if (source->frameNumber(i) == n) return true;
        }
        return false;
      });
    }
  }
}

// --skip-existing: leaves out the frames whose output is there and finished,
// with the flare alone beside it as well for --pass both. A frame this tool
// wrote is renamed into place whole, but a file of that name may come from
// elsewhere (a copy cut short, a disk that filled, a stray empty file), so
// each must read whole at the frame's size and channels; any other is
// rendered again, with a note naming it.
void DropFinishedFrames(const MediaRenderOptions& o, const RenderMedia& m, lfhost::FrameSource& source) {
  OIIO::ImageSpec layout = m.layout ? *m.layout : OIIO::ImageSpec(0, 0, source.hasAlpha() ? 4 : 3, OIIO::TypeDesc::UINT8);
  if (o.pass == lfhost::PassOutput::Flare) layout = OIIO::ImageSpec(0, 0, 3, OIIO::TypeDesc::UINT8);
  const auto pattern = lfhost::SequencePattern::Parse(o.output);
  const auto passPattern = lfhost::SequencePattern::Parse(o.passOutput);
  const int channels = lfhost::OutputChannels(layout, o.output);
  const int passChannels = o.passOutput.empty() ? 0 : lfhost::OutputChannels(OIIO::ImageSpec(0, 0, 3, OIIO::TypeDesc::UINT8), o.passOutput);
  auto finished = [&](const std::string& path, int expected) {
    if (!fs::exists(path)) return false;
    const std::string why = lfhost::UnfinishedOutput(path, source.width(), source.height(), expected, m.deep);
    if (!why.empty()) PrintError("note: " + path + " is not a finished frame (" + OneLine(why) + "); rendering it again");
    return why.empty();
  };
  source.DropFrames([&](int64_t n) {
    return finished(pattern->PathFor(n), channels) && (!passPattern || finished(passPattern->PathFor(n), passChannels));
  });
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

// Images and the built-in frame hold sRGB colour, whose primaries are BT.709's;
// a video made of them says so, with BT.709's matrix and transfer.
lfhost::VideoFormat ImagesAsVideo() {
  lfhost::VideoFormat format;
  format.matrix = format.primaries = format.transfer = "bt709";
  return format;
}

// How a video output is encoded: as --codec, --quality and --pix-fmt say,
// else like the input (its stored samples where they travel as they are), at
// the pixel aspect the render uses (`aspect`).
lfhost::VideoStyle VideoStyleFor(const MediaRenderOptions& o, const RenderMedia& m, const lfhost::FrameSource& source,
                                 std::optional<std::pair<int32_t, uint32_t>> aspect) {
  lfhost::VideoStyle style = o.video;
  style.like = source.videoFormat().value_or(ImagesAsVideo());
  style.alpha = source.hasAlpha();
  style.deep = m.deep;
  if (m.stored) style.samples = style.like.pixelFormat;
  if (aspect) style.sampleAspect = {aspect->first, aspect->second};
  return style;
}

// What a video output cannot take, found once the input is known and before
// any frame is rendered: a varying rate, a frame size its codec does not
// encode, an encoding choice its container or encoder refuses.
void CheckVideoOutput(const MediaRenderOptions& o, const RenderMedia& m, const lfhost::FrameSource& source,
                      std::optional<std::pair<int32_t, uint32_t>> aspect) {
  if (m.out != MediaKind::Video) return;
  if (const auto gaps = source.frameGaps()) {
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
  lfhost::PlanEncoder(o.output, source.width(), source.height(), VideoStyleFor(o, m, source, aspect));
}

// `aspect`: the pixel aspect ratio the render uses, which the output states.
std::unique_ptr<lfhost::FrameSink> OpenSink(const MediaRenderOptions& o, const RenderMedia& m,
                                            const lfhost::FrameSource& source,
                                            std::optional<std::pair<int32_t, uint32_t>> aspect) {
  const std::optional<double> stated =
      aspect ? std::optional(static_cast<double>(aspect->first) / aspect->second) : std::nullopt;
  // A plate states a pixel aspect ratio of its own unless --par sets one.
  // The plate's colour space, for colour that changes kind on the way out.
  const lfhost::PlateWriting plates{o.depth, o.pixelAspectGiven ? stated : std::nullopt, m.look.colourSpace(),
                                    m.out == MediaKind::Video ? std::nullopt : JpegQualityOption(o)};
  auto images = [&](const std::string& name) {
    return m.out == MediaKind::Sequence ? lfhost::OpenSequenceSink(name, source, stated, plates)
                                        : lfhost::OpenImageSink(name, source, stated, plates);
  };
  // An image rendered onto itself through a symbolic link replaces the file
  // the link names, not the link.
  std::error_code ec;
  const std::string output = o.inPlace && fs::is_symlink(o.output, ec) ? fs::canonical(o.output).string() : o.output;
  if (o.pass == lfhost::PassOutput::Both) return lfhost::OpenPairedSink(images(output), images(o.passOutput));
  switch (m.out) {
    case MediaKind::Sequence: return images(o.output);
    case MediaKind::Video: {
      // A video keeps its input's rate; a sequence or the built-in frame is 24
      // frames a second unless --fps says otherwise.
      const lfhost::FrameRate rate = o.fps.value_or(source.frameRate().value_or(lfhost::FrameRate{24, 1}));
      return lfhost::OpenVideoSink(o.output, source.width(), source.height(), rate, source.audio(),
                                   VideoStyleFor(o, m, source, aspect));
    }
    case MediaKind::Image: break;
  }
  return images(output);
}

// The files frames `first` to `last` went to: "a.0001.png to a.0009.png",
// "v.mkv", and with the flare alone beside each "... and flare.0001.png to ...".
void CheckExposure(const MediaRenderOptions& o, const RenderMedia& m, const lfhost::Track<double>& exposure) {
  // Composited onto floating-point samples and written as such, in an image:
  // a video holds display-referred code values whatever it was read from.
  const bool linear = m.deep && m.samples.is_floating_point() && (!o.depth || o.depth->is_floating_point()) &&
                      m.out != MediaKind::Video;
  const bool exposed = exposure.constant.value_or(0) != 0 ||
                       std::any_of(exposure.keys.begin(), exposure.keys.end(), [](const auto& k) { return k.second != 0; });
  if (exposed && !linear) {
    throw UsageError(exposure.origin + ": " + lfhost::kExposureNeedsLinear +
                     "; this render composites onto integer (display-referred) samples");
  }
}

std::string FilesOf(const lfhost::FrameSink& sink, int64_t first, int64_t last) {
  const std::vector<std::string> firsts = sink.NamesFor(first), lasts = sink.NamesFor(last);
  std::string text;
  for (size_t i = 0; i < firsts.size(); ++i) {
    text += (i ? " and " : "") + (firsts[i] == lasts[i] ? firsts[i] : firsts[i] + " to " + lasts[i]);
  }
  return text;
}

// What is left in the output after a stop, for the closing message: every
// frame that was written is accounted for, those removed again included.
std::string WhatRemains(const lfhost::RenderOutcome& r, const lfhost::FrameSink& sink, const std::string& output) {
  std::string text;
  if (sink.keepsNothingOnAbandon() || r.framesTotal == 1 || r.framesWritten == 0) {
    text = output + " not written";
  } else {
    text = std::to_string(r.framesWritten) + " of " + std::to_string(r.framesTotal) + " frames finished and complete (" +
           FilesOf(sink, *r.firstWritten, *r.lastWritten) + ")";
  }
  if (!r.discarded.empty()) {
    const std::string files = FilesOf(sink, r.discarded.front(), r.discarded.back());
    text += r.discarded.size() == 1
                ? "; " + files + ", written meanwhile, was removed again so that no frame before it is missing"
                : "; " + std::to_string(r.discarded.size()) + " frames written meanwhile (" + files +
                      ") were removed again so that no frame before them is missing";
  }
  return text;
}

// The line a finished render closes with on a terminal, where the status line
// is erased and nothing else would say what was written.
std::string WhatWasWritten(const lfhost::RenderOutcome& r, const lfhost::FrameSink& sink, double seconds) {
  const std::string files = FilesOf(sink, *r.firstWritten, *r.lastWritten);
  const std::string time = " in " + lfhost::FormatDuration(seconds);
  if (r.framesTotal == 1) return "wrote " + files + time;
  return "wrote " + std::to_string(r.framesWritten) + " frames (" + files + ")" + time;
}

// A stop asked for before the first frame was rendered: nothing was written.
int CancelledBeforeWork(const std::string& output) {
  PrintError("render cancelled; " + output + " not written");
  return CancelledStatus();
}

}  // namespace

lfhost::CancelToken& StopToken() {
  static lfhost::CancelToken token;
  return token;
}

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

int CancelledStatus() { return lfhost::CancelSignal() ? 128 + lfhost::CancelSignal() : kExitCancelled; }

std::unique_ptr<lfhost::FrameSource> OpenInput(const MediaRenderOptions& o) {
  // Read to be looked at (tracked), not rendered: the input alone says what
  // it is, and its frames come at 8 bits.
  RenderMedia m;
  m.builtin = o.input.empty();
  m.in = m.builtin ? MediaKind::Image : lfhost::InputKindOf(o.input);
  return OpenSource(o, m);
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
  const lfhost::KeyedText keyed = lfhost::SplitKeyedText(option, text);
  // A value for every frame is named as typed in later messages ("--brightness
  // 350: ..."), keyframes by their option (and frame, where one is named).
  reader.Add(controls, *id, keyed.frame ? option : option + " " + text, keyed.frame,
             lfhost::ControlInput::Text(keyed.value), keyed.interpolation);
}

lfhost::AnimatedControls ReadControls(const MediaRenderOptions& o, const lfhost::ControlReader& reader) {
  lfhost::AnimatedControls controls, typed;
  if (!o.keysFile.empty()) controls = lfhost::LoadKeyframeFile(o.keysFile, reader);
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
  // Refusals and failures go on to main, which shows them with their status.
  {
    // Ctrl-C, SIGTERM or SIGHUP, taken since the tool started: before the
    // first frame nothing is written; then reading stops, the frame in flight
    // ends through the module's cancel path, and what was finished stays.
    lfhost::CancelToken& cancel = StopToken();
    const RenderMedia media = DescribeMedia(o);
    if (cancel.requested()) return CancelledBeforeWork(o.output);

    lfhost::SetDamagedInputPolicy({o.allowDamaged, [](const std::string& what) { PrintError("warning: " + what); }});
    lfhost::OutputFolders folders(o.output);
    lfhost::CheckOutputFolder(o.output);
    std::optional<lfhost::OutputFolders> passFolders;
    if (!o.passOutput.empty()) {
      passFolders.emplace(o.passOutput);
      lfhost::CheckOutputFolder(o.passOutput);
    }
    // An input named as an output is refused before the input is even read;
    // a sequence's output frames are known once its source has listed them.
    if (media.out != MediaKind::Sequence) CheckInputsKept(o, media, nullptr);
    std::unique_ptr<lfhost::FrameSource> source;
    int64_t firstAsked = 0, lastAsked = 0;
    source = OpenSource(o, media);
    // The part is cut from the frames the whole run would render, after the
    // source has checked them all, so every part refuses what the whole would.
    // Keys are checked against the frames asked for, not against one part or
    // what --skip-existing leaves: a farm's keys span the whole shot.
    firstAsked = source->frameNumber(0);
    lastAsked = source->frameNumber(source->frameCount() - 1);
    if (o.chunk) source->KeepChunk(*o.chunk);
    if (media.out == MediaKind::Sequence) CheckInputsKept(o, media, source.get());
    const auto aspect = PixelAspectFor(o, *source);
    CheckVideoOutput(o, media, *source, aspect);
    if (cancel.requested()) return CancelledBeforeWork(o.output);
    if (o.skipExisting) {
      const int64_t asked = source->frameCount();
      DropFinishedFrames(o, media, *source);
      if (source->frameCount() == 0) {
        if (!o.quiet) PrintError("all " + std::to_string(asked) + " frames of " + o.output + " exist; nothing to render");
        return kExitOk;
      }
    }
    const auto module = lfhost::EffectModule::Load(ResolvePluginPath(o.plugin));
    lfhost::WorkerPool pool(o.threads > 0 ? o.threads
                                          : lfhost::DefaultWorkerThreads(source->frameCount(), source->width(),
                                                                         source->height(), o.framesInFlight));
    lfhost::EffectInstance effect(*module, pool, &cancel);
    if (o.validate) effect.Validate();
    effect.Start();
    // Read once the module has declared its controls, whose names and lens
    // choices the values are read against.
    lfhost::AnimatedControls controls = ReadControls(o, lfhost::ControlReader(effect.controls()));
    const int32_t width = source->width(), height = source->height();
    // Checked before the tracking pass reads the whole shot, and again after:
    // it sets keys of its own.
    lfhost::CheckedControls(controls, effect.controls(), width, height);
    CheckExposure(o, media, controls.exposure);
    if (cancel.requested() || !ApplyTracking(o.tracking, [&] { return OpenInput(o); }, effect.DefaultValues(width, height),
                                             width, height, o.quiet, cancel, controls)) {
      return CancelledBeforeWork(o.output);
    }
    const lfhost::CheckedControls checked(std::move(controls), effect.controls(), width, height);
    for (const std::string& line : lfhost::KeyframesOutside(checked.animated(), firstAsked, lastAsked)) {
      PrintError("warning: " + line);
    }
    // A video's sound goes only into a video; said, so that nobody finds it
    // missing later.
    if (media.out != MediaKind::Video && source->audio() && !o.quiet) {
      PrintError("note: the audio of " + o.input + " is not written: " + o.output + " holds images only");
    }
    const std::unique_ptr<lfhost::FrameSink> sink = OpenSink(o, media, *source, aspect);

    const lfhost::ProgressMode mode = lfhost::ChooseProgressMode(o.quiet, 2);
    lfhost::ProgressDisplay progress(mode, source->frameCount(), stderr);
    lfhost::RenderJob job;
    job.source = source.get();
    job.sink = sink.get();
    job.effect = &effect;
    job.controls = &checked;
    job.seed = o.seed;
    std::tie(job.pixelAspectNum, job.pixelAspectDen) = aspect.value_or(std::pair<int32_t, uint32_t>{1, 1});
    job.look = media.look;
    job.deep = media.deep;
    job.pass = o.pass;
    job.depth = o.depth;
    job.precision = media.precision;
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
      PrintError("render cancelled; " + WhatRemains(outcome, *sink, o.output));
      return CancelledStatus();
    }
    if (mode == lfhost::ProgressMode::Terminal) PrintError(WhatWasWritten(outcome, *sink, progress.Elapsed()));
    return kExitOk;
  }
}

}  // namespace lfcli
