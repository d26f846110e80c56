#include "host/core/module_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "host/core/elf_reader.h"
#include "host/core/host_error.h"

namespace lfhost {
namespace {

struct RegistrationSink {
  std::vector<EffectRegistration>* registrations;
  int32_t answer;
};

std::string OrEmpty(const char* text) { return text ? std::string(text) : std::string(); }

// The registerEffect callback handed to PluginDataEntryFunction. hostData is our
// RegistrationSink, which the module only passes on.
int32_t RecordRegistration(void* hostData, const char* nameKey, const char* matchName,
                           const char* categoryKey, const char* entryPoint, uint32_t kind,
                           int32_t interfaceMajor, int32_t interfaceMinor, uint32_t trailingWord) noexcept {
  auto* sink = static_cast<RegistrationSink*>(hostData);
  try {
    EffectRegistration r;
    r.nameKey = OrEmpty(nameKey);
    r.matchName = OrEmpty(matchName);
    r.categoryKey = OrEmpty(categoryKey);
    r.entryPoint = OrEmpty(entryPoint);
    r.kind = kind;
    r.interfaceMajor = interfaceMajor;
    r.interfaceMinor = interfaceMinor;
    r.trailingWord = trailingWord;
    r.hostDataPassedOn = true;
    sink->registrations->push_back(std::move(r));
  } catch (...) {
    return kErrOutOfMemory;
  }
  return sink->answer;
}

// Opens the rand library as the first object of a new link namespace and the
// module after it in the same namespace, so that the library's rand is the one
// the module's calls find first.
void* OpenWithOwnRand(const std::string& path, const std::string& randPath, void*& randLibrary, RandBinding& rand) {
  randLibrary = dlmopen(LM_ID_NEWLM, randPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!randLibrary) throw HostError(randPath + ": cannot load (" + OrEmpty(dlerror()) + ")");
  Lmid_t space = LM_ID_BASE;
  if (dlinfo(randLibrary, RTLD_DI_LMID, &space) != 0) throw HostError(randPath + ": no link namespace");
  rand.srand = reinterpret_cast<void (*)(unsigned)>(dlsym(randLibrary, "srand"));
  if (!rand.srand || !dlsym(randLibrary, "rand")) throw HostError(randPath + ": defines no rand and srand");
  rand.perThread = true;
  rand.bind = reinterpret_cast<void (*)(RandState*)>(dlsym(randLibrary, "lensflare_bind_rand"));
  return dlmopen(space, path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

}  // namespace

// In the process's own namespace the module binds to whichever rand comes first
// in the global scope: the executable's when it exports one (lensflare's
// per-thread generator, thread_rand.cpp), else the C library's single state.
RandBinding ProcessRand() {
  static const RandBinding binding = [] {
    void* moduleRand = dlsym(RTLD_DEFAULT, "rand");
    auto* seed = reinterpret_cast<void (*)(unsigned)>(dlsym(RTLD_DEFAULT, "srand"));
    return RandBinding{seed ? seed : &std::srand, moduleRand != nullptr && moduleRand != dlsym(RTLD_NEXT, "rand")};
  }();
  return binding;
}

std::string TextAfterKey(const std::string& keyAndText) {
  const size_t eq = keyAndText.find('=');
  return eq == std::string::npos ? keyAndText : keyAndText.substr(eq + 1);
}

std::unique_ptr<EffectModule> EffectModule::Load(const std::string& path, const LoadOptions& options) {
  std::unique_ptr<EffectModule> module(new EffectModule());
  module->path_ = path;
  if (!std::filesystem::exists(path)) throw HostError(path + ": plug-in not found");

  // Everything that can be learnt from the file comes first, before any of
  // its code runs.
  const ElfFile elf = ElfFile::Read(path);
  module->exportedSymbols_ = elf.ExportedSymbols();
  module->propertyListBytes_ = ReadPropertyListBytes(path);
  module->propertyList_ = DecodePropertyList(module->propertyListBytes_, path);

  if (options.randLibrary.empty()) {
    module->rand_ = ProcessRand();
    module->library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  } else {
    module->library_ = OpenWithOwnRand(path, options.randLibrary, module->randLibrary_, module->rand_);
  }
  if (!module->library_) {
    const char* why = dlerror();
    throw HostError(path + ": cannot load the plug-in (" + OrEmpty(why) + ")");
  }
  auto entry = reinterpret_cast<PluginDataEntryFn>(dlsym(module->library_, "PluginDataEntryFunction"));
  if (!entry) throw HostError(path + ": the plug-in exports no PluginDataEntryFunction");

  RegistrationSink sink{&module->registrations_, options.registerEffectAnswer};
  module->entryFunctionResult_ = entry(&sink, &RecordRegistration);
  if (module->entryFunctionResult_ != 0) {
    throw HostError(path + ": the plug-in's registration failed with code " +
                    std::to_string(module->entryFunctionResult_));
  }
  if (module->registrations_.empty()) throw HostError(path + ": the plug-in registered no effect");

  const std::string& entryPoint = module->registrations_.front().entryPoint;
  module->filterMain_ = reinterpret_cast<FilterMainFn>(dlsym(module->library_, entryPoint.c_str()));
  if (!module->filterMain_) {
    throw HostError(path + ": the registered entry point \"" + entryPoint + "\" is not exported");
  }
  return module;
}

EffectModule::~EffectModule() {
  if (library_) dlclose(library_);
  if (randLibrary_) dlclose(randLibrary_);
}

std::string EffectModule::displayName() const {
  return registrations_.empty() ? std::string() : TextAfterKey(registrations_.front().nameKey);
}

std::vector<std::string> DefaultModulePaths(const std::string& ownDir, const std::string& installedFolder) {
  const std::filesystem::path dir(ownDir);
  return {(dir / ".." / "plugins" / "LensFlare.so").lexically_normal().string(),
          (dir / installedFolder / "LensFlare.so").lexically_normal().string()};
}

std::string FindDefaultModule(const std::string& executableDir) {
  for (const std::string& candidate : DefaultModulePaths(executableDir)) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(candidate, ec)) return candidate;
  }
  return "";
}

std::vector<std::string> ModuleSearchPaths(const std::string& ownDir, const std::string& installedFolder) {
  const std::vector<std::string> layout = DefaultModulePaths(ownDir, installedFolder);
  const std::string fileName = std::filesystem::path(layout.front()).filename().string();
  std::vector<std::string> paths;
  const char* env = std::getenv(kModulePathVariable);
  for (std::string rest = env ? env : ""; !rest.empty();) {
    const size_t colon = rest.find(':');
    const std::string folder = rest.substr(0, colon);
    rest = colon == std::string::npos ? "" : rest.substr(colon + 1);
    if (!folder.empty()) paths.push_back((std::filesystem::path(folder) / fileName).string());
  }
  paths.insert(paths.end(), layout.begin(), layout.end());
  return paths;
}

std::string FindModule(const std::string& ownDir, const std::string& installedFolder, const std::string& hint) {
  std::string tried;
  for (const std::string& candidate : ModuleSearchPaths(ownDir, installedFolder)) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(candidate, ec)) return candidate;
    tried += (tried.empty() ? "" : ", ") + candidate;
  }
  throw HostError("no plug-in found (looked for " + tried + "; " + hint + ")");
}

std::string ExecutableDir() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : exe.parent_path().string();
}

std::string ObjectDir(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || !info.dli_fname) return ExecutableDir();
  return std::filesystem::absolute(info.dli_fname).parent_path().string();
}

}  // namespace lfhost
