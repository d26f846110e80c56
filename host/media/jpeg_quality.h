// The quality a JPEG was saved at, so that a JPEG written from it loses no
// more. A JPEG's quality is its quantisation tables: how coarsely each of the
// 64 frequencies of an 8x8 block is stored. OpenImageIO's writer takes only a
// quality from 1 to 100, which scales libjpeg's standard tables; this finds
// the quality that gives a file's own tables back.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace lfhost {

// The quantisation tables of a JPEG's luma and, when it has colour, chroma:
// 64 entries each, in the block's row order (not the file's zigzag order).
using QuantTable = std::array<uint16_t, 64>;
struct JpegTables {
  QuantTable luma{};
  std::optional<QuantTable> chroma;
  bool operator==(const JpegTables&) const = default;
};

// The tables the JPEG file at `path` was compressed with: its first
// component's as luma, and the finest of its other components' entries as
// chroma. None when the file is not a JPEG or its header cannot be read (a
// damaged file is reported by the read of its pixels).
std::optional<JpegTables> ReadJpegTables(const std::string& path);

// The tables the writer uses at `quality` (1 to 100).
JpegTables TablesAtQuality(int quality);

// The quality a JPEG output is written at to keep `tables`: the lowest whose
// tables are nowhere coarser than them. Where `tables` are standard tables
// scaled (as most programs write them) that is the quality that gives them
// back exactly; otherwise (a camera's own tables) no quality does, and the
// lowest that stores every frequency at least as finely loses nothing more
// than the input already lost without growing the file beyond that need.
int QualityKeeping(const JpegTables& tables);

// The quality a JPEG output keeps for the JPEG file at `path`; none when it is
// not one or its tables cannot be read.
std::optional<int> JpegQualityOf(const std::string& path);

}  // namespace lfhost
