#include "render/render_flare.h"

#include <cstdlib>

#include "render/lenses/lens_programs.h"
#include "render/profile_allocation.h"

#ifdef LF_TEST_SEAMS
ProfileAllocation gProfileAllocation = {
    [](size_t bytes) { return std::malloc(bytes); },
    [](void* block) { std::free(block); },
};
#endif

// A profile sample per quarter pixel of radius: 16 per pixel of width covers the
// frame up to 100 %; brighter flares reach further at 10 per pixel per unit of
// brightness.
int32_t ProfileLengthFor(int32_t width, float brightness) {
  float widthF = static_cast<float>(width);
  if (brightness > 1.0f) return static_cast<int32_t>((widthF * brightness) * 10.0f);
  return static_cast<int32_t>(widthF * 16.0f);
}

void RenderFlare(EffectParams params, PixelWorld* output, FlareContext& context) {
  int32_t width = output->width;
  int32_t height = output->height;
  float widthF = static_cast<float>(width);
  float heightF = static_cast<float>(height);
  float aspect = PixelAspect(context);

  const PointValue& center = params[kParamFlareCenter]->value.point;
  float centerX = static_cast<float>(static_cast<double>(center.x) * (1.0 / 65536.0) /
                                     static_cast<double>(widthF));
  float centerY = static_cast<float>(static_cast<double>(center.y) * (1.0 / 65536.0) /
                                     static_cast<double>(heightF));

  float brightness = static_cast<float>(params[kParamFlareBrightness]->value.floatSlider.value);
  if (brightness < kLowestDrawnBrightness) brightness = kLowestDrawnBrightness;
  brightness = brightness / 100.0f;

  context.profileLength = ProfileLengthFor(width, brightness);

  // Not cleared: every element builds its profile in set mode before stamping.
  size_t length = static_cast<size_t>(context.profileLength);
  context.profileRed = static_cast<uint8_t*>(AllocateProfile(length));
  if (context.profileRed == nullptr) {
    StoreStatus(context, kErrRendererOutOfMemory);
    return;
  }
  context.profileGreen = static_cast<uint8_t*>(AllocateProfile(length));
  if (context.profileGreen == nullptr) {
    ReleaseProfile(context.profileRed);
    StoreStatus(context, kErrRendererOutOfMemory);
    return;
  }
  context.profileBlue = static_cast<uint8_t*>(AllocateProfile(length));
  if (context.profileBlue == nullptr) {
    ReleaseProfile(context.profileRed);
    ReleaseProfile(context.profileGreen);
    StoreStatus(context, kErrRendererOutOfMemory);
    return;
  }

  FlareFrame& frame = context.frame;
  frame.brightness = brightness;
  frame.centerX = centerX;
  frame.centerY = centerY;
  frame.height = static_cast<int16_t>(height);
  frame.width = static_cast<int16_t>(width);
  frame.squareWidth = static_cast<int16_t>(static_cast<int32_t>(widthF * aspect));
  frame.pixels = output->data + 1;  // the red byte: alpha is never written
  frame.rowBytes = output->rowBytes;
  frame.pixelBytes = 4;

  // The popup declares one choice per lens; the host delivers no other value.
  const int16_t lensType = static_cast<int16_t>(params[kParamLensType]->value.popup.value);
  if (lensType >= 1 && lensType <= kLensCount) kLenses[lensType - 1].program(frame, context);

  // Released whatever the program left in status.
  ReleaseProfile(context.profileRed);
  ReleaseProfile(context.profileGreen);
  ReleaseProfile(context.profileBlue);
}

int32_t CheckAbort(FlareContext& context) {
  return context.host->abortCheck(context.host->effectRef);
}

void ReportProgress(FlareContext& context, int32_t done, int32_t total) {
  context.host->progress(context.host->effectRef, done, total);
}
