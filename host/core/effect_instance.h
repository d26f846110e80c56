// One instance of the effect: drives FilterMain through its lifecycle (global
// setup, parameter setup, sequence setup, renders, setdowns). With Validate(),
// a Validator also checks that the module keeps the protocol (command order,
// handles handed back, numParams, message flag and buffer, guards of every
// world) and collects the faults in violations(); host-side refusals throw HostError.
//
// Typical use:
//   auto module = EffectModule::Load(path);
//   WorkerPool pool;                                  // once per process
//   EffectInstance effect(*module, pool);
//   effect.Start();                                   // commands 1 and 4, throws on failure
//   CheckedParams v = effect.Resolve(settings, w, h); // or Defaults(w, h)
//   CommandResult r = effect.Render(input, output, v, {.seed = 0, .frame = n});
//   if (!r.ok()) error(DescribeResult(r));
//   // the destructor sends sequence and global setdown and reports leaks
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/core/command_result.h"
#include "host/core/effect_params.h"
#include "host/core/frame_memory.h"
#include "host/core/host_callbacks.h"
#include "host/core/image_buffer.h"
#include "host/core/module_loader.h"
#include "host/core/validator.h"

// The renderer's context (render/flare_context.h), for RenderFull.
struct FlareContext;

namespace lfhost {

struct FrameSettings {
  uint32_t seed = 0;            // srand(FrameSeed(seed, frame)) right before the render command
  int64_t frame = 0;            // a single image is frame 0
  int32_t pixelAspectNum = 1;
  uint32_t pixelAspectDen = 1;
};

// The rays' seed for a frame: (seed + frame x 2654435761) mod 2^32, so frame 0
// keeps the seed, and neighbouring frames and neighbouring seeds never share a
// sequence (the C library's srand(0) and srand(1) give the same one, so a plain
// seed + frame would repeat rays).
uint32_t FrameSeed(uint32_t seed, int64_t frame);

// What the output world holds when Render is called. The render command
// begins by copying the input into the output (copyWorld); a caller that has
// already written the input's pixels into both worlds, in its one pass over
// its own pixels, says InputCopy and that copy is skipped. The module reads
// the output only after that copy, so the rendered bytes are the same.
enum class OutputStart {
  Any,         // whatever it holds: the copy is made
  InputCopy,   // the input's pixels, byte for byte: the copy is skipped
};

// The flare over black at full precision: R, G, B floats a pixel, rows packed,
// as shares of full scale in the layer's sRGB encoding (0 to about 1).
struct FullFlare {
  int32_t width = 0;
  int32_t height = 0;
  // Frame memory (huge pages): the stamps and streaks pass over it many times
  // a frame, and a 1080p canvas is 25 MB that small pages would fault in and
  // map 6,000 at a time.
  std::vector<float, FrameAllocator<float>> rgb;

  const float* row(int32_t y) const { return rgb.data() + 3 * static_cast<size_t>(y) * static_cast<size_t>(width); }
};

// The module and the pool must outlive the instance. An instance is used from
// one thread at a time; separate instances may render on separate threads
// (their render commands take turns unless rand is per thread, see Render).
class EffectInstance {
 public:
  EffectInstance(const EffectModule& module, WorkerPool& pool, CancelToken* cancel = nullptr);
  // Sends sequence setdown and global setdown if still needed, then reports
  // handles still alive as violations when validated.
  ~EffectInstance();
  EffectInstance(const EffectInstance&) = delete;
  EffectInstance& operator=(const EffectInstance&) = delete;

  HostServices& host() { return host_; }
  // Attaches a Validator (once; later calls return the same) and returns it.
  // Attach it before the first command.
  Validator& Validate();
  bool validated() const { return validator_ != nullptr; }
  const EffectModule& module() const { return module_; }
  void SetProgressSink(ProgressSink sink) { host_.SetProgressSink(std::move(sink)); }

  // Global setup then parameter setup; throws HostError with DescribeResult's
  // text if either fails.
  void Start();
  // The About text with its line breaks shown; needs Start().
  std::string AboutText();

