#include "shell/string_table.h"

#include <string_view>

#include "render/lenses/lens_programs.h"

namespace {

// The Lens Type entry: its key, then the lens names in table order joined by
// "|", built at compile time so that the popup offers exactly the lenses the
// render dispatches to.
constexpr std::string_view kLensChoicesKey = "$$$/VX/Lens_Flare/LStr/0004=";

constexpr size_t LensChoicesLength() {
  size_t length = kLensChoicesKey.size();
  for (const LensTableEntry& lens : kLenses) length += std::string_view(lens.name).size() + 1;
  return length;  // the last separator's place holds the terminating NUL
}

struct LensChoicesEntry {
  char text[LensChoicesLength()];
};

constexpr LensChoicesEntry JoinLensChoices() {
  LensChoicesEntry entry{};
  size_t at = 0;
  for (char c : kLensChoicesKey) entry.text[at++] = c;
  for (const LensTableEntry& lens : kLenses) {
    if (&lens != kLenses) entry.text[at++] = '|';
    for (char c : std::string_view(lens.name)) entry.text[at++] = c;
  }
  entry.text[at] = '\0';
  return entry;
}

constexpr LensChoicesEntry kLensChoicesEntry = JoinLensChoices();

// "key=default text"; the host's getString answers the part after "=" or its own
// translation of the key.
const StringEntry kEntries[kStringCount + 1] = {
    {"$$$/VX/Lens_Flare/LStr/0000=Lens Flare, v%ld.%ld#{cr}#{cr}Generate a synthetic lens flare.",
     0, 0, 0},
    {"$$$/VX/Lens_Flare/LStr/0001=Flare Brightness", 0, 0, 0},
    {"$$$/VX/Lens_Flare/LStr/0002=Flare Center", 0, 0, 0},
    {"$$$/VX/Lens_Flare/LStr/0003=Lens Type", 0, 0, 0},
    {kLensChoicesEntry.text, 0, 0, 0},
    {"$$$/VX/Lens_Flare/LStr/0005=Not enough memory to execute Lens Flare.", 0, 0, 0},
    {"$$$/VX/Lens_Flare/LStr/0006=Blend With Original", 0, 0, 0},
    // The terminator: no text, second and third fields all ones.
    {nullptr, ~uint64_t{0}, ~uint64_t{0}, 0},
};

const StringTableRecord kStringTable = {"NRVN_Lens_Flare", kStringCount + 1, kEntries};

}  // namespace

extern "C" __attribute__((visibility("default")))
const StringTableRecord* const NRVN_Lens_Flare_G_zref = &kStringTable;
