// The preview's JSON API, apart from HTTP: the controls as the module declared
// them, render requests checked against them, and the `lensflare render`
// command that reproduces a result.
//
// A render request is a JSON object with any of
//   "center": [x, y]     flare centre in pixels of the frame (decimals allowed)
//   "brightness": b      Flare Brightness, within its declared range
//   "lens": n            Lens Type, the choice's number from 1 (or its name)
//   "blend": p           Blend With Original, within its declared range
//   "maxWidth": w        optional: send the result shrunk to at most w pixels wide
//   "frame": n           the frame to render: one of the timeline's (a sequence
//                        or video), else the one frame shown; default: that one
//   "keys": {...}        keyframes, as a --keys file holds them; a control also
//                        given on its own above takes that value instead, as
//                        render's options take precedence over its --keys file
// The four controls take every form the command line and keys files take
// (host/core/control_values.h), such as "center": ["40%", "25%"] or "blend":
// "70%", and are refused with the same messages. Controls left out take the
// module's declared defaults.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "host/core/effect_params.h"
#include "host/core/keyframes.h"
#include "host/web/preview_frame.h"

namespace lfweb {

// Request bodies larger than this are refused before they are read (413). A
// request carries the page's keys: a tracked centre takes some 30 bytes a frame.
inline constexpr size_t kMaxRequestBodyBytes = 1024 * 1024;

// What the page's keys are called in the command it shows and when downloaded.
inline constexpr const char* kKeysFileName = "keys.json";

// The frames a request may name: first to last.
struct FrameSpan {
  int64_t first = 0, last = 0;
};

struct RenderRequest {
  lfhost::CheckedParams values;
  std::optional<int32_t> maxWidth;
  std::optional<int64_t> frame;
  lfhost::AnimatedControls keys;   // the request's "keys"
};

// Refusals throw HostError: Malformed (HTTP 400) for a request that is not one
// (not JSON, an unknown field, a bad frame or maxWidth), Usage (HTTP 422) for a
// control's value refused.
RenderRequest ParseRenderRequest(std::string_view body, const lfhost::EffectControls& controls, int32_t width,
                                 int32_t height, FrameSpan frames = {});

// A "keys" value (a --keys file's top level) read as render reads its --keys
// file; Usage for what it refuses, and for a centre track file, which the
// page cannot name on this machine. Their ranges are checked with the
// request's own values (CheckedControls).
lfhost::AnimatedControls ParseKeys(const nlohmann::json& keys, const lfhost::EffectControls& controls);

// The frame and the four controls, every name, range, default and choice taken
// from the module's declarations; the page builds its widgets from this alone.
nlohmann::json ControlsJson(const lfhost::EffectControls& controls, const PreviewFrame& frame);

// The values as the module received them, in the request's units, with the
// host's exposure in stops.
nlohmann::json ValuesJson(const lfhost::ParamValues& values, double exposure = 0);

// How the command line names the module, when it was not the default one.
struct CommandContext {
  std::vector<std::string> renderArgs;   // the frame's input arguments
  std::string outputName = "flare.png";
  lfhost::FrameSettings settings;
  std::string pluginPath;                // "" for the module beside the tool
};

// "lensflare render INPUT -o OUTPUT --lens L --brightness B --center X,Y
// --blend P --par N:D" (plus --seed, --plugin when they differ from the defaults),
// the controls written as lfhost::ControlArguments writes them, so the tool
// reads back exactly the values the module received; arguments a shell would
// split are quoted. With a `frame` of a timeline, "--frames N" after INPUT;
// with `keys`, "--keys keys.json" in place of the keyed controls' options.
std::string ReproduceCommand(const lfhost::ParamValues& values, const lfhost::EffectControls& controls,
                             const CommandContext& context, std::optional<int64_t> frame = std::nullopt,
                             const lfhost::AnimatedControls* keys = nullptr, double exposure = 0);

// `text` as one shell word: unchanged when it is made only of characters no
// shell treats specially, else in single quotes.
std::string ShellQuote(const std::string& text);

}  // namespace lfweb
