#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "host/cli/commands.h"
#include "host/media/files.h"
#include "host/core/host_error.h"
#include "host/core/module_loader.h"

namespace lfcli {
namespace {

std::vector<std::string> PluginSearchPaths() {
  const std::vector<std::string> layout = lfhost::DefaultModulePaths(lfhost::ExecutableDir());
  const std::string fileName = std::filesystem::path(layout.front()).filename().string();
  std::vector<std::string> paths;
  // Like PATH: folders separated by ':', empty entries skipped.
  const char* env = std::getenv(kPluginPathVariable);
  for (std::string rest = env ? env : ""; !rest.empty();) {
    const size_t colon = rest.find(':');
    const std::string folder = rest.substr(0, colon);
    rest = colon == std::string::npos ? "" : rest.substr(colon + 1);
    if (!folder.empty()) paths.push_back((std::filesystem::path(folder) / fileName).string());
  }
  paths.insert(paths.end(), layout.begin(), layout.end());
  return paths;
}

}  // namespace

std::string ResolvePluginPath(const std::string& pluginOption) {
  std::error_code ec;
  if (!pluginOption.empty()) {
    try {
      lfhost::CheckInputFile(pluginOption);
    } catch (const lfhost::HostError& e) {
      throw lfhost::HostError(std::string("--plugin: ") + e.what());
    }
    return pluginOption;
  }
  const std::vector<std::string> paths = PluginSearchPaths();
  std::string tried;
  for (const std::string& candidate : paths) {
    if (std::filesystem::is_regular_file(candidate, ec)) return candidate;
    tried += (tried.empty() ? "" : ", ") + candidate;
  }
  throw lfhost::HostError("no plug-in found (looked for " + tried + "; use --plugin PATH or " +
                          kPluginPathVariable + ")");
}

void PrintError(const std::string& message) { std::fprintf(stderr, "lensflare: %s\n", message.c_str()); }

}  // namespace lfcli
