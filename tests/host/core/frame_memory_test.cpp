// Frame memory: a block of 2 MiB or more starts on a 2 MiB boundary and its
// pages are marked for huge pages, where the kernel has them; a smaller block
// is an ordinary one. Every block is usable end to end.
#include "host/core/frame_memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace {

// The flags of the mapping that holds `address`, from /proc/self/smaps.
std::string MappingFlags(const void* address) {
  const auto at = reinterpret_cast<uintptr_t>(address);
  std::ifstream smaps("/proc/self/smaps");
  bool inside = false;
  for (std::string line; std::getline(smaps, line);) {
    uintptr_t from = 0, to = 0;
    char dash = 0;
    std::istringstream range(line);
    if (range >> std::hex >> from >> dash >> to && dash == '-') inside = from <= at && at < to;
    if (inside && line.rfind("VmFlags:", 0) == 0) return line;
  }
  return "";
}

TEST(FrameMemoryTest, LargeBlocksStartOnAHugePageAndAreMarkedForHugePages) {
  constexpr size_t kHugePage = size_t{2} << 20;
  const bool kernelHasHugePages = std::filesystem::exists("/sys/kernel/mm/transparent_hugepage/enabled");
  for (const size_t bytes : {size_t{0}, size_t{4096}, kHugePage - 1, kHugePage, size_t{1920} * 1080 * 4 + 128}) {
    const std::unique_ptr<uint8_t[], lfhost::FreeFrame> block(static_cast<uint8_t*>(lfhost::AllocateFrameMemory(bytes)));
    ASSERT_NE(block, nullptr) << bytes;
    std::memset(block.get(), 0xA5, bytes);
    if (bytes > 0) {
      EXPECT_EQ(block[bytes - 1], 0xA5) << bytes;
    }
    if (bytes < kHugePage) continue;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block.get()) % kHugePage, 0u) << bytes;
    // "hg": the mapping was advised to take huge pages.
    if (kernelHasHugePages) {
      EXPECT_NE(MappingFlags(block.get() + bytes - 1).find(" hg"), std::string::npos) << bytes;
    }
  }
}

}  // namespace
