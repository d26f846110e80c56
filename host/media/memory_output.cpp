#include "host/media/memory_output.h"

namespace lfhost {

std::unique_ptr<OIIO::Filesystem::IOProxy> NewMemoryOutput(std::vector<unsigned char>& bytes) {
  return std::make_unique<OIIO::Filesystem::IOVecOutput>(bytes);
}

}  // namespace lfhost
