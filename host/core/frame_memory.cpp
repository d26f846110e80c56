#include "host/core/frame_memory.h"

#include <sys/mman.h>

#include <cstdlib>

namespace lfhost {

namespace {
constexpr size_t kHugePage = size_t{2} << 20;
}  // namespace

void* AllocateFrameMemory(size_t bytes) {
  if (bytes < kHugePage) return std::malloc(bytes == 0 ? 1 : bytes);
  const size_t whole = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void* memory = std::aligned_alloc(kHugePage, whole);
  // Only a hint: where it is refused the pages are simply small ones.
  if (memory) madvise(memory, whole, MADV_HUGEPAGE);
  return memory;
}

void FreeFrameMemory(void* memory) noexcept { std::free(memory); }

}  // namespace lfhost
