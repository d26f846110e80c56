#include "shell/string_table.h"

namespace {

// "key=default text"; the host's getString answers the part after "=" or its own
// translation of the key.
const StringEntry kEntries[kStringCount + 1] = {
    {"$$$/VX/Lens_Flare/LStr/0000=Lens Flare, v%ld.%ld#{cr}#{cr}Generate a synthetic lens flare.",
     0, 0, 0},
    {"$$$/VX/Lens_Flare/LStr/0001=Flare Brightness", 0, 0, 0},
    {"$$$/VX/Lens_Flare/LStr/0002=Flare Center", 0, 0, 0},
    {"$$$/VX/Lens_Flare/LStr/0003=Lens Type", 0, 0, 0},
    {"$$$/VX/Lens_Flare/LStr/0004=50-300mm Zoom|35mm Prime|105mm Prime", 0, 0, 0},
    {"$$$/VX/Lens_Flare/LStr/0005=Not enough memory to execute Lens Flare.", 0, 0, 0},
    {"$$$/VX/Lens_Flare/LStr/0006=Blend With Original", 0, 0, 0},
    // The terminator: no text, second and third fields all ones.
    {nullptr, ~uint64_t{0}, ~uint64_t{0}, 0},
};

const StringTableRecord kStringTable = {"NRVN_Lens_Flare", kStringCount + 1, kEntries};

}  // namespace

extern "C" __attribute__((visibility("default")))
const StringTableRecord* const NRVN_Lens_Flare_G_zref = &kStringTable;