  // ---- One command each ----------------------------------------------------
  CommandResult GlobalSetup();        // 1
  CommandResult GlobalSetdown();      // 3
  CommandResult SetupParams();        // 4
  CommandResult SequenceSetup();      // 5
  CommandResult SequenceResetup();    // 6
  CommandResult SequenceFlatten();    // 7
  CommandResult SequenceSetdown();    // 8
  CommandResult About();              // 0
  // Command 11: srand(FrameSeed(seed, frame)), then FilterMain with the input
  // layer and the four values. Where the module draws from the C library's
  // single rand() state, render commands of all instances in the process take
  // turns; with lensflare's per-thread rand, or a rand library that binds the
  // instance's own state for the command, they run side by side.
  // Throws HostError, before any module call, for: a frame wider or
  // taller than 32767, input and output of different sizes, parameters not yet
  // set up. The values were checked when they were made.
  CommandResult Render(const ImageBuffer& input, ImageBuffer& output, const CheckedParams& values,
                       const FrameSettings& frame = {}, OutputStart start = OutputStart::Any);

  // The same flare as Render over opaque black with Blend With Original 0
  // (its low-brightness fade included), drawn by the renderer library this
  // program links at full precision rather than by the module: same controls,
  // seed, pixel aspect, worker pool, cancel and progress. `values.blend` is the
  // caller's to apply. Throws HostError as Render does; the result's code is
  // what the render command would answer.
  CommandResult RenderFull(int32_t width, int32_t height, const CheckedParams& values, FullFlare& flare,
                           const FrameSettings& frame = {});

  // Any command with the current records; `out` starts as the host prepares
  // it (handles filled in).
  CommandResult Send(int32_t command, CommandOutput& out);
  // The same with a fresh output record the caller does not need.
  CommandResult Send(int32_t command) {
    CommandOutput out;
    return Send(command, out);
  }

  // ---- Controls ------------------------------------------------------------
  const EffectControls& controls() const;   // throws HostError before SetupParams
  ParamValues DefaultValues(int32_t width, int32_t height) const;
  CheckedParams Defaults(int32_t width, int32_t height) const { return Check(DefaultValues(width, height)); }
  // Values the module accepts; each throws HostError (usage) naming the
  // control on a refusal.
  CheckedParams Check(const ParamValues& values) const { return CheckParams(values, controls()); }
  CheckedParams Resolve(const ControlSettings& settings, int32_t width, int32_t height) const;

  // ---- State, for tests and tools -------------------------------------------
  Handle globalData() const { return globalData_; }
  Handle sequenceData() const { return sequenceData_; }
  const CommandInput& commandInput() const { return in_; }
  // What the Validator found; nothing without one.
  std::vector<std::string> violations() const { return validator_ ? validator_->violations() : std::vector<std::string>{}; }
  // Sends the setdowns now and returns what the leak check found.
  std::vector<std::string> Shutdown();

 private:
  // The protocol tests' seam (host/core/seams/send_as_is.h): a command with the
  // caller's output record as it is.
  friend CommandResult SendAsIs(EffectInstance& effect, int32_t command, CommandOutput& out);
  // Sends `out` as it is.
  CommandResult Dispatch(int32_t command, CommandOutput& out);
  ParamRecord MakeRecord(const DeclaredParam& declared) const;

  const EffectModule& module_;
  HostServices host_;
  std::unique_ptr<Validator> validator_;
  CommandInput in_{};
  Handle globalData_ = nullptr;
  Handle sequenceData_ = nullptr;
  bool globalSetUp_ = false;
  bool paramsSetUp_ = false;
  bool shutDown_ = false;
  std::unique_ptr<EffectControls> controls_;
  // The records of the render command in flight (null outside Render).
  EffectParams currentParams_ = nullptr;
  PixelWorld* currentOutput_ = nullptr;
  // The rand state this instance's renders draw from, where the module's rand
  // library binds one (RandBinding::bind); otherwise the thread's.
  std::unique_ptr<RandState> randState_;
  // The renderer's context for RenderFull, made at the first.
  std::unique_ptr<FlareContext> fullContext_;
};

}  // namespace lfhost
