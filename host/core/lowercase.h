// Lower case for the names we compare without regard to case: file extensions,
// lens names, header values. Byte by byte in the C locale, so a name outside
// ASCII is left as it is.
#pragma once

#include <cctype>
#include <string>

namespace lfhost {

inline std::string Lowercase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace lfhost
