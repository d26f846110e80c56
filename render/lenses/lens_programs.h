// The lenses: what each is called on the Lens Type popup and the program that
// draws it. This table is the one list of lenses: the render dispatches through
// it and the popup's choices and their count are built from it. Each program is
// written once, over the kit it draws with, and built for both kits.
#pragma once

#include <cstdint>
#include <iterator>

#include "render/flare_context.h"
#include "render/full_context.h"

template <class Context>
void Zoom50To300LensProgram(FlareFrame& frame, Context& context);
template <class Context>
void Prime35LensProgram(FlareFrame& frame, Context& context);
template <class Context>
void Prime105LensProgram(FlareFrame& frame, Context& context);

struct LensTableEntry {
  const char* name;  // the popup's choice text
  void (*program)(FlareFrame& frame, FlareContext& context);
  void (*fullProgram)(FlareFrame& frame, FullFlareContext& context);
};

// In popup order: Lens Type n (from 1) draws with kLenses[n - 1].
inline constexpr LensTableEntry kLenses[] = {
    {"50-300mm Zoom", &Zoom50To300LensProgram<FlareContext>, &Zoom50To300LensProgram<FullFlareContext>},
    {"35mm Prime", &Prime35LensProgram<FlareContext>, &Prime35LensProgram<FullFlareContext>},
    {"105mm Prime", &Prime105LensProgram<FlareContext>, &Prime105LensProgram<FullFlareContext>},
};

inline constexpr int16_t kLensCount = static_cast<int16_t>(std::size(kLenses));
