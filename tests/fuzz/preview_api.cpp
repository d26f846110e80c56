// The preview's render requests (POST /api/render bodies), read as the server
// reads them for a 1920x1080 shot of frames 1001 to 1048; an accepted request
// gets the values it renders with and the command that reproduces it. The
// values must be ones the module accepts.
#include <variant>

#include <nlohmann/json.hpp>

#include "host/web/preview_api.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const lfhost::EffectControls& controls = lffuzz::Controls();
  const auto parsed = lfweb::ParseRenderRequest(std::string_view(reinterpret_cast<const char*>(data), size), controls,
                                                1920, 1080, {1001, 1048});
  if (const auto* error = std::get_if<lfweb::ApiError>(&parsed)) {
    if (error->message.empty() || (error->status != 400 && error->status != 422)) lffuzz::Broken("refusal " + error->message);
    return 0;
  }
  const lfweb::RenderRequest& request = std::get<lfweb::RenderRequest>(parsed);
  if (const auto error = lfhost::CheckParamValues(request.values, controls)) {
    lffuzz::Broken("accepted request renders with " + error->paramName + " " + error->detail);
  }
  lffuzz::UseAsRenderDoes(request.keys, 1920, 1080);
  lfweb::CommandContext context;
  context.renderArgs = {"plate.%04d.exr"};
  context.outputName = "flare.%04d.exr";
  lfweb::ValuesJson(request.values);
  lfweb::ReproduceCommand(request.values, controls, context, request.frame.value_or(1001), &request.keys);
  return 0;
}
