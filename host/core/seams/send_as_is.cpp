#include "host/core/seams/send_as_is.h"

namespace lfhost {

CommandResult SendAsIs(EffectInstance& effect, int32_t command, CommandOutput& out) {
  return effect.Dispatch(command, out);
}

}  // namespace lfhost
