// Whole numbers and the pixel aspect ratio as a user types them. The pixel aspect ratio: "N:D", N from 1 to 2^31 - 1 and D
// from 1 to 2^32 - 1, the two fields the module is handed
// (CommandInput.pixelAspectNum and pixelAspectDen). Every front end reads it here.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace lfhost {

// A whole number within [low, high]. Throws HostError naming `option`: "is not
// a whole number" or "is outside low to high".
int64_t ParseWholeNumber(const std::string& option, const std::string& text, int64_t low, int64_t high);

// Throws HostError naming `option` ("--par", "par") and what is wrong with the
// text: not N:D, a part that is not a whole number, or one outside its range.
std::pair<int32_t, uint32_t> ParsePixelAspect(const std::string& option, const std::string& text);

}  // namespace lfhost
