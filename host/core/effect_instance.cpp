#include "host/core/effect_instance.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "host/core/host_error.h"
#include "host/core/rand_sequence.h"
#include "render/hypot_table.h"
#include "render/render_flare.h"

namespace lfhost {
namespace {

// The module draws its ray jitter from rand(), which the host seeds right before
// each render command, on the render thread. Where the module's rand is a
// per-thread generator (lensflare's own), or one that draws from a state the
// instance binds for the command (a namespaced load's, see
// LoadOptions::randLibrary), renders run side by side. Where it is the C library's single process-wide
// state, render commands take turns around their srand, or one render's srand
// would shift another's rays.
std::mutex gRenderCommandMutex;

std::string Size(int32_t w, int32_t h) { return std::to_string(w) + "x" + std::to_string(h); }

// Binds an instance's rand state to the render thread for one command, and
// lets go after it, so no thread keeps a pointer into an instance.
class BoundRand {
 public:
  BoundRand(const RandBinding& binding, RandState* state) : bind_(state ? binding.bind : nullptr) {
    if (bind_) bind_(state);
  }
  ~BoundRand() {
    if (bind_) bind_(nullptr);
  }
  BoundRand(const BoundRand&) = delete;
  BoundRand& operator=(const BoundRand&) = delete;

 private:
  void (*bind_)(RandState*);
};

}  // namespace

uint32_t FrameSeed(uint32_t seed, int64_t frame) {
  return static_cast<uint32_t>(seed + static_cast<uint64_t>(frame) * 2654435761u);
}

EffectInstance::EffectInstance(const EffectModule& module, WorkerPool& pool, CancelToken* cancel)
    : module_(module), host_(pool, cancel) {
  if (module_.rand().bind) randState_ = std::make_unique<RandState>(SeededRand(1));
  host_.Connect(in_);
  in_.pixelAspectNum = 1;
  in_.pixelAspectDen = 1;
}

EffectInstance::~EffectInstance() {
  try {
    Shutdown();
  } catch (...) {
  }
}

std::vector<std::string> EffectInstance::Shutdown() {
  if (!shutDown_) {
    shutDown_ = true;
    if (sequenceData_) SequenceSetdown();
    if (globalSetUp_) GlobalSetdown();
    if (validator_) validator_->ReportLeakedHandles();
  }
  return violations();
}

Validator& EffectInstance::Validate() {
  if (!validator_) {
    validator_ = std::make_unique<Validator>(host_);
    host_.SetObserver(validator_.get());
  }
  return *validator_;
}

CommandResult EffectInstance::Send(int32_t command, CommandOutput& out) {
  out = CommandOutput{};
  out.globalData = globalData_;
  out.sequenceData = sequenceData_;
  return Dispatch(command, out);
}

CommandResult EffectInstance::Dispatch(int32_t command, CommandOutput& out) {
  in_.globalData = globalData_;
  in_.sequenceData = sequenceData_;
  if (validator_) validator_->BeforeCommand(command, in_, out);

  CommandResult result;
  result.command = command;
  {
    HostServices::Activation active(host_);
    result.code = module_.filterMain()(command, &in_, &out, currentParams_, currentOutput_);
  }
  result.outFlags = out.outFlags;
  const size_t messageLength = strnlen(out.message, kMessageBufferBytes);
  result.message.assign(out.message, messageLength);

  if (validator_) validator_->AfterCommand(result, in_, out);
  if (!IsHandledCommand(command)) return result;
  globalData_ = out.globalData;
  sequenceData_ = out.sequenceData;
  if (command == kCmdGlobalSetup && result.ok()) globalSetUp_ = true;
  if (command == kCmdGlobalSetdown) globalSetUp_ = paramsSetUp_ = false;
  return result;
}

CommandResult EffectInstance::GlobalSetup() { return Send(kCmdGlobalSetup); }

CommandResult EffectInstance::GlobalSetdown() { return Send(kCmdGlobalSetdown); }

CommandResult EffectInstance::SetupParams() {
  host_.ClearDeclaredParams();
  CommandResult r = Send(kCmdParamsSetup);
  paramsSetUp_ = r.ok();
  controls_.reset();
  if (paramsSetUp_) controls_ = std::make_unique<EffectControls>(EffectControls::FromDeclared(host_.declaredParams()));
  return r;
}

CommandResult EffectInstance::SequenceSetup() { return Send(kCmdSequenceSetup); }
CommandResult EffectInstance::SequenceResetup() { return Send(kCmdSequenceResetup); }
CommandResult EffectInstance::SequenceFlatten() { return Send(kCmdSequenceFlatten); }
CommandResult EffectInstance::SequenceSetdown() { return Send(kCmdSequenceSetdown); }
CommandResult EffectInstance::About() { return Send(kCmdAbout); }

void EffectInstance::Start() {
  const CommandResult setup = GlobalSetup();
  if (!setup.ok()) throw HostError(module_.path() + ": global setup failed: " + DescribeResult(setup));
  const CommandResult params = SetupParams();
  if (!params.ok()) throw HostError(module_.path() + ": parameter setup failed: " + DescribeResult(params));
}

std::string EffectInstance::AboutText() { return ShowLineBreaks(About().message); }

const EffectControls& EffectInstance::controls() const {
  if (!controls_) throw HostError("the plug-in's parameters are not set up");
  return *controls_;
}

ParamValues EffectInstance::DefaultValues(int32_t width, int32_t height) const {
  return DefaultParamValues(controls(), width, height);
}

CheckedParams EffectInstance::Resolve(const ControlSettings& settings, int32_t width, int32_t height) const {
  return ResolveParams(settings, controls(), width, height);
}

ParamRecord EffectInstance::MakeRecord(const DeclaredParam& declared) const { return declared.record; }

CommandResult EffectInstance::Render(const ImageBuffer& input, ImageBuffer& output, const CheckedParams& checked,
                                     const FrameSettings& frame, OutputStart start) {
  const ParamValues& values = checked.values();
  const EffectControls& c = controls();
  if (input.empty() || output.empty()) throw HostError("render: no frame");
  if (input.width() > kMaxFrameSide || input.height() > kMaxFrameSide) {
    throw HostError("frame of " + Size(input.width(), input.height()) +
                    " pixels is too large: the plug-in takes at most 32767 pixels in either dimension");
  }
  if (input.width() != output.width() || input.height() != output.height()) {
    throw HostError("render: input " + Size(input.width(), input.height()) + " and output " +
                    Size(output.width(), output.height()) + " differ in size");
  }
  if (frame.pixelAspectNum <= 0 || frame.pixelAspectDen == 0) throw HostError("render: pixel aspect ratio must be positive");

  ParamRecord layer{};
  layer.value.layer = *input.world();
  ParamRecord center = MakeRecord(c.center);
  center.value.point.x = values.centerX;
  center.value.point.y = values.centerY;
  ParamRecord brightness = MakeRecord(c.brightness);
  brightness.value.floatSlider.value = values.brightness;
  ParamRecord lens = MakeRecord(c.lensType);
  lens.value.popup.value = values.lensType;
  ParamRecord blend = MakeRecord(c.blend);
  blend.value.fixedSlider.value = values.blend;
  ParamRecord* params[kParamCount] = {&layer, &center, &brightness, &lens, &blend};

  in_.pixelAspectNum = frame.pixelAspectNum;
  in_.pixelAspectDen = frame.pixelAspectDen;
  host_.AdmitWorld(input);
  host_.AdmitWorld(output);
  if (start == OutputStart::InputCopy) host_.HoldsCopy(input, output);
  currentParams_ = params;
  currentOutput_ = output.world();
  CommandResult result;
  {
    const RandBinding& binding = module_.rand();
    std::unique_lock<std::mutex> turn(gRenderCommandMutex, std::defer_lock);
    if (!binding.perThread) turn.lock();
    const BoundRand bound(binding, randState_.get());
    binding.srand(FrameSeed(frame.seed, frame.frame));
    CommandOutput out;
    result = Send(kCmdRender, out);
  }
  currentParams_ = nullptr;
  currentOutput_ = nullptr;
  host_.DismissWorlds();
  if (validator_) validator_->AfterRender(input, output);
  return result;
}

namespace {

// The canvas zeroed for the next flare, in one band a pool thread: a 4K
// canvas is 100 MB of floats, a pass of memory that one thread alone makes
// a large share of a full render.
void ClearCanvas(WorkerPool& pool, std::vector<float, FrameAllocator<float>>& rgb, size_t count) {
  if (rgb.size() != count) {
    rgb.assign(count, 0.0f);
    return;
  }
  const size_t threads = static_cast<size_t>(pool.size());
  pool.RunOnEveryThread([&](int index) {
    const size_t begin = count * static_cast<size_t>(index) / threads;
    const size_t end = count * (static_cast<size_t>(index) + 1) / threads;
    std::fill(rgb.data() + begin, rgb.data() + end, 0.0f);
  });
}

}  // namespace

CommandResult EffectInstance::RenderFull(int32_t width, int32_t height, const CheckedParams& checked, FullFlare& flare,
                                         const FrameSettings& frame) {
  const ParamValues& values = checked.values();
  if (width <= 0 || height <= 0) throw HostError("render: no frame");
  if (width > kMaxFrameSide || height > kMaxFrameSide) {
    throw HostError("frame of " + Size(width, height) +
                    " pixels is too large: the plug-in takes at most 32767 pixels in either dimension");
  }
  if (frame.pixelAspectNum <= 0 || frame.pixelAspectDen == 0) throw HostError("render: pixel aspect ratio must be positive");

  flare.width = width;
  flare.height = height;
  ClearCanvas(host_.pool(), flare.rgb, 3 * static_cast<size_t>(width) * static_cast<size_t>(height));
  in_.pixelAspectNum = frame.pixelAspectNum;
  in_.pixelAspectDen = frame.pixelAspectDen;
  // The context (its hypot table filled once) serves every full render of the
  // instance, as the module's sequence block serves its renders.
  if (!fullContext_) {
    fullContext_ = std::make_unique<FlareContext>();
    FillHypotTable(fullContext_->hypotTable);
  }
  FlareContext* shared = fullContext_.get();
  shared->host = &in_;
  const FullFlareRequest request{width, height, values.centerX, values.centerY, values.brightness,
                                 static_cast<int16_t>(values.lensType)};
  int16_t status;
  {
    // Seeded as the render command is, on this thread: the renderer linked here
    // draws from the same rand() the module would.
    const RandBinding binding = ProcessRand();
    std::unique_lock<std::mutex> turn(gRenderCommandMutex, std::defer_lock);
    if (!binding.perThread) turn.lock();
    binding.srand(FrameSeed(frame.seed, frame.frame));
    HostServices::Activation active(host_);
    status = RenderFullFlare(request, *shared, flare.rgb.data());
  }
  CommandResult result;
  result.command = kCmdRender;
  result.code = status == kStatusOk ? 0 : status == kStatusAborted ? kErrCancelled : status;
  return result;
}

}  // namespace lfhost
