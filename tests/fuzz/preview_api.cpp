// The preview's render requests (POST /api/render bodies), read as the server
// reads them for a 1920x1080 shot of frames 1001 to 1048; an accepted request
// gets the values it renders with and the command that reproduces it. The
// values must be ones the module accepts.
#include <optional>

#include <nlohmann/json.hpp>

#include "host/web/preview_api.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const lfhost::EffectControls& controls = lffuzz::Controls();
  std::optional<lfweb::RenderRequest> parsed;
  try {
    parsed = lfweb::ParseRenderRequest(std::string_view(reinterpret_cast<const char*>(data), size), controls, 1920,
                                       1080, {1001, 1048});
  } catch (const lfhost::HostError& e) {
    const bool answered = e.kind() == lfhost::ErrorKind::Malformed || e.kind() == lfhost::ErrorKind::Usage;
    if (std::string(e.what()).empty() || !answered) lffuzz::Broken(std::string("refusal ") + e.what());
    return 0;
  }
  const lfweb::RenderRequest& request = *parsed;
  try {
    lfhost::CheckParams(request.values.values(), controls);
  } catch (const lfhost::HostError& e) {
    lffuzz::Broken(std::string("accepted request renders with ") + e.what());
  }
  lffuzz::UseAsRenderDoes(request.keys, 1920, 1080);
  lfweb::CommandContext context;
  context.renderArgs = {"plate.%04d.exr"};
  context.outputName = "flare.%04d.exr";
  lfweb::ValuesJson(request.values.values());
  lfweb::ReproduceCommand(request.values.values(), controls, context, request.frame.value_or(1001), &request.keys);
  return 0;
}
