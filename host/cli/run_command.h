// The shape every command shares: parse its arguments, answer --help with the
// command's help text, and otherwise run with what was parsed. A HostError,
// while parsing or running, goes to main, which shows it as one line and ends
// with its status (2 for a usage error).
#pragma once

#include <cstdio>
#include <string>
#include <type_traits>
#include <vector>

#include "host/cli/commands.h"
#include "host/cli/options.h"
#include "host/core/host_error.h"

namespace lfcli {

// `parse` returns a record with a `help` flag and throws UsageError; `run` takes that record and returns the exit status. `moreHelp`,
// when given, returns what follows the help text for that record (what the
// module declares).
template <typename Parse, typename Run, typename MoreHelp = std::nullptr_t>
int RunCommand(const std::vector<std::string>& args, Parse parse, const char* helpText, Run run,
               MoreHelp moreHelp = nullptr) {
  const auto parsed = parse(args);
  if (parsed.help) {
    std::fputs(helpText, stdout);
    if constexpr (!std::is_null_pointer_v<MoreHelp>) std::fputs(moreHelp(parsed).c_str(), stdout);
    return kExitOk;
  }
  return run(parsed);
}

}  // namespace lfcli
