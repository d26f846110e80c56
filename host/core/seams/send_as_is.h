// A command sent with the caller's output record exactly as given, without the
// host preparing it, so protocol tests can see what the module leaves alone or
// writes into a record they filled. Test seams only (lf_host_core_seams).
#pragma once

#include <cstdint>

#include "host/core/effect_instance.h"

namespace lfhost {

CommandResult SendAsIs(EffectInstance& effect, int32_t command, CommandOutput& out);

}  // namespace lfhost
