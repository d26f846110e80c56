// Reading a --keys file (its format is described in host/core/keyframes.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "host/core/control_values.h"
#include "host/core/keyframes.h"

namespace lfhost {

// Limits that keep a hostile --keys file's cost bounded.
inline constexpr int kMaxJsonDepth = 64;
inline constexpr int64_t kMaxKeyframeFileBytes = 16 << 20;

// Reads a --keys file, its values through `controls`. Throws HostError naming
// the file and the line (JSON syntax) or the field and frame (a value refused,
// an unknown field, a key given twice, a number too large), or what is wrong
// with the file itself (not a regular file, larger than kMaxKeyframeFileBytes,
// nested deeper than kMaxJsonDepth).
AnimatedControls LoadKeyframeFile(const std::string& path, const ControlReader& controls);
// The same from text already read; `name` stands for the file in messages.
AnimatedControls ParseKeyframeJson(const std::string& text, const std::string& name, const ControlReader& controls);

// JSON from outside (the preview's requests) parsed with the depth a keys file
// may have: a value nested deeper than kMaxJsonDepth is refused before it is
// built, so nothing that walks a value recursively can exhaust the stack.
// Throws HostError "NAME: nested more than 64 levels deep"; text that is not
// JSON gives a discarded value (is_discarded()).
nlohmann::json ParseBoundedJson(std::string_view text, const std::string& name);

// A JSON value as the control readers take it; the preview's requests are read
// through this too.
ControlInput ControlInputOf(const nlohmann::json& value);

}  // namespace lfhost
