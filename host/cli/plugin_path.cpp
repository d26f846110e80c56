#include <cstdio>

#include "host/cli/commands.h"
#include "host/core/host_error.h"
#include "host/core/module_loader.h"
#include "host/media/files.h"

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
  return lfhost::FindModule(lfhost::ExecutableDir(), lfhost::kInstalledModuleFolder,
                            std::string("use --plugin PATH or ") + lfhost::kModulePathVariable);
}

void PrintError(const std::string& message) { std::fprintf(stderr, "lensflare: %s\n", message.c_str()); }

}  // namespace lfcli
