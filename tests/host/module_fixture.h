// The real module, loaded once for all protocol and host tests, and a worker pool
// with more threads than the machine has cores so that iterate really runs
// invocations concurrently.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/core/effect_instance.h"
#include "host/core/host_error.h"
#include "host/core/module_loader.h"
#include "host/core/worker_pool.h"

namespace lftest {

// What Shutdown() returns for a module that kept the protocol.
inline const std::vector<std::string> kNoFaults;

inline const lfhost::EffectModule& TestModule() {
  static const std::unique_ptr<lfhost::EffectModule> module = lfhost::EffectModule::Load(LF_TEST_PLUGIN_PATH);
  return *module;
}

inline lfhost::WorkerPool& TestPool() {
  static lfhost::WorkerPool pool(3);
  return pool;
}

// An instance after global and parameter setup, validated: Shutdown() reports
// every protocol fault.
inline std::unique_ptr<lfhost::EffectInstance> StartedEffect() {
  auto effect = std::make_unique<lfhost::EffectInstance>(TestModule(), TestPool());
  effect->Validate();
  effect->Start();
  return effect;
}

inline lfhost::ImageBuffer OpaqueFrame(int32_t width, int32_t height, uint8_t r = 0, uint8_t g = 0, uint8_t b = 0) {
  lfhost::ImageBuffer frame(width, height);
  frame.Fill(255, r, g, b);
  return frame;
}

// The message of the HostError that f throws, or "(no error)".
inline std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const lfhost::HostError& e) {
    return e.what();
  }
  return "(no error)";
}

}  // namespace lftest
