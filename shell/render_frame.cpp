// The render command: copy the input into the output, draw the flare over it,
// turn the renderer's status into the command's result, and blend the untouched
// input back by Blend With Original and the low-brightness fade.
#include "render/flare_context.h"
#include "render/render_flare.h"
#include "shell/command_handlers.h"
#include "shell/string_table.h"

namespace {

// worldPass directions: 1 before the module writes into a world, 0 when it is done.
constexpr int32_t kWorldPassBegin = 1;
constexpr int32_t kWorldPassEnd = 0;

}  // namespace

int32_t Render(CommandInput* in, CommandOutput* out, EffectParams params, PixelWorld* output) {
  HostCallbacks* host = in->callbacks;
  int32_t setupResult = 0;
  if (in->sequenceData == nullptr) setupResult = SetupSequence(in, out, params, output);

  PixelWorld* input = &params[kParamInputLayer]->value.layer;
  // Even without a sequence block the output receives a plain copy of the input.
  host->copyWorld(in->effectRef, input, output, nullptr, nullptr);
  if (setupResult != 0) return setupResult;

  int32_t passResult = host->worldPass(in->effectRef, kWorldPassBegin, output);
  if (passResult != 0) return passResult;

  // SetupSequence stored any new handle in `in` too, so `in` always holds the block.
  FlareContext& context = static_cast<SequenceData*>(*in->sequenceData)->context;
  StoreStatus(context, kStatusOk);
  context.host = in;
  float fade = LowBrightnessFade(params[kParamFlareBrightness]->value.floatSlider.value);

  RenderFlare(params, output, context);

  int32_t result;
  int16_t status = LoadStatus(context);
  switch (status) {
    case kStatusOk:
      result = host->worldPass(in->effectRef, kWorldPassEnd, output);
      break;
    case kErrOutOfMemory:  // only ever the host's iterate result, kept in status
      host->formatString(out->message, LookupString(in, kStrOutOfMemory));
      out->outFlags |= kOutFlagDisplayMessage;
      result = kErrOutOfMemory;
      break;
    case kStatusAborted:  // a lens program saw abortCheck between two of its steps
      result = kErrCancelled;
      break;
    default:  // -108 from the profile buffers, or a stamp's iterate error, sign-extended
      result = status;
      break;
  }

  // The partly drawn frame of an abort or error is blended just the same.
  int32_t ratio = BlendRatio(params[kParamBlendWithOriginal]->value.fixedSlider.value, fade);
  host->blend(in->effectRef, output, input, ratio, output);
  return result;
}
