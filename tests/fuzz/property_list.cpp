// The property list's bytes, as the loader decodes the module's note and
// `lensflare info` shows it. A list that decodes accounts for every byte.
#include <vector>

#include "host/core/host_error.h"
#include "host/core/property_list.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lfhost::PropertyList list;
  try {
    list = lfhost::DecodePropertyList(std::vector<uint8_t>(data, data + size), "LensFlare.so");
  } catch (const lfhost::HostError&) {
    return 0;
  }
  if (list.totalBytes != size || list.properties.size() != list.count) lffuzz::Broken("bytes or properties unaccounted for");
  size_t at = 10;
  for (const lfhost::Property& p : list.properties) {
    if (p.offset != at || p.value.size() != p.length || (p.length + p.padding) % 4 != 0) lffuzz::Broken("property " + p.key);
    at += 16 + p.length + p.padding;
  }
  if (lfhost::DescribeProperties(list).size() != list.properties.size() + 1) lffuzz::Broken("a property not described");
  return 0;
}
