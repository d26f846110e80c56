// What the fuzz targets share: the controls the module declares (the readers
// of control values check against them), and the way a render uses controls
// once they are read, with the promise that goes with it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>

#include "host/core/effect_instance.h"
#include "host/core/host_error.h"
#include "host/core/keyframes.h"
#include "host/core/module_loader.h"
#include "host/core/worker_pool.h"

namespace lffuzz {

inline std::string Text(const uint8_t* data, size_t size) { return std::string(reinterpret_cast<const char*>(data), size); }

// The module built beside the targets, or the one LENSFLARE_FUZZ_PLUGIN names.
// Loaded once and kept for the whole run (never unloaded, so nothing of it is
// torn down while the fuzzer still runs).
inline const lfhost::EffectModule& Module() {
  static const lfhost::EffectModule* module = [] {
    const char* path = std::getenv("LENSFLARE_FUZZ_PLUGIN");
    return lfhost::EffectModule::Load(path && *path ? path : LF_FUZZ_PLUGIN_PATH).release();
  }();
  return *module;
}

inline lfhost::WorkerPool& Pool() {
  static lfhost::WorkerPool* pool = new lfhost::WorkerPool(1);
  return *pool;
}

inline const lfhost::EffectControls& Controls() {
  static const lfhost::EffectInstance* effect = [] {
    auto* instance = new lfhost::EffectInstance(Module(), Pool());
    instance->Start();
    return instance;
  }();
  return effect->controls();
}

// A fault in the code under test rather than in the input: stops the run so
// that libFuzzer keeps the input.
[[noreturn]] inline void Broken(const std::string& what) {
  std::fprintf(stderr, "broken promise: %s\n", what.c_str());
  std::abort();
}

// What a render does with controls it has read: checks every constant and key
// against the declared ranges, then resolves each frame it renders. Values
// between keys lie between checked values, so once the check passes, no frame
// may be refused: frames around every key and between each two are resolved.
inline void UseAsRenderDoes(const lfhost::AnimatedControls& controls, int32_t width, int32_t height) {
  const lfhost::EffectControls& declared = Controls();
  std::optional<lfhost::CheckedControls> checked;
  try {
    checked.emplace(controls, declared, width, height);
  } catch (const lfhost::HostError&) {
    return;
  }
  std::set<int64_t> frames{0};
  auto around = [&](const auto& track) {
    int64_t previous = -1;
    for (const auto& entry : track.keys) {
      const int64_t key = entry.first;
      frames.insert({key - 1, key, key + 1});
      if (previous >= 0) frames.insert({previous + (key - previous) / 3, previous + (key - previous) / 2});
      previous = key;
      if (frames.size() > 256) return;
    }
  };
  around(controls.center);
  around(controls.brightness);
  around(controls.lensType);
  around(controls.blend);
  lfhost::KeyframesOutside(controls, 1, 100);
  // Each frame's values skip the check; they must pass it all the same.
  for (const int64_t frame : frames) {
    try {
      lfhost::ResolveParams(controls.At(frame, width, height), declared, width, height);
      lfhost::CheckParams(checked->At(frame).values(), declared);
    } catch (const lfhost::HostError& e) {
      Broken("frame " + std::to_string(frame) + " refused after its keys were accepted: " + e.what());
    }
  }
}

}  // namespace lffuzz
