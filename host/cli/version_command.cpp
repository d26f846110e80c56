// lensflare --version: the tool's own version, and the plug-in's as the plug-in
// itself reports it (the version word its global setup returns, and its About
// line), since the two ship and can be swapped separately.
#include <cstdio>

#include "host/cli/commands.h"
#include "host/core/effect_instance.h"
#include "host/core/host_error.h"

namespace lfcli {

int RunVersion(const std::vector<std::string>& args) {
  if (!args.empty()) {
    PrintError("--version: unknown argument \"" + args.front() + "\"");
    return kExitUsage;
  }
  // LF_VERSION is the build's project version, given by CMake.
  std::printf("lensflare %s\n", LF_VERSION);
  const auto module = lfhost::EffectModule::Load(ResolvePluginPath(""));
  lfhost::WorkerPool pool(1);
  lfhost::EffectInstance effect(*module, pool);
  CommandOutput out;
  const lfhost::CommandResult setup = effect.Send(kCmdGlobalSetup, out);
  if (!setup.ok()) throw lfhost::HostError(module->path() + ": global setup failed: " + lfhost::DescribeResult(setup));
  const std::string about = effect.AboutText();
  std::printf("plug-in: %s (version 0x%X) at %s\n", about.substr(0, about.find('\n')).c_str(),
              static_cast<unsigned>(out.version), module->path().c_str());
  return kExitOk;
}

}  // namespace lfcli
