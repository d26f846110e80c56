// Where RenderFlare gets its three profile buffers: the ordinary heap. The
// test build of the renderer (LF_TEST_SEAMS, never the module) routes them
// through gProfileAllocation, which white-box tests swap for a recording
// allocator to make one allocation fail and see which buffers come back.
#pragma once

#include <cstddef>
#include <cstdlib>

#ifdef LF_TEST_SEAMS
struct ProfileAllocation {
  void* (*allocate)(size_t bytes);
  void (*release)(void* block);
};

// Defaults to malloc and free.
extern ProfileAllocation gProfileAllocation;

inline void* AllocateProfile(size_t bytes) { return gProfileAllocation.allocate(bytes); }
inline void ReleaseProfile(void* block) { gProfileAllocation.release(block); }
#else
inline void* AllocateProfile(size_t bytes) { return std::malloc(bytes); }
inline void ReleaseProfile(void* block) { std::free(block); }
#endif
