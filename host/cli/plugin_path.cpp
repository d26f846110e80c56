#include <cstdio>
#include <filesystem>

#include "host/cli/commands.h"
#include "host/host_error.h"
#include "host/module_loader.h"

namespace lfcli {

std::string ResolvePluginPath(const std::string& pluginOption) {
  if (!pluginOption.empty()) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(pluginOption, ec)) {
      throw lfhost::HostError("--plugin: " + pluginOption + ": no such file");
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
