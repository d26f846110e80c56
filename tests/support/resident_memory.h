// The process's resident memory, from /proc/self/statm, for the checks that a
// long session stays the same size.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>

namespace lftest {

inline int64_t ResidentBytes() {
  long pages = 0, resident = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (!statm) return -1;
  const int read = std::fscanf(statm, "%ld %ld", &pages, &resident);
  std::fclose(statm);
  return read == 2 ? int64_t{resident} * sysconf(_SC_PAGESIZE) : -1;
}

}  // namespace lftest
