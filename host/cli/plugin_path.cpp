#include <cstdio>
#include <filesystem>

#include "host/cli/commands.h"
#include "host/files.h"
#include "host/host_error.h"
#include "host/module_loader.h"

namespace lfcli {

std::string ResolvePluginPath(const std::string& pluginOption) {
  if (!pluginOption.empty()) {
    try {
      lfhost::CheckInputFile(pluginOption);
    } catch (const lfhost::HostError& e) {
      throw lfhost::HostError(std::string("--plugin: ") + e.what());
    }
    return pluginOption;
  }
  const std::string dir = lfhost::ExecutableDir();
  const std::string found = lfhost::FindDefaultModule(dir);
  if (found.empty()) {
    throw lfhost::HostError("no plug-in found at " + lfhost::DefaultModulePaths(dir).front() + " or " +
                            lfhost::DefaultModulePaths(dir).back() + " (use --plugin PATH)");
  }
  return found;
}

void PrintError(const std::string& message) { std::fprintf(stderr, "lensflare: %s\n", message.c_str()); }

}  // namespace lfcli
