// The command handlers behind FilterMain and the small computations they use,
// declared here so that white-box tests can reach them. Nothing in this header
// leaves the module: only FilterMain, PluginDataEntryFunction and the string
// table reference are exported.
#pragma once

#include <cstdint>

#include "shell/host_protocol.h"
#include "render/render_flare.h"

// The block behind CommandInput.globalData: the string reference that
// registerStrings left in the caller's slot.
struct GlobalData {
  void* stringRef;
};

extern "C" int32_t FilterMain(int32_t command, CommandInput* in, CommandOutput* out,
                              EffectParams params, PixelWorld* output);
extern "C" int32_t PluginDataEntryFunction(void* hostData, RegisterEffectFn registerEffect);

// Display text of string table entry `index` (see string_table.h), through the
// string reference held in GlobalData.
const char* LookupString(const CommandInput* in, int32_t index);

int32_t About(CommandInput* in, CommandOutput* out);
int32_t GlobalSetup(CommandInput* in, CommandOutput* out);
int32_t GlobalSetdown(CommandInput* in, CommandOutput* out);
int32_t SetupParams(CommandInput* in, CommandOutput* out, EffectParams params, PixelWorld* output);
int32_t SetupSequence(CommandInput* in, CommandOutput* out, EffectParams params, PixelWorld* output);
int32_t SequenceSetdown(CommandInput* in, CommandOutput* out);
int32_t Render(CommandInput* in, CommandOutput* out, EffectParams params, PixelWorld* output);

// LowBrightnessFade and BlendRatio: render/render_flare.h.
