// An image writer's target in memory: the bytes an ImageOutput writes through
// the returned proxy are appended to (or written into) `bytes`.
//
// It is a function of its own, in a library of its own, because constructing
// the image library's proxy takes its class tables (data, not functions): the
// `lensflare` tool loads that library only when a job first needs it
// (host/cli/image_library_loader.cpp), and a data reference in the tool itself
// would make the loader map it at every start. The tool finds this function in
// liblensflare_images.so, loaded with the image library; everything else links
// it as usual.
#pragma once

#include <memory>
#include <vector>

#include <OpenImageIO/filesystem.h>

namespace lfhost {

std::unique_ptr<OIIO::Filesystem::IOProxy> NewMemoryOutput(std::vector<unsigned char>& bytes);

}  // namespace lfhost
