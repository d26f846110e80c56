// A module file as the loader reads it before any of its code runs: the ELF
// header, the notes (where the property list is) and the dynamic symbols.
#include <vector>

#include "host/core/elf_reader.h"
#include "host/core/host_error.h"
#include "host/core/property_list.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const lfhost::ElfFile elf = lfhost::ElfFile::FromBytes(std::vector<uint8_t>(data, data + size), "LensFlare.so");
    elf.ExportedSymbols();
    const std::vector<uint8_t> list = lfhost::PropertyListBytes(elf, "LensFlare.so");
    lfhost::DescribeProperties(lfhost::DecodePropertyList(list, "LensFlare.so"));
  } catch (const lfhost::HostError&) {
  }
  return 0;
}
