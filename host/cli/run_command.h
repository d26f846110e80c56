// The shape every command shares: parse its arguments, answer --help with the
// command's help text, and otherwise run with what was parsed. A usage error,
// while parsing or running, is one line and exit status 2; a HostError that a
// run lets through is one line and status 1.
#pragma once

#include <cstdio>
#include <string>
#include <type_traits>
#include <vector>

#include "host/cli/commands.h"
#include "host/cli/options.h"
#include "host/core/host_error.h"

namespace lfcli {

// `parse` returns a default-constructible record with a `help` flag and throws
// UsageError; `run` takes that record and returns the exit status. `moreHelp`,
// when given, returns what follows the help text for that record (what the
// module declares).
template <typename Parse, typename Run, typename MoreHelp = std::nullptr_t>
int RunCommand(const std::vector<std::string>& args, Parse parse, const char* helpText, Run run,
               MoreHelp moreHelp = nullptr) {
  decltype(parse(args)) parsed;
  try {
    parsed = parse(args);
  } catch (const UsageError& e) {
    PrintError(e.what());
    return kExitUsage;
  }
  if (parsed.help) {
    std::fputs(helpText, stdout);
    if constexpr (!std::is_null_pointer_v<MoreHelp>) std::fputs(moreHelp(parsed).c_str(), stdout);
    return kExitOk;
  }
  try {
    return run(parsed);
  } catch (const UsageError& e) {
    PrintError(e.what());
    return kExitUsage;
  } catch (const lfhost::HostError& e) {
    PrintError(e.what());
    return kExitFailed;
  }
}

}  // namespace lfcli
