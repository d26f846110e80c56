// lensflare info: what the plug-in says about itself, through every channel a
// host has: the property list in the file, registration, About, parameter setup.
#include <cstdio>

#include "host/cli/commands.h"
#include "host/cli/options.h"
#include "host/core/effect_instance.h"
#include "host/core/host_error.h"
#include "host/core/property_list.h"

namespace lfcli {
namespace {

void Line(const std::string& text) { std::printf("%s\n", text.c_str()); }

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

}  // namespace

int RunInfo(const std::vector<std::string>& args) {
  std::string plugin;
  {
    ArgumentReader reader(args);
    while (!reader.Done()) {
      const std::string arg = reader.Next();
      if (arg == "-h" || arg == "--help") {
        std::fputs(kInfoHelp, stdout);
        return kExitOk;
      }
      if (arg == "--plugin") {
        plugin = reader.Value(arg);
      } else {
        throw UsageError("info: unknown argument \"" + arg + "\" (try lensflare info --help)");
      }
    }
  }
  const auto module = lfhost::EffectModule::Load(ResolvePluginPath(plugin));
  lfhost::WorkerPool pool(1);
  lfhost::EffectInstance effect(*module, pool);
  effect.Start();

  Line("Plug-in: " + module->path());
  Line("");
  Line("About:");
  Line(effect.AboutText());
  Line("");
  Line("Registration (PluginDataEntryFunction):");
  for (const lfhost::EffectRegistration& r : module->registrations()) {
    Line("  name key:        " + Quoted(r.nameKey));
    Line("  match name:      " + Quoted(r.matchName));
    Line("  category key:    " + Quoted(r.categoryKey));
    Line("  entry point:     " + Quoted(r.entryPoint));
    Line("  kind:            " + lfhost::FourCCFromNumber(r.kind));
    Line("  interface:       " + std::to_string(r.interfaceMajor) + "." + std::to_string(r.interfaceMinor));
    Line("  trailing word:   " + std::to_string(r.trailingWord));
  }
  std::string exported;
  for (const std::string& s : module->exportedSymbols()) exported += (exported.empty() ? "" : ", ") + s;
  Line("  exported:        " + exported);
  Line("");
  Line("Property list (PIPL 16000):");
  for (const std::string& l : lfhost::DescribeProperties(module->propertyList())) Line("  " + l);
  Line("");
  Line("Controls:");
  const lfhost::EffectControls& c = effect.controls();
  int position = 1;
  for (const lfhost::DeclaredParam* p : {&c.center, &c.brightness, &c.lensType, &c.blend}) {
    const std::vector<std::string> lines = lfhost::DescribeParam(*p);
    Line("  " + std::to_string(position++) + ". " + lines.front());
    for (size_t i = 1; i < lines.size(); ++i) Line("       " + lines[i]);
  }
  return kExitOk;
}

}  // namespace lfcli
