#include "host/adapters/gegl/render_bridge.h"

#include <exception>

#include "host/adapters/flare_filter.h"

namespace {

lfhost::ControlSettings SettingsOf(double centerX, double centerY, double brightness, int lens, double blend) {
  lfhost::ControlSettings settings;
  settings.centerX = lfhost::Coordinate{centerX, false};
  settings.centerY = lfhost::Coordinate{centerY, false};
  settings.brightness = brightness;
  settings.lensType = lens;
  settings.blendPercent = blend;
  return settings;
}

}  // namespace

extern "C" int lf_gegl_render(const unsigned char* in, unsigned char* out, int width, int height, double center_x,
                              double center_y, double brightness, int lens, double blend, unsigned seed) {
  try {
    // GEGL processes an image once, so an instance per call costs a setup per
    // image only; the module and the pool stay loaded.
    lfadapter::FlareFilter flare;
    flare.Render(in, out, width, height, SettingsOf(center_x, center_y, brightness, lens, blend),
                 {.seed = seed, .frame = 0});
    return 1;
  } catch (const std::exception& e) {
    lfadapter::ReportError(e.what());
    return 0;
  }
}

extern "C" int lf_gegl_render_float(const float* in, float* out, int width, int height, double center_x,
                                    double center_y, double brightness, int lens, double blend, unsigned seed) {
  try {
    lfadapter::FlareFilter flare;
    flare.RenderFloat(in, out, width, height, SettingsOf(center_x, center_y, brightness, lens, blend),
                      {.seed = seed, .frame = 0});
    return 1;
  } catch (const std::exception& e) {
    lfadapter::ReportError(e.what());
    return 0;
  }
}
