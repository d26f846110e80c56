// The `lensflare` tool starts without its image library. Linked in, that
// library and the fifty or so further libraries it brings (geodata, DICOM,
// computer vision, volumes) took 0.25 s of mapping and relocation at every
// start, twice an ffmpeg's whole start, and a video render onto a video
// never needs it. Instead, every
// function of it the tool calls is a stub (image_library_stubs.cmake) whose
// first call lands here: liblensflare_images.so, installed beside the module
// and linking the image library, is loaded once, and the function is looked
// up in it and its libraries. Tests and the Python package link the library
// as usual.
//
// x86-64 only; elsewhere the tool links the library (host/cli/CMakeLists.txt).
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "host/cli/commands.h"
#include "host/core/module_loader.h"

extern "C" {
// From the generated stubs: one slot and one name per function, in order.
extern void* lf_image_stub_slots[];
extern const char* const lf_image_stub_names[];
extern const unsigned lf_image_stub_count;
void* lf_image_stub_resolve(unsigned index);
}

namespace {

// Beside the module: <bin>/../lib/lensflare, in the build tree as installed.
constexpr const char* kImageLibrary = "/../lib/lensflare/liblensflare_images.so";

// A stub has no way to report a failure to its caller, which expects the
// function to have run; the tool cannot go on, so it says why and ends. Only a
// broken installation gets here: the package depends on the library.
[[noreturn]] void CannotLoad(const std::string& what) {
  std::fprintf(stderr, "lensflare: cannot load the image library: %s\n", what.c_str());
  std::fflush(stderr);
  _exit(lfcli::kExitFailed);
}

void* ImageLibrary() {
  static void* const handle = [] {
    const std::string path = lfhost::ExecutableDir() + kImageLibrary;
    void* loaded = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!loaded) CannotLoad(dlerror());
    return loaded;
  }();
  return handle;
}

}  // namespace

extern "C" void* lf_image_stub_resolve(unsigned index) {
  if (index >= lf_image_stub_count) CannotLoad("no function number " + std::to_string(index));
  void* function = dlsym(ImageLibrary(), lf_image_stub_names[index]);
  if (!function) CannotLoad(std::string(lf_image_stub_names[index]) + " is missing");
  // Two threads may both get here for one stub; both store the same address.
  __atomic_store_n(&lf_image_stub_slots[index], function, __ATOMIC_RELEASE);
  return function;
}
