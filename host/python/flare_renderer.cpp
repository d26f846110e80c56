#include "host/python/flare_renderer.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include <OpenImageIO/imagebuf.h>

#include "host/core/command_result.h"
#include "host/core/host_error.h"
#include "host/core/image_buffer.h"
#include "host/python/pixel_rows.h"

namespace lfpython {

// One effect instance and the worker pool its renders share: a render in
// flight holds one, and a slot outlives the render for the next one.
struct Renderer::Slot {
  Slot(const lfhost::EffectModule& module, int threads) : pool(threads), effect(module, pool) { effect.Start(); }
  lfhost::WorkerPool pool;
  lfhost::EffectInstance effect;
  Worlds worlds;
};

namespace {

OIIO::TypeDesc SampleType(Sample sample) {
  switch (sample) {
    case Sample::UInt16: return OIIO::TypeDesc::UINT16;
    case Sample::Half: return OIIO::TypeDesc::HALF;
    case Sample::Float: return OIIO::TypeDesc::FLOAT;
    default: return OIIO::TypeDesc::UINT8;
  }
}

size_t SampleBytes(Sample sample) { return SampleType(sample).size(); }

// 8 bits: through the slot's worlds, kept from one render to the next of the
// same size. The pixels go into the input and the output world in one pass,
// so the render skips its own copy of the one into the other.
void RenderBytes(Renderer::Worlds& worlds, lfhost::EffectInstance& effect, const RenderJob& job) {
  const Pixels& p = job.pixels;
  if (worlds.input.empty() || worlds.input.width() != p.width || worlds.input.height() != p.height) {
    worlds.input = lfhost::ImageBuffer(p.width, p.height);
    worlds.output = lfhost::ImageBuffer(p.width, p.height);
  }
  const size_t rowBytes = static_cast<size_t>(p.width) * p.channels;
  for (int32_t y = 0; y < p.height; ++y) {
    RowToWorlds(static_cast<const uint8_t*>(p.in) + y * rowBytes, worlds.input.row(y), worlds.output.row(y), p.width,
                p.channels);
  }
  const lfhost::CommandResult result =
      effect.Render(worlds.input, worlds.output, job.values, job.frame, lfhost::OutputStart::InputCopy);
  if (!result.ok()) throw lfhost::HostError("render failed: " + lfhost::DescribeResult(result));
  for (int32_t y = 0; y < p.height; ++y) {
    RowFromWorld(worlds.output.row(y), static_cast<uint8_t*>(p.out) + y * rowBytes, p.width, p.channels);
  }
}

// Deeper samples: the plate is the output array itself, holding a copy of the
// input, and the flare is composited onto it in place.
void RenderPlate(lfhost::EffectInstance& effect, const RenderJob& job) {
  const Pixels& p = job.pixels;
  const size_t bytes = static_cast<size_t>(p.width) * p.height * p.channels * SampleBytes(p.sample);
  if (p.out != p.in) std::memmove(p.out, p.in, bytes);
  OIIO::ImageSpec layout(p.width, p.height, p.channels, SampleType(p.sample));
  layout.channelnames = {"R", "G", "B"};
  if (p.channels == 4) layout.channelnames.push_back("A");
  layout.alpha_channel = p.channels == 4 ? 3 : -1;
  OIIO::ImageBuf plate(layout, p.out);
  const lfhost::CommandResult result = lfhost::RenderOntoPlate(effect, plate, job.values, job.frame, *job.look, job.precision);
  if (!result.ok()) throw lfhost::HostError("render failed: " + lfhost::DescribeResult(result));
}

}  // namespace

DeepOptions ReadDeepOptions(const std::map<std::string, std::string>& given) {
  DeepOptions options;
  for (const auto& [name, text] : given) {
    if (name == "composite") {
      options.composite = lfhost::ParseCompositeMode(text);
      if (!options.composite) throw lfhost::UsageError("composite: \"" + text + "\" is not screen or add");
    } else if (name == "colorspace") {
      options.colorspace = text;
    } else if (name == "exposure") {
      // A control, read with the others (Renderer::Prepare).
    } else if (name == "flare_precision") {
      const auto precision = lfhost::ParseFlarePrecision(text);
      if (!precision) throw lfhost::UsageError("flare_precision: \"" + text + "\" is not exact or full");
      options.precision = *precision;
    } else {
      throw lfhost::UsageError(name +
                              ": not an option of a render (deep plates take colorspace, composite, flare_precision and exposure)");
    }
  }
  return options;
}

namespace {

// One load of a plug-in a process. Each load opens a link namespace of its own
// with its own copy of the C library, whose thread-local storage glibc takes
// from a small static reserve and never gives back, and glibc has only 16
// namespaces: a pipeline making an Effect per shot would run out after about
// ten. Effects share the module instead; each keeps its own effect instances,
// and so its own rand state, so sharing changes no render.
std::shared_ptr<const lfhost::EffectModule> SharedModule(const std::string& path, const std::string& randLibrary) {
  static std::mutex mutex;
  static std::map<std::pair<std::string, std::string>, std::shared_ptr<const lfhost::EffectModule>> loaded;
  const std::lock_guard<std::mutex> lock(mutex);
  std::shared_ptr<const lfhost::EffectModule>& module = loaded[{path, randLibrary}];
  if (!module) {
    lfhost::LoadOptions options;
    options.randLibrary = randLibrary;
    module = lfhost::EffectModule::Load(path, options);
  }
  return module;
}

}  // namespace

Renderer::Renderer(const std::string& plugin, const std::string& ownDir, const std::string& installedFolder,
                   const std::string& randLibrary, int threads)
    : threads_(threads) {
  const std::string path = !plugin.empty() ? plugin
                                           : lfhost::FindModule(ownDir, installedFolder,
                                                                std::string("set ") + lfhost::kModulePathVariable +
                                                                    " to the folder that holds it, or pass plugin=PATH");
  module_ = SharedModule(path, randLibrary);
  auto first = std::make_unique<Slot>(*module_, threads_);
  controls_ = first->effect.controls();
  idle_.push_back(std::move(first));
}

// The instances go with their setdowns; the module stays for the next Renderer.
Renderer::~Renderer() { idle_.clear(); }

RenderJob Renderer::Prepare(const Pixels& pixels, const std::map<std::string, lfhost::ControlInput>& controls,
                            const lfhost::FrameSettings& frame, const std::map<std::string, std::string>& deep) const {
  const lfhost::ControlReader reader(controls_);
  lfhost::AnimatedControls animated;
  for (const auto& [key, input] : controls) {
    const std::optional<lfhost::ControlId> id = lfhost::ControlFromKey(key);
    if (!id) throw lfhost::UsageError(key + ": not a control (center, brightness, lens or blend)");
    reader.Add(animated, *id, key, std::nullopt, input);
  }
  const auto exposure = deep.find("exposure");
  if (exposure != deep.end()) {
    reader.Add(animated, lfhost::ControlId::Exposure, "exposure", std::nullopt, lfhost::ControlInput::Text(exposure->second));
  }
  // Refused as the tool refuses an option: "lens: Lens Type 7 is not one of ...".
  const lfhost::CheckedControls checked(std::move(animated), controls_, pixels.width, pixels.height);
  RenderJob job{pixels, checked.At(frame.frame), frame, nullptr};
  const DeepOptions options = ReadDeepOptions(deep);
  if (pixels.sample == Sample::UInt8) {
    if (!deep.empty()) throw lfhost::UsageError(deep.begin()->first + ": applies to uint16, float16 and float32 images only");
    return job;
  }
  if (job.values.exposure() != 0 && pixels.sample == Sample::UInt16) {
    throw lfhost::UsageError(std::string("exposure: ") + lfhost::kExposureNeedsLinear + "; uint16 images are integer");
  }
  job.precision = options.precision;
  job.look = std::make_shared<const lfhost::PlateLook>(
      lfhost::PlateLook::For(SampleType(pixels.sample), options.composite, options.colorspace));
  return job;
}

std::unique_ptr<Renderer::Slot> Renderer::TakeSlot() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!idle_.empty()) {
      std::unique_ptr<Slot> slot = std::move(idle_.back());
      idle_.pop_back();
      return slot;
    }
  }
  return std::make_unique<Slot>(*module_, threads_);
}

