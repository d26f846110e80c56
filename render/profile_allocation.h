// Where RenderFlare gets its three profile buffers. The module always uses the
// ordinary heap; white-box tests swap in a recording allocator to make one
// allocation fail and see which buffers come back. Not part of the module's
// exported surface.
#pragma once

#include <cstddef>

struct ProfileAllocation {
  void* (*allocate)(size_t bytes);
  void (*release)(void* block);
};

// Defaults to malloc and free.
extern ProfileAllocation gProfileAllocation;
