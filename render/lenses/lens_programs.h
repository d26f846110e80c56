// The lenses: what each is called on the Lens Type popup and the program that
// draws it. This table is the one list of lenses: the render dispatches through
// it and the popup's choices and their count are built from it.
#pragma once

#include <cstdint>
#include <iterator>

#include "render/flare_context.h"

void Zoom50To300LensProgram(FlareFrame& frame, FlareContext& context);
void Prime35LensProgram(FlareFrame& frame, FlareContext& context);
void Prime105LensProgram(FlareFrame& frame, FlareContext& context);

struct LensTableEntry {
  const char* name;  // the popup's choice text
  void (*program)(FlareFrame& frame, FlareContext& context);
};

// In popup order: Lens Type n (from 1) draws with kLenses[n - 1].
inline constexpr LensTableEntry kLenses[] = {
    {"50-300mm Zoom", &Zoom50To300LensProgram},
    {"35mm Prime", &Prime35LensProgram},
    {"105mm Prime", &Prime105LensProgram},
};

inline constexpr int16_t kLensCount = static_cast<int16_t>(std::size(kLenses));
