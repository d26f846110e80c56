// PluginDataEntryFunction: the loader's way to learn the effect's names and entry
// point without reading the property list.
#include <cstdint>
#include <cstdlib>

#include "shell/host_protocol.h"

namespace {

struct EffectEntry {
  const char* nameKey;
  const char* matchName;
  const char* categoryKey;
  const char* entryPoint;
  uint32_t trailingWord;
};

struct RegistrationRecord {
  int32_t entryCount;
  EffectEntry entries[1];
};

// The loader's keys differ from the property list's; the display texts agree.
constexpr EffectEntry kLensFlareEntry = {
    "$$$/VX/Effect/Name/LensFlare=Lens Flare",
    "NRVN Lens Flare",
    "$$$/Pixwell/FiltersAndEffects/Category/Generate=Generate",
    "FilterMain",
    0,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) int32_t PluginDataEntryFunction(
    void* hostData, RegisterEffectFn registerEffect) {
  auto* record = static_cast<RegistrationRecord*>(std::malloc(sizeof(RegistrationRecord)));
  // Without memory for the list there is nothing to register; the loader hears
  // out of memory rather than an empty success.
  if (record == nullptr) return kErrOutOfMemory;
  record->entryCount = 1;
  record->entries[0] = kLensFlareEntry;

  int32_t result = 0;
  for (int32_t i = 0; i < record->entryCount && result == 0; ++i) {
    const EffectEntry& entry = record->entries[i];
    result = registerEffect(hostData, entry.nameKey, entry.matchName, entry.categoryKey,
                            entry.entryPoint, kEffectKindFourCC, kInterfaceMajor, kInterfaceMinor,
                            entry.trailingWord);
  }
  std::free(record);
  return result;
}
