#include "tests/support/flare_render_harness.h"

#include <cstdlib>
#include <memory>

#include "render/hypot_table.h"
#include "render/render_flare.h"

int32_t HostRowBytes(int32_t width) { return ((4 * width + 63) / 64) * 64 + 64; }

int16_t RenderWholeFrame(FakeHost& host, const FlareRenderSettings& s, std::vector<uint8_t>& frame, int32_t width,
                         int32_t height, FlareContext& context) {
  PixelWorld world{};
  world.data = frame.data();
  world.rowBytes = HostRowBytes(width);
  world.width = width;
  world.height = height;
  ParamRecord records[kParamCount] = {};
  records[kParamFlareCenter].value.point.x = s.centerX;
  records[kParamFlareCenter].value.point.y = s.centerY;
  records[kParamFlareBrightness].value.floatSlider.value = s.brightnessPercent;
  records[kParamLensType].value.popup.value = s.lens;
  ParamRecord* params[kParamCount];
  for (int i = 0; i < kParamCount; ++i) params[i] = &records[i];
  FillHypotTable(context.hypotTable);
  context.host = &host.in;
  std::srand(s.seed);
  RenderFlare(params, &world, context);
  return LoadStatus(context);
}

int16_t RenderWholeFrame(FakeHost& host, const FlareRenderSettings& s, std::vector<uint8_t>& frame, int32_t width,
                         int32_t height) {
  auto context = std::make_unique<FlareContext>();
  return RenderWholeFrame(host, s, frame, width, height, *context);
}

int16_t RenderFullFrame(FakeHost& host, const FlareRenderSettings& s, std::vector<float>& rgb, int32_t width,
                        int32_t height) {
  auto context = std::make_unique<FlareContext>();
  FillHypotTable(context->hypotTable);
  context->host = &host.in;
  rgb.assign(3 * static_cast<size_t>(width) * static_cast<size_t>(height), 0.0f);
  std::srand(s.seed);
  return RenderFullFlare({width, height, s.centerX, s.centerY, s.brightnessPercent, static_cast<int16_t>(s.lens)},
                         *context, rgb.data());
}
