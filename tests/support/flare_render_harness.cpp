#include "tests/support/flare_render_harness.h"

#include <cstdio>
#include <cstdlib>

#include "render/hypot_table.h"
#include "render/render_flare.h"
#include "tests/support/fake_host.h"

namespace {

// Rows padded as our host pads them: rounded up to 64 bytes, plus 64.
int32_t PaddedRowBytes(int32_t width) { return ((4 * width + 63) / 64) * 64 + 64; }

// The render command's blend ratio: B × (1 − f) / 100 + f × 65536 in single
// precision, f the fade below 10 % brightness, truncated.
int32_t BlendRatio(const FlareRenderCase& c) {
  const float fade = c.brightnessPercent < 10.0 ? static_cast<float>(1.0 - c.brightnessPercent / 10.0) : 0.0f;
  float ratio = static_cast<float>(c.blendPercent) * (1.0f - fade);
  ratio = ratio / 100.0f;
  ratio = ratio + fade * 65536.0f;
  return static_cast<int32_t>(ratio);
}

}  // namespace

FlareRenderResult RenderFlareCase(const FlareRenderCase& c) {
  FakeHost host;
  host.threads = 3;
  host.SetPixelAspect(c.aspectNum, c.aspectDen);

  const int32_t rowBytes = PaddedRowBytes(c.width);
  std::vector<uint8_t> input(static_cast<size_t>(rowBytes) * c.height, 0);
  for (int32_t y = 0; y < c.height; ++y)
    for (int32_t x = 0; x < c.width; ++x) input[static_cast<size_t>(y) * rowBytes + 4 * x] = 255;
  std::vector<uint8_t> output = input;

  PixelWorld world{};
  world.data = output.data();
  world.rowBytes = rowBytes;
  world.width = c.width;
  world.height = c.height;

  ParamRecord records[kParamCount] = {};
  records[kParamFlareCenter].value.point.x = c.centerX;
  records[kParamFlareCenter].value.point.y = c.centerY;
  records[kParamFlareBrightness].value.floatSlider.value = c.brightnessPercent;
  records[kParamLensType].value.popup.value = c.lens;
  records[kParamBlendWithOriginal].value.fixedSlider.value = c.blendPercent;
  ParamRecord* params[kParamCount];
  for (int i = 0; i < kParamCount; ++i) params[i] = &records[i];

  auto* sequence = static_cast<SequenceData*>(std::calloc(1, sizeof(SequenceData)));
  FlareContext& context = sequence->context;
  FillHypotTable(context.hypotTable);
  context.host = &host.in;
  StoreStatus(context, 0);

  std::srand(c.seed);
  RenderFlare(params, &world, context);
  FlareRenderResult result{LoadStatus(context), {}};
  std::free(sequence);

  // Host blend of (rendered, input) by the ratio, per byte, then repacked as RGBA.
  const int64_t ratio = BlendRatio(c);
  result.rgba.reserve(static_cast<size_t>(c.width) * c.height * 4);
  for (int32_t y = 0; y < c.height; ++y)
    for (int32_t x = 0; x < c.width; ++x) {
      const size_t at = static_cast<size_t>(y) * rowBytes + 4 * static_cast<size_t>(x);
      uint8_t argb[4];
      for (int i = 0; i < 4; ++i)
        argb[i] = static_cast<uint8_t>((output[at + i] * (65536 - ratio) + input[at + i] * ratio + 32768) >> 16);
      result.rgba.insert(result.rgba.end(), {argb[1], argb[2], argb[3], argb[0]});
    }
  return result;
}

bool WriteRgbaPam(const std::string& path, int32_t width, int32_t height, const std::vector<uint8_t>& rgba) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  std::fprintf(file, "P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n", width, height);
  const bool ok = std::fwrite(rgba.data(), 1, rgba.size(), file) == rgba.size();
  return std::fclose(file) == 0 && ok;
}
