// What the frei0r filter and the GEGL operation share: one module and one worker
// pool per process, found from the adapter's own file as the tool finds the
// module from its own, and an effect instance that renders the packed R, G, B, A
// frames both hosts hand over. Only the host core is used here: an adapter runs
// inside someone else's program and must not bring media libraries into it.
#pragma once

#include <cstdint>
#include <string>

#include "host/core/effect_instance.h"

namespace lfadapter {

// The folder the module is installed in, seen from the adapter's installed
// folder; each adapter's build passes its own (its host's plug-in folder differs).
#ifndef LF_ADAPTER_MODULE_FOLDER
#error "LF_ADAPTER_MODULE_FOLDER must name the module's installed folder relative to the adapter's"
#endif

// One instance of the effect for one instance of a host's filter, used from one
// thread at a time. Separate filters may render at once on separate threads:
// their render commands take turns around each frame's srand, as the module
// draws from the C library's single rand() here (see EffectInstance::Render),
// so a frame's rays never depend on which filter ran first.
class FlareFilter {
 public:
  // Loads the module on the process's first instance and sends global and
  // parameter setup. Throws HostError naming every place looked at when no
  // module is found, or what the module refused.
  FlareFilter();

  const lfhost::EffectControls& controls() const { return effect_.controls(); }

  // Renders `width` x `height` packed R, G, B, A pixels (byte 0 red, rows of
  // 4 x width bytes) from `in` into `out`, both converted losslessly to and
  // from the module's A, R, G, B world. Settings left unset take the module's
  // defaults; the frame's seed is srand(FrameSeed(frame.seed, frame.frame)) as
  // in the tool. Throws HostError, leaving `out` untouched, for a refused size
  // or value or a failed render.
  void Render(const uint8_t* in, uint8_t* out, int32_t width, int32_t height,
              const lfhost::ControlSettings& settings, const lfhost::FrameSettings& frame);
  // The same for float R', G', B', A pixels (a host working at high bit
  // depth): the full-precision flare (EffectInstance::RenderFull) screened onto
  // the colour values as the module screens its own, Blend With Original
  // scaling the flare as the module's cross-fade does; alpha stays as it is.
  void RenderFloat(const float* in, float* out, int32_t width, int32_t height,
                   const lfhost::ControlSettings& settings, const lfhost::FrameSettings& frame);

 private:
  lfhost::EffectInstance effect_;
};

// Prints "lensflare: <message>" on standard error: the hosts show a plug-in's
// standard error, and frei0r and GEGL give a filter no other way to explain
// why it left a frame as it was.
void ReportError(const std::string& message);

}  // namespace lfadapter
