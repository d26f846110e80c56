// The flare for Python, without Python: one loaded module shared by every
// render of a process's Effect, and the renders themselves on plain arrays of
// pixels. 8-bit R, G, B(, A) pixels go through the plug-in as the tool renders
// an 8-bit image; 16-bit, half and float pixels are plates, composited at
// their own precision as the tool composites deep plates (plate_composite.h).
//
// The module is loaded into a link namespace of its own with a rand that draws
// from each render's own state (LoadOptions::randLibrary): inside an interpreter the executable exports no
// rand, and the C library's single generator would make concurrent renders
// take turns and let one render's seed shift another's rays.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/core/control_values.h"
#include "host/core/effect_instance.h"
#include "host/core/image_buffer.h"
#include "host/core/module_loader.h"
#include "host/core/worker_pool.h"
#include "host/media/plate_composite.h"

namespace lfpython {

enum class Sample { UInt8, UInt16, Half, Float };

// Pixels as the caller holds them: rows of width x channels samples, packed.
struct Pixels {
  const void* in = nullptr;
  void* out = nullptr;   // may be `in` itself
  int32_t width = 0, height = 0, channels = 0;
  Sample sample = Sample::UInt8;
};

// Options for plates deeper than 8 bits, by the name the tool's option has
// (without "--"): "colorspace", "composite". New ones are added in
// ReadDeepOptions only.
struct DeepOptions {
  std::optional<lfhost::CompositeMode> composite;
  std::string colorspace;
  // Deep arrays take the full-precision flare unless "exact" is asked for, as
  // the tool's outputs deeper than 8 bits do.
  lfhost::FlarePrecision precision = lfhost::FlarePrecision::Full;
};
// Throws HostError for an unknown name or a value the option refuses.
DeepOptions ReadDeepOptions(const std::map<std::string, std::string>& given);

// Everything one render needs, settled before any pixel is touched.
struct RenderJob {
  Pixels pixels;
  lfhost::CheckedParams values;
  lfhost::FrameSettings frame;
  std::shared_ptr<const lfhost::PlateLook> look;   // deep plates only
  lfhost::FlarePrecision precision = lfhost::FlarePrecision::Full;   // deep plates only
};

class Renderer {
 public:
  // Loads the module at `plugin`, or the one the tool would find (from
  // LENSFLARE_PLUGIN_PATH, then beside `ownDir`); `threads` worker threads per
  // render, counting the render's own (0: one per processor). `randLibrary`
  // is the rand library to load the module with (bound_rand.cpp).
  Renderer(const std::string& plugin, const std::string& ownDir, const std::string& installedFolder,
           const std::string& randLibrary, int threads);
  ~Renderer();

  const std::string& path() const { return module_->path(); }
  const lfhost::EffectControls& controls() const { return controls_; }
  std::string displayName() const { return module_->displayName(); }

  // Settles a job: `controls` maps "center", "brightness", "lens" and "blend"
  // to values as the command line's options and keys files take them.
  // Throws HostError in their words for a value the controls refuse.
  RenderJob Prepare(const Pixels& pixels, const std::map<std::string, lfhost::ControlInput>& controls,
                    const lfhost::FrameSettings& frame, const std::map<std::string, std::string>& deep) const;

  // Renders a job; safe to call from several threads at once, each render on
  // an effect instance of its own. Throws HostError if the render fails; `out`
  // is then unspecified.
  void Render(const RenderJob& job);
  // In a child process made by fork: the slots' worker threads did not come
  // along, so the slots are let go without being torn down (their pools would
  // wait on threads that are not there) and later renders make new ones. The
  // module stays loaded. Call it with no render in flight in the child.
  void ForgetSlotsAfterFork();
  // Renders every job, `threads` at once (0: one per processor). Throws the
  // first job's error, by job order, after every job has ended.
  void RenderMany(const std::vector<RenderJob>& jobs, int threads);

  // The 8-bit worlds of a render in flight.
  struct Worlds {
    lfhost::ImageBuffer input, output;
  };

 private:
  struct Slot;
  std::unique_ptr<Slot> TakeSlot();
  void GiveBack(std::unique_ptr<Slot> slot);

  // Shared by every Renderer of the same plug-in and rand library, and kept
  // for the life of the process (SharedModule).
  std::shared_ptr<const lfhost::EffectModule> module_;
  int threads_;
  lfhost::EffectControls controls_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Slot>> idle_;
};

}  // namespace lfpython
