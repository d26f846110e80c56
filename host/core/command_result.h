// What one FilterMain call answered, and the text a user sees for it.
#pragma once

#include <cstdint>
#include <string>

namespace lfhost {

struct CommandResult {
  int32_t command = 0;
  int32_t code = 0;             // FilterMain's return value
  uint32_t outFlags = 0;        // CommandOutput.outFlags after the call
  std::string message;          // CommandOutput.message, as written (NUL-terminated within 256 bytes)
  bool ok() const { return code == 0; }
  bool hasMessage() const;      // flag 0x100 set
};

// "#{cr}" marks (the module's line breaks) turned into "\n".
std::string ShowLineBreaks(const std::string& text);

// The user's text for a failed command: the module's message when it set flag
// 0x100 (line breaks shown), else by code: 4 "out of memory", 517 "cancelled",
// -108 "renderer out of memory", anything else "host error N".
std::string DescribeResult(const CommandResult& result);

}  // namespace lfhost
