// The distance table FastHypot reads, filled once per sequence.
#pragma once

#include "render/flare_context.h"

void FillHypotTable(HypotTable& table);
