#include "host/core/pixel_aspect.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "host/core/host_error.h"

namespace lfhost {

int64_t ParseWholeNumber(const std::string& option, const std::string& text, int64_t low, int64_t high) {
  const char* start = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(start, &end, 10);
  if (text.empty() || end != start + text.size() || errno == ERANGE || std::isspace(static_cast<unsigned char>(text[0]))) {
    throw HostError(option + ": \"" + text + "\" is not a whole number");
  }
  if (value < low || value > high) {
    throw HostError(option + ": " + text + " is outside " + std::to_string(low) + " to " + std::to_string(high));
  }
  return value;
}

std::pair<int32_t, uint32_t> ParsePixelAspect(const std::string& option, const std::string& text) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) throw HostError(option + ": \"" + text + "\" is not N:D (for example 10:11)");
  const int64_t n = ParseWholeNumber(option, text.substr(0, colon), 1, 2147483647);
  const int64_t d = ParseWholeNumber(option, text.substr(colon + 1), 1, 4294967295LL);
  return {static_cast<int32_t>(n), static_cast<uint32_t>(d)};
}

}  // namespace lfhost
