// The three lens programs, one per Lens Type value.
#pragma once

#include "render/flare_context.h"

void Zoom50To300LensProgram(FlareFrame& frame, FlareContext& context);  // 1 "50-300mm Zoom"
void Prime35LensProgram(FlareFrame& frame, FlareContext& context);      // 2 "35mm Prime"
void Prime105LensProgram(FlareFrame& frame, FlareContext& context);     // 3 "105mm Prime"
