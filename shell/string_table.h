// The localized string table the module registers with the host at global setup.
#pragma once

#include <cstdint>

#include "shell/host_protocol.h"

// Entry indices; the index is also the number that ends each entry's key.
enum StringIndex : int32_t {
  kStrAbout = 0,
  kStrFlareBrightness = 1,
  kStrFlareCenter = 2,
  kStrLensType = 3,
  kStrLensChoices = 4,
  kStrOutOfMemory = 5,
  kStrBlendWithOriginal = 6,
};

inline constexpr int kStringCount = 7;

extern "C" {
// The exported reference the host reads to find the table.
extern const StringTableRecord* const NRVN_Lens_Flare_G_zref;
}
