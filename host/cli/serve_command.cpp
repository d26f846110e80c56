// lensflare serve: a local web page to place and tune the flare on one frame.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <thread>
#include <tuple>
#include <utility>

#include "host/cli/commands.h"
#include "host/cli/options.h"
#include "host/cli/run_command.h"
#include "host/core/builtin_frame.h"
#include "host/core/host_error.h"
#include "host/media/frame_sources.h"
#include "host/web/preview_server.h"

namespace lfcli {

namespace {

constexpr int kDefaultPort = 8321;

struct ServeOptions : SharedOptions {
  std::string bind = "127.0.0.1";
  std::optional<int64_t> frame;
  int port = kDefaultPort;
  bool help = false;
};

ServeOptions ParseServeOptions(const std::vector<std::string>& args) {
  ServeOptions o;
  ArgumentReader reader(args);
  while (!reader.Done()) {
    const std::string arg = reader.Next();
    if (arg == "-h" || arg == "--help") {
      o.help = true;
    } else if (arg == "--port") {
      o.port = static_cast<int>(ParseInteger(arg, reader.Value(arg), 0, 65535));
    } else if (arg == "--bind") {
      o.bind = reader.Value(arg);
      if (o.bind.empty()) throw UsageError("--bind: needs an address such as 127.0.0.1");
    } else if (arg == "--frame") {
      o.frame = ParseInteger(arg, reader.Value(arg), 0, INT64_MAX);
    } else {
      ParseSharedArgument("serve", arg, reader, o);
    }
  }
  return o;
}

// The frame to preview and the render arguments that read it again: a single
// image or the built-in frame as they are; a sequence or video as a timeline
// whose frame N the command reads through --frames N, written as a one-frame
// sequence.
lfweb::PreviewFrame LoadPreviewFrame(const ServeOptions& o) {
  lfweb::PreviewFrame frame;
  const lfhost::MediaKind kind = o.input.empty() ? lfhost::MediaKind::Image : lfhost::InputKindOf(o.input);
  if (o.frame && kind == lfhost::MediaKind::Image) {
    throw UsageError("--frame: " + (o.input.empty() ? std::string("the built-in frame") : o.input) +
                     " is a single image, not a sequence or video");
  }
  // A plate deeper than 8 bits is shown through its display conversion and
  // rendered onto at its own precision, as the render command does.
  const OIIO::TypeDesc samples = o.input.empty() ? OIIO::TypeDesc::UINT8 : lfhost::InputSamples(o.input, kind);
  lfhost::PlateReading reading;
  reading.deep = samples != OIIO::TypeDesc::UINT8;
  auto show = [&](lfhost::MediaFrame read) {
    if (!read.deep()) return void(frame.image = std::move(read.image));
    frame.look = lfhost::PlateLook::For(samples, std::nullopt, "");
    frame.image = lfhost::PlateForDisplay(read.plate.image(), frame.look);
    frame.plate = std::move(read.plate);
    // A video's frames are written as 16-bit PNGs, which keep their depth.
    const std::string extension = std::filesystem::path(o.input).extension().string();
    frame.outputName = "flare" + (lfhost::IsWritableImageExtension(extension) ? extension : std::string(".png"));
  };
  // The pixel aspect as render takes it, so that the page's command renders what it shows.
  std::optional<std::pair<int32_t, uint32_t>> aspect;
  if (o.pixelAspectGiven) aspect = std::pair{o.pixelAspectNum, o.pixelAspectDen};
  if (o.input.empty()) {
    frame.image = lfhost::MakeDarkFrame();
    frame.label = "built-in frame";
  } else if (kind == lfhost::MediaKind::Image) {
    const std::unique_ptr<lfhost::FrameSource> source = lfhost::OpenImageSource(o.input, reading);
    aspect = PixelAspectFor(o, *source);
    show(source->ReadNext());
    frame.label = o.input;
    frame.renderArgs = {o.input};
  } else {
    const std::string input = o.input;
    lfweb::PreviewTimeline timeline;
    timeline.open = [input, kind, reading](int64_t first, int64_t last) {
      const lfhost::FrameRange range{first, last, {}};
      return kind == lfhost::MediaKind::Sequence
                 ? lfhost::OpenSequenceSource(input, range, lfhost::MissingFrames::Error, reading)
                 : lfhost::OpenVideoSource(input, range, 0,
                                           reading.deep ? lfhost::VideoReading::Deep : lfhost::VideoReading::Frames);
    };
    {
      const std::unique_ptr<lfhost::FrameSource> all = kind == lfhost::MediaKind::Sequence
                                                           ? lfhost::OpenSequenceSource(input, std::nullopt)
                                                           : lfhost::OpenVideoSource(input, std::nullopt);
      timeline.first = all->frameNumber(0);
      timeline.last = all->frameNumber(all->frameCount() - 1);
      aspect = PixelAspectFor(o, *all);
      all->Close();
    }
    const int64_t number = o.frame.value_or(timeline.first);
    if (number < timeline.first || number > timeline.last) {
      throw UsageError("--frame " + std::to_string(number) + ": not a frame of " + input + " (frames " +
                       std::to_string(timeline.first) + " to " + std::to_string(timeline.last) + ")");
    }
    frame.outputName = "flare.png";
    const std::unique_ptr<lfhost::FrameSource> source = timeline.open(number, number);
    show(source->ReadNext());
    source->Close();
    frame.settings.frame = number;
    frame.label = input;
    frame.renderArgs = {input};
    frame.outputName.insert(frame.outputName.find('.'), ".%04d");
    frame.timeline = std::move(timeline);
  }
  frame.settings.seed = o.seed;
  std::tie(frame.settings.pixelAspectNum, frame.settings.pixelAspectDen) =
      aspect.value_or(std::pair<int32_t, uint32_t>{1, 1});
  return frame;
}

int Serve(const ServeOptions& o) {
  // Ctrl-C and SIGTERM are taken by one waiting thread rather than a handler, so
  // stopping can join threads and shut the effect down properly. They are
  // blocked before any thread starts, so every thread inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  // A browser that closes a connection mid-answer must not end the server.
  signal(SIGPIPE, SIG_IGN);
  lfweb::PreviewFrame frame = LoadPreviewFrame(o);
  const std::string label = frame.label;
  const auto module = lfhost::EffectModule::Load(ResolvePluginPath(o.plugin));
  lfhost::WorkerPool pool(o.threads);
  lfweb::ServerOptions options;
  options.bindAddress = o.bind;
  options.port = o.port;
  options.pluginPath = o.plugin;
  lfweb::PreviewServer server(*module, pool, std::move(frame), options);

  std::thread waiter([&server, stopSignals] {
    int signalNumber = 0;
    sigwait(&stopSignals, &signalNumber);
    server.Stop();
  });

  std::printf("Lens Flare preview of %s at %s\n", label.c_str(), server.url().c_str());
  std::printf("Press Ctrl-C to stop.\n");
  std::fflush(stdout);
  const bool served = server.Run();
  // Wakes the waiter if no signal did (it is blocked in sigwait), so it ends
  // before the server it points to.
  pthread_kill(waiter.native_handle(), SIGTERM);
  waiter.join();
  for (const std::string& fault : server.Shutdown()) PrintError("warning: plug-in protocol fault: " + fault);
  if (!served) {
    PrintError("the preview server stopped unexpectedly");
    return kExitFailed;
  }
  std::printf("Stopped.\n");
  return kExitOk;
}

}  // namespace

int RunServe(const std::vector<std::string>& args) { return RunCommand(args, ParseServeOptions, kServeHelp, Serve); }

}  // namespace lfcli
