// The one exception type of the host library: a one-line message, ready to show a
// user, saying what (file, option, frame) is wrong. Callbacks never throw; the
// library's C++ API throws HostError for every refusal on the host side.
#pragma once

#include <stdexcept>
#include <string>

namespace lfhost {

class HostError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace lfhost
