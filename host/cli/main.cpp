// lensflare: renders the Lens Flare effect onto images and inspects the plug-in.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "host/cli/commands.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::fputs(lfcli::kMainHelp, stderr);
    return lfcli::kExitUsage;
  }
  const std::string command = args.front();
  args.erase(args.begin());
  try {
    if (command == "--help" || command == "-h" || command == "help") {
      if (!args.empty() && args[0] == "render") std::fputs(lfcli::kRenderHelp, stdout);
      else if (!args.empty() && args[0] == "info") std::fputs(lfcli::kInfoHelp, stdout);
      else if (!args.empty() && args[0] == "bench") std::fputs(lfcli::kBenchHelp, stdout);
      else if (!args.empty() && args[0] == "serve") std::fputs(lfcli::kServeHelp, stdout);
      else if (!args.empty() && args[0] == "track") std::fputs(lfcli::kTrackHelp, stdout);
      else std::fputs(lfcli::kMainHelp, stdout);
      return lfcli::kExitOk;
    }
    if (command == "--version") return lfcli::RunVersion(args);
    if (command == "render") return lfcli::RunRender(args);
    if (command == "info") return lfcli::RunInfo(args);
    if (command == "bench") return lfcli::RunBench(args);
    if (command == "serve") return lfcli::RunServe(args);
    if (command == "track") return lfcli::RunTrack(args);
    lfcli::PrintError("unknown command \"" + command + "\" (try lensflare --help)");
    return lfcli::kExitUsage;
  } catch (const std::exception& e) {
    lfcli::PrintError(e.what());
    return lfcli::kExitFailed;
  }
}
