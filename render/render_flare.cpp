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

namespace {

// The geometry and brightness every render of a frame starts from, in single
// precision (the centre's division in double).
FlareFrame FrameGeometry(Fix16 centerX16, Fix16 centerY16, double brightnessPercent, int32_t width,
                         int32_t height, float aspect) {
  float widthF = static_cast<float>(width);
  float heightF = static_cast<float>(height);
  float centerX = static_cast<float>(static_cast<double>(centerX16) * (1.0 / 65536.0) /
                                     static_cast<double>(widthF));
  float centerY = static_cast<float>(static_cast<double>(centerY16) * (1.0 / 65536.0) /
                                     static_cast<double>(heightF));

  float brightness = static_cast<float>(brightnessPercent);
  if (brightness < kLowestDrawnBrightness) brightness = kLowestDrawnBrightness;
  brightness = brightness / 100.0f;

  FlareFrame frame{};
  frame.brightness = brightness;
  frame.centerX = centerX;
  frame.centerY = centerY;
  frame.height = static_cast<int16_t>(height);
  frame.width = static_cast<int16_t>(width);
  frame.squareWidth = static_cast<int16_t>(static_cast<int32_t>(widthF * aspect));
  return frame;
}

}  // namespace

void RenderFlare(EffectParams params, PixelWorld* output, FlareContext& context) {
  const int32_t width = output->width;
  const int32_t height = output->height;
  const PointValue& center = params[kParamFlareCenter]->value.point;
  const FlareFrame geometry = FrameGeometry(center.x, center.y, params[kParamFlareBrightness]->value.floatSlider.value,
                                            width, height, PixelAspect(context));

  context.profileLength = ProfileLengthFor(width, geometry.brightness);

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
  frame = geometry;
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

int16_t RenderFullFlare(const FullFlareRequest& request, FlareContext& shared, float* rgb) {
  const int32_t width = request.width;
  const int32_t height = request.height;
  FullFlareContext context(shared, FullCanvas{rgb, width, height});
  StoreStatus(context, kStatusOk);
  FlareFrame& frame = context.shared().frame;
  frame = FrameGeometry(request.centerX, request.centerY, request.brightnessPercent, width, height,
                        PixelAspect(shared));
  frame.pixels = nullptr;  // the full-precision kit draws on its canvas
  frame.rowBytes = 4 * width;
  frame.pixelBytes = 4;
  const int32_t length = ProfileLengthFor(width, frame.brightness);
  context.shared().profileLength = length;
  context.shared().profileRed = context.shared().profileGreen = context.shared().profileBlue = nullptr;

  float* profile = static_cast<float*>(AllocateProfile(3 * static_cast<size_t>(length) * sizeof(float)));
  if (profile == nullptr) return kErrRendererOutOfMemory;
  for (int c = 0; c < 3; ++c) context.profile[c] = profile + static_cast<size_t>(c) * length;
  if (request.lens >= 1 && request.lens <= kLensCount) kLenses[request.lens - 1].fullProgram(frame, context);
  ReleaseProfile(profile);
  if (LoadStatus(context) != kStatusOk) return LoadStatus(context);

  // The low-brightness fade, as the render command blends the black input back.
  const int32_t ratio = BlendRatio(0, LowBrightnessFade(request.brightnessPercent));
  if (ratio != 0) {
    const float keep = static_cast<float>(65536 - ratio) / 65536.0f;
    const size_t count = 3 * static_cast<size_t>(width) * static_cast<size_t>(height);
    for (size_t i = 0; i < count; ++i) rgb[i] *= keep;
  }
  return kStatusOk;
}

float LowBrightnessFade(double brightnessPercent) {
  // Strict: at exactly the floor there is no fade. The comparison and the
  // division are in double (10.0f is exact there).
  const double lowest = kLowestDrawnBrightness;
  if (lowest > brightnessPercent) return static_cast<float>(1.0 - brightnessPercent / lowest);
  return 0.0f;
}

int32_t BlendRatio(Fix16 blendWithOriginal, float fade) {
  // Single precision, in this order: multiply, divide, add; then truncate.
  float ratio = static_cast<float>(blendWithOriginal) * (1.0f - fade);
  ratio = ratio / 100.0f;
  ratio = ratio + fade * 65536.0f;
  return static_cast<int32_t>(ratio);
}

int32_t CheckAbort(FlareContext& context) {
  return context.host->abortCheck(context.host->effectRef);
}

void ReportProgress(FlareContext& context, int32_t done, int32_t total) {
  context.host->progress(context.host->effectRef, done, total);
}
