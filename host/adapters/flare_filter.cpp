#include "host/adapters/flare_filter.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "host/core/host_error.h"
#include "host/core/image_buffer.h"
#include "host/core/module_loader.h"
#include "host/core/worker_pool.h"

namespace lfadapter {
namespace {

// The module and the pool, loaded with the first instance and kept until the
// adapter is unloaded: hosts make an instance per clip or per image, and the
// pool's threads are started once per process (host.md, iterate).
struct ProcessModule {
  explicit ProcessModule(std::unique_ptr<lfhost::EffectModule> m) : module(std::move(m)) {}
  std::unique_ptr<lfhost::EffectModule> module;
  lfhost::WorkerPool pool;
};

ProcessModule& Shared() {
  static std::mutex mutex;
  static std::unique_ptr<ProcessModule> shared;
  const std::lock_guard<std::mutex> lock(mutex);
  if (!shared) {
    const std::string ownDir = lfhost::ObjectDir(reinterpret_cast<const void*>(&Shared));
    const std::string path = lfhost::FindModule(ownDir, LF_ADAPTER_MODULE_FOLDER,
                                                std::string("set ") + lfhost::kModulePathVariable +
                                                    " to the folder that holds it");
    shared = std::make_unique<ProcessModule>(lfhost::EffectModule::Load(path));
  }
  return *shared;
}

}  // namespace

FlareFilter::FlareFilter() : effect_(*Shared().module, Shared().pool) { effect_.Start(); }

void FlareFilter::Render(const uint8_t* in, uint8_t* out, int32_t width, int32_t height,
                         const lfhost::ControlSettings& settings, const lfhost::FrameSettings& frame) {
  const lfhost::ImageBuffer input = lfhost::ImageBuffer::FromRGBA(in, width, height);
  lfhost::ImageBuffer output(width, height);
  const lfhost::CheckedParams values = effect_.Resolve(settings, width, height);
  const lfhost::CommandResult result = effect_.Render(input, output, values, frame);
  if (!result.ok()) throw lfhost::HostError("render failed: " + lfhost::DescribeResult(result));
  const std::vector<uint8_t> rgba = output.ToRGBA();
  std::memcpy(out, rgba.data(), rgba.size());
}

void FlareFilter::RenderFloat(const float* in, float* out, int32_t width, int32_t height,
                              const lfhost::ControlSettings& settings, const lfhost::FrameSettings& frame) {
  const lfhost::CheckedParams values = effect_.Resolve(settings, width, height);
  lfhost::FullFlare flare;
  const lfhost::CommandResult result = effect_.RenderFull(width, height, values, flare, frame);
  if (!result.ok()) throw lfhost::HostError("render failed: " + lfhost::DescribeResult(result));
  const float keep = static_cast<float>(65536 - lfhost::BlendWeight(values->blend)) / 65536.0f;
  const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
  for (size_t i = 0; i < pixels; ++i) {
    for (int c = 0; c < 3; ++c) {
      const float p = in[4 * i + c];
      const float a = flare.rgb[3 * i + c] * keep;
      out[4 * i + c] = a == 0.0f ? p : p + (1.0f - p) * a;
    }
    out[4 * i + 3] = in[4 * i + 3];
  }
}

void ReportError(const std::string& message) { std::fprintf(stderr, "lensflare: %s\n", message.c_str()); }

}  // namespace lfadapter
