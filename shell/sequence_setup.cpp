// The per-sequence block: a FlareContext whose distance table is filled once here.
#include "render/flare_context.h"
#include "render/hypot_table.h"
#include "shell/command_handlers.h"
#include "shell/string_table.h"

// Setup and resetup alike always start from a fresh block: whatever the host hands
// back is disposed of first.
int32_t SetupSequence(CommandInput* in, CommandOutput* out, EffectParams, PixelWorld*) {
  HostCallbacks* host = in->callbacks;
  if (in->sequenceData != nullptr) {
    host->disposeHandle(in->sequenceData);
    out->sequenceData = nullptr;
  }
  Handle handle = host->newHandle(sizeof(SequenceData));
  if (handle != nullptr) {
    out->sequenceData = handle;
    in->sequenceData = handle;
    host->lockHandle(handle);
    FillHypotTable(static_cast<SequenceData*>(*handle)->context.hypotTable);
    host->unlockHandle(handle);
    return 0;
  }
  host->formatString(out->message, LookupString(in, kStrOutOfMemory));
  out->outFlags |= kOutFlagDisplayMessage;
  return kErrOutOfMemory;
}

// Flatten and setdown alike: nothing of a sequence is ever stored. in.sequenceData
// is left as the host gave it.
int32_t SequenceSetdown(CommandInput* in, CommandOutput* out) {
  if (in->sequenceData != nullptr) {
    in->callbacks->disposeHandle(in->sequenceData);
    out->sequenceData = nullptr;
  }
  return 0;
}
