// The shape every command shares: parse its arguments, answer a usage error
// with one line and exit status 2, --help with the command's help text, and
// otherwise run with what was parsed.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "host/cli/commands.h"
#include "host/cli/options.h"

namespace lfcli {

// `parse` returns a default-constructible record with a `help` flag and throws
// UsageError; `run` takes that record and returns the exit status.
template <typename Parse, typename Run>
int RunCommand(const std::vector<std::string>& args, Parse parse, const char* helpText, Run run) {
  decltype(parse(args)) parsed;
  try {
    parsed = parse(args);
  } catch (const UsageError& e) {
    PrintError(e.what());
    return kExitUsage;
  }
  if (parsed.help) {
    std::fputs(helpText, stdout);
    return kExitOk;
  }
  return run(parsed);
}

}  // namespace lfcli
