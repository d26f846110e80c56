#include "host/adapters/gegl/render_bridge.h"

#include <exception>

#include "host/adapters/flare_filter.h"

extern "C" int lf_gegl_render(const unsigned char* in, unsigned char* out, int width, int height, double center_x,
                              double center_y, double brightness, int lens, double blend, unsigned seed) {
  try {
    // GEGL processes an image once, so an instance per call costs a setup per
    // image only; the module and the pool stay loaded.
    lfadapter::FlareFilter flare;
    lfhost::ControlSettings settings;
    settings.centerX = lfhost::Coordinate{center_x, false};
    settings.centerY = lfhost::Coordinate{center_y, false};
    settings.brightness = brightness;
    settings.lensType = lens;
    settings.blendPercent = blend;
    flare.Render(in, out, width, height, settings, {.seed = seed, .frame = 0});
    return 1;
  } catch (const std::exception& e) {
    lfadapter::ReportError(e.what());
    return 0;
  }
}
