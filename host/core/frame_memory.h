// Memory for whole frames. On the virtual machines renders run on, faulting in
// a fresh 4 KiB page costs about 14 us (256 MB touched for the first time took
// 0.93 s), so an 8 MB 1080p frame costs 28 ms before anything is drawn on it,
// four times the plug-in's render of it. A block of 2 MiB or more is aligned
// to 2 MiB and asked to be backed by huge pages (MADV_HUGEPAGE, honoured where
// the system's transparent huge pages are "madvise" or "always"): the same
// first touch took 21-470 ms. Smaller blocks come from malloc as usual.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

namespace lfhost {

// nullptr when there is not enough memory; freed with FreeFrameMemory.
void* AllocateFrameMemory(size_t bytes);
void FreeFrameMemory(void* memory) noexcept;

// For standard containers of frame samples.
template <class T>
struct FrameAllocator {
  using value_type = T;
  FrameAllocator() = default;
  template <class U>
  FrameAllocator(const FrameAllocator<U>&) noexcept {}
  T* allocate(size_t count) {
    if (count > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
    void* memory = AllocateFrameMemory(count * sizeof(T));
    if (!memory) throw std::bad_alloc();
    return static_cast<T*>(memory);
  }
  void deallocate(T* memory, size_t) noexcept { FreeFrameMemory(memory); }
  template <class U>
  bool operator==(const FrameAllocator<U>&) const noexcept {
    return true;
  }
};

// For a std::unique_ptr of frame memory.
struct FreeFrame {
  void operator()(void* memory) const noexcept { FreeFrameMemory(memory); }
};

}  // namespace lfhost
