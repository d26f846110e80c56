// lensflare: renders the Lens Flare effect onto images and inspects the plug-in.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "host/cli/commands.h"
#include "host/core/host_error.h"

namespace {

// render and track take the stop signals from before the libraries' start-up
// code runs (image and video libraries that spend a good part of a second on a
// loaded machine), not from main: a stop at any moment then ends them with
// their closing line and status, never by the signal itself, and nothing is
// written before the handlers are there. The other commands end at once by a
// signal (serve takes them in a thread of its own). The loader calls this with
// the program's arguments before any library's initialisation; it touches only
// constant-initialised state and system calls.
const lfcli::ToolCommand* FindCommand(const char* name) {
  for (const lfcli::ToolCommand& command : lfcli::kCommands) {
    if (std::strcmp(command.name, name) == 0) return &command;
  }
  return nullptr;
}

void TakeStopSignals(int argc, char** argv, char** /*environment*/) {
  const lfcli::ToolCommand* command = argc > 1 ? FindCommand(argv[1]) : nullptr;
  if (command && command->takesStopSignals) lfhost::CancelOnStopSignals(lfcli::StopToken());
}
__attribute__((section(".preinit_array"), used)) void (*const kTakeStopSignals)(int, char**, char**) = TakeStopSignals;

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::fputs(lfcli::MainHelp().c_str(), stderr);
    return lfcli::kExitUsage;
  }
  const std::string command = args.front();
  args.erase(args.begin());
  try {
    if (command == "--help" || command == "-h" || command == "help") {
      const lfcli::ToolCommand* about = args.empty() ? nullptr : FindCommand(args[0].c_str());
      std::fputs(about ? *about->help : lfcli::MainHelp().c_str(), stdout);
      return lfcli::kExitOk;
    }
    if (command == "--version") return lfcli::RunVersion(args);
    if (const lfcli::ToolCommand* found = FindCommand(command.c_str())) return found->run(args);
    lfcli::PrintError("unknown command \"" + command + "\" (try lensflare --help)");
    return lfcli::kExitUsage;
  } catch (const lfhost::HostError& e) {
    // Every command's refusals and failures end here, each with its status.
    lfcli::PrintError(lfcli::OneLine(e.what()));
    return e.exitStatus();
  } catch (const std::exception& e) {
    lfcli::PrintError(e.what());
    return lfcli::kExitFailed;
  }
}
