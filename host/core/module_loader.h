// Loading a Lens Flare module: read its property list from the file, dlopen it,
// let PluginDataEntryFunction register the effect, and resolve the entry point
// that registration named. The property list's "EffectMain" is never used to
// find code.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/core/property_list.h"
#include "shell/host_protocol.h"

namespace lfhost {

// The arguments one registerEffect call received, in order.
struct EffectRegistration {
  std::string nameKey;
  std::string matchName;
  std::string categoryKey;
  std::string entryPoint;
  uint32_t kind = 0;
  int32_t interfaceMajor = 0;
  int32_t interfaceMinor = 0;
  uint32_t trailingWord = 0;
  bool hostDataPassedOn = false;   // the opaque hostData came back unchanged
};

struct LoadOptions {
  // What registerEffect answers; non-zero makes loading fail after the call
  // (tests use it to see the refusal come back from PluginDataEntryFunction).
  int32_t registerEffectAnswer = 0;
  // A shared library defining rand() and srand() (bound_rand.cpp built as
  // one), and optionally lensflare_bind_rand. When given, the module is loaded into a link namespace of its own
  // (dlmopen) whose first object is this library: the first object is that
  // namespace's global scope, so the module's rand and srand bind to the
  // library's per-thread generator instead of the C library's single state.
  // For programs that load the module but cannot export rand from their own
  // executable, as lensflare does (a Python interpreter).
  std::string randLibrary;
};

struct RandState;

// The rand state the module draws its ray jitter from, and the srand that
// seeds it, as the module's own rand() binds.
struct RandBinding {
  void (*srand)(unsigned) = nullptr;
  bool perThread = false;  // each thread has its own sequence
  // Where the rand library has it (bound_rand.cpp): binds a state of the
  // caller's to the calling thread (nullptr lets go), so a render draws from
  // its effect instance's own state.
  void (*bind)(RandState*) = nullptr;
};

// The rand the process's own namespace binds: what a module loaded without a
// rand library of its own draws from, and what the renderer linked into the
// host (the full-precision flare) draws from.
RandBinding ProcessRand();

class EffectModule {
 public:
  // Throws HostError naming the file for: unreadable or non-ELF file, missing
  // or malformed property list, dlopen failure, missing PluginDataEntryFunction,
  // a registration refused or never made, an entry point that does not resolve.
  static std::unique_ptr<EffectModule> Load(const std::string& path, const LoadOptions& options = {});
  ~EffectModule();
  EffectModule(const EffectModule&) = delete;
  EffectModule& operator=(const EffectModule&) = delete;

  const std::string& path() const { return path_; }
  const std::vector<uint8_t>& propertyListBytes() const { return propertyListBytes_; }
  const PropertyList& propertyList() const { return propertyList_; }
  // Every registerEffect call, in order (the module makes one).
  const std::vector<EffectRegistration>& registrations() const { return registrations_; }
  // What PluginDataEntryFunction returned.
  int32_t entryFunctionResult() const { return entryFunctionResult_; }
  // Names exported by the module's dynamic symbol table.
  const std::vector<std::string>& exportedSymbols() const { return exportedSymbols_; }
  FilterMainFn filterMain() const { return filterMain_; }
  const RandBinding& rand() const { return rand_; }

  // Display name: the text after "=" in the registered name key.
  std::string displayName() const;

 private:
  EffectModule() = default;
  std::string path_;
  std::vector<uint8_t> propertyListBytes_;
  PropertyList propertyList_;
  std::vector<EffectRegistration> registrations_;
  int32_t entryFunctionResult_ = 0;
  std::vector<std::string> exportedSymbols_;
  void* library_ = nullptr;
  void* randLibrary_ = nullptr;   // loaded first into the module's namespace
  RandBinding rand_;
  FilterMainFn filterMain_ = nullptr;
};

// Folders searched for the module before a program's own layout, separated by
// ':' like PATH.
inline constexpr const char* kModulePathVariable = "LENSFLARE_PLUGIN_PATH";
// The module's folder in an install, from the tool's folder (PREFIX/bin).
inline constexpr const char* kInstalledModuleFolder = "../lib/lensflare/plugins";

// A program's own layout, from the folder its file sits in: <ownDir>/../plugins/LensFlare.so
// (the build tree: build/bin, build/frei0r-1 and build/gegl-0.4 beside build/plugins),
// then <ownDir>/<installedFolder>/LensFlare.so (an install).
std::vector<std::string> DefaultModulePaths(const std::string& ownDir,
                                            const std::string& installedFolder = kInstalledModuleFolder);
// The first of DefaultModulePaths that exists, or "" if none does.
std::string FindDefaultModule(const std::string& executableDir);
// Where the tool and the adapters look for the module: LensFlare.so in each
// folder of kModulePathVariable, in order (empty entries skipped), then
// DefaultModulePaths.
std::vector<std::string> ModuleSearchPaths(const std::string& ownDir,
                                           const std::string& installedFolder = kInstalledModuleFolder);
// The first of ModuleSearchPaths that is a file. Throws HostError naming every
// place looked at, then `hint` (what the user can do about it), if none is.
std::string FindModule(const std::string& ownDir, const std::string& installedFolder, const std::string& hint);
// The directory of the running executable (from /proc/self/exe).
std::string ExecutableDir();
// The directory of the executable or shared object that holds `address` (a
// function or variable of the caller's), so that a plug-in loaded by another
// program finds what it installed beside itself.
std::string ObjectDir(const void* address);

// The text after the first "=" of a localized key ("key=text"), or the whole
// string if it has none.
std::string TextAfterKey(const std::string& keyAndText);

}  // namespace lfhost
