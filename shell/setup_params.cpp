// The four controls, declared to the host in the order EffectParams delivers them.
// Their ids run 1, 2, 4, 3: Lens Type is 4 and Blend With Original 3.
#include <cstring>

#include "render/lenses/lens_programs.h"
#include "shell/command_handlers.h"
#include "shell/string_table.h"

namespace {

constexpr Fix16 kFix16One = 0x10000;
constexpr Fix16 kFlareCenterDefault = 40 * kFix16One;      // 0x280000
constexpr double kBrightnessDefault = 100.0;
constexpr float kBrightnessMax = 300.0f;
constexpr Fix16 kBlendWithOriginalMax = 100 * kFix16One;  // 0x640000
constexpr int16_t kPercentDisplayFlags = 1;

constexpr int32_t kIdFlareCenter = 1;
constexpr int32_t kIdFlareBrightness = 2;
constexpr int32_t kIdBlendWithOriginal = 3;
constexpr int32_t kIdLensType = 4;

constexpr int32_t kAppendParam = -1;

// A cleared record of the given kind, named from the string table.
void StartDefinition(CommandInput* in, ParamRecord& definition, ParamKind kind, int32_t nameIndex) {
  std::memset(&definition, 0, sizeof definition);
  definition.paramKind = kind;
  in->callbacks->copyString(definition.name, LookupString(in, nameIndex));
}

}  // namespace

int32_t SetupParams(CommandInput* in, CommandOutput* out, EffectParams, PixelWorld*) {
  ParamRecord definition;
  int32_t error;

  StartDefinition(in, definition, kParamPoint, kStrFlareCenter);
  definition.id = kIdFlareCenter;
  PointValue& center = definition.value.point;
  center.x = kFlareCenterDefault;
  center.y = kFlareCenterDefault;
  center.flag = 0;
  center.defaultX = kFlareCenterDefault;
  center.defaultY = kFlareCenterDefault;
  if ((error = in->addParam(in->effectRef, kAppendParam, &definition)) != 0) return error;

  StartDefinition(in, definition, kParamFloatSlider, kStrFlareBrightness);
  definition.id = kIdFlareBrightness;
  FloatSliderValue& brightness = definition.value.floatSlider;
  brightness.value = kBrightnessDefault;
  brightness.validMin = 0.0f;
  brightness.validMax = kBrightnessMax;
  brightness.sliderMin = 0.0f;
  brightness.sliderMax = kBrightnessMax;
  brightness.defaultValue = static_cast<float>(kBrightnessDefault);
  brightness.precision = 0;
  brightness.displayFlags = kPercentDisplayFlags;
  if ((error = in->addParam(in->effectRef, kAppendParam, &definition)) != 0) return error;

  StartDefinition(in, definition, kParamPopup, kStrLensType);
  definition.id = kIdLensType;
  PopupValue& lensType = definition.value.popup;
  lensType.value = 1;
  lensType.numChoices = kLensCount;
  lensType.defaultChoice = 1;
  // The host's own text, not a copy: it stays valid while the table is registered.
  lensType.choices = LookupString(in, kStrLensChoices);
  if ((error = in->addParam(in->effectRef, kAppendParam, &definition)) != 0) return error;

  StartDefinition(in, definition, kParamFixedSlider, kStrBlendWithOriginal);
  definition.id = kIdBlendWithOriginal;
  FixedSliderValue& blend = definition.value.fixedSlider;
  blend.value = 0;
  blend.validMin = 0;
  blend.validMax = kBlendWithOriginalMax;
  blend.sliderMin = 0;
  blend.sliderMax = kBlendWithOriginalMax;
  blend.defaultValue = 0;
  blend.precision = 0;
  blend.displayFlags = kPercentDisplayFlags;
  if ((error = in->addParam(in->effectRef, kAppendParam, &definition)) != 0) return error;

  out->numParams = kParamCount;  // the input layer counts too
  return 0;
}
