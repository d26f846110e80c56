// FilterMain: the host's one way into the module. One switch over the command
// codes, one small handler per command; the handlers live in the files named
// after them.
#include <cstdint>
#include <exception>

#include "shell/command_handlers.h"

namespace {

int32_t Dispatch(int32_t command, CommandInput* in, CommandOutput* out, EffectParams params,
                 PixelWorld* output) {
  // Compared unsigned, so every negative code falls out here with the codes above 11.
  if (static_cast<uint32_t>(command) > static_cast<uint32_t>(kCmdRender)) return 0;
  switch (command) {
    case kCmdAbout:
      return About(in, out);
    case kCmdGlobalSetup:
      return GlobalSetup(in, out);
    case kCmdGlobalSetdown:
      return GlobalSetdown(in, out);
    case kCmdParamsSetup:
      return SetupParams(in, out, params, output);
    case kCmdSequenceSetup:
    case kCmdSequenceResetup:
      return SetupSequence(in, out, params, output);
    case kCmdSequenceFlatten:  // nothing is ever stored: flatten is a setdown
    case kCmdSequenceSetdown:
      return SequenceSetdown(in, out);
    case kCmdRender:
      return Render(in, out, params, output);
    default:  // 2, 9 and 10 ask nothing of this effect
      return 0;
  }
}

}  // namespace

// No exception may cross into the host. The handlers allocate nothing through
// C++ (handles come from the host, profile buffers from malloc), so the only one
// that could arise is a std::bad_alloc from the library; whatever it is, the host
// hears the module's out-of-memory code 4, the answer it already knows how to
// show, rather than a code it could mistake for one of its own errors.
extern "C" __attribute__((visibility("default"))) int32_t FilterMain(
    int32_t command, CommandInput* in, CommandOutput* out, EffectParams params,
    PixelWorld* output) {
  try {
    return Dispatch(command, in, out, params, output);
  } catch (...) {
    return kErrOutOfMemory;
  }
}