void Renderer::GiveBack(std::unique_ptr<Slot> slot) {
  const std::lock_guard<std::mutex> lock(mutex_);
  idle_.push_back(std::move(slot));
}

void Renderer::ForgetSlotsAfterFork() {
  // A mutex held by a thread of the parent at the fork stays locked in the child.
  new (&mutex_) std::mutex;
  for (std::unique_ptr<Slot>& slot : idle_) static_cast<void>(slot.release());
  idle_.clear();
}

void Renderer::Render(const RenderJob& job) {
  std::unique_ptr<Slot> slot = TakeSlot();
  try {
    if (job.pixels.sample == Sample::UInt8) {
      RenderBytes(slot->worlds, slot->effect, job);
    } else {
      RenderPlate(slot->effect, job);
    }
  } catch (...) {
    GiveBack(std::move(slot));
    throw;
  }
  GiveBack(std::move(slot));
}

void Renderer::RenderMany(const std::vector<RenderJob>& jobs, int threads) {
  if (threads <= 0) threads = lfhost::WorkerPool::DefaultSize();
  const size_t workers = std::min(jobs.size(), static_cast<size_t>(threads));
  std::vector<std::exception_ptr> errors(jobs.size());
  std::atomic<size_t> next{0};
  const auto work = [&] {
    for (size_t i = next++; i < jobs.size(); i = next++) {
      try {
        Render(jobs[i]);
      } catch (...) {
        errors[i] = std::current_exception();
      }
    }
  };
  std::vector<std::thread> running;
  for (size_t i = 1; i < workers; ++i) running.emplace_back(work);
  work();
  for (std::thread& t : running) t.join();
  for (const std::exception_ptr& error : errors) {
    if (error) std::rethrow_exception(error);
  }
}

}  // namespace lfpython
