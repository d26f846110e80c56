// Control values as typed on the command line, one option a line: the first
// character picks the control (c centre, b brightness, l lens, anything else
// blend), the rest is the option's text ("24=150:smooth", "40%,25%", "zoom").
// The values are read as the options are, then used as a render uses them.
#include <sstream>

#include "host/core/control_values.h"
#include "host/core/host_error.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const lfhost::ControlReader reader(lffuzz::Controls());
  lfhost::AnimatedControls controls;
  std::istringstream lines(lffuzz::Text(data, size));
  try {
    for (std::string line; std::getline(lines, line);) {
      if (line.empty()) continue;
      const std::string text = line.substr(1);
      lfhost::NumberFromText(text);
      lfhost::PointFromText(text);
      const lfhost::ControlId id = line[0] == 'c'   ? lfhost::ControlId::Center
                                   : line[0] == 'b' ? lfhost::ControlId::Brightness
                                   : line[0] == 'l' ? lfhost::ControlId::Lens
                                                    : lfhost::ControlId::Blend;
      const std::string option = std::string("--") + lfhost::ControlKey(id);
      const lfhost::KeyedText keyed = lfhost::SplitKeyedText(option, text);
      reader.Add(controls, id, option, keyed.frame, lfhost::ControlInput::Text(keyed.value), keyed.interpolation);
    }
  } catch (const lfhost::HostError&) {
    return 0;   // refused, with its message: what a user would see
  }
  lffuzz::UseAsRenderDoes(controls, 1920, 1080);
  return 0;
}
