#include "host/core/command_result.h"

#include "shell/host_protocol.h"

namespace lfhost {

bool CommandResult::hasMessage() const { return (outFlags & kOutFlagDisplayMessage) != 0; }

std::string ShowLineBreaks(const std::string& text) {
  static const std::string kMark = "#{cr}";
  std::string shown;
  for (size_t i = 0; i < text.size();) {
    if (text.compare(i, kMark.size(), kMark) == 0) {
      shown += '\n';
      i += kMark.size();
    } else {
      shown += text[i++];
    }
  }
  return shown;
}

std::string DescribeResult(const CommandResult& result) {
  if (result.hasMessage()) return ShowLineBreaks(result.message);
  switch (result.code) {
    case 0: return "";
    case kErrOutOfMemory: return "out of memory";
    case kErrCancelled: return "cancelled";
    case kErrRendererOutOfMemory: return "renderer out of memory";
    default: return "host error " + std::to_string(result.code);
  }
}

}  // namespace lfhost
