#include "host/cli/commands.h"

namespace lfcli {

const char* const kMainHelp =
    "Usage: lensflare COMMAND [OPTIONS]\n"
    "\n"
    "Renders the Lens Flare effect onto images and inspects the plug-in.\n"
    "\n"
    "Commands:\n"
    "  render   draw a flare onto an image (or onto a built-in dark frame)\n"
    "  info     show the plug-in's About text, registration, property list and controls\n"
    "  bench    time renders against the memory floor, with no file I/O\n"
    "  serve    a local web page to place and tune the flare on a frame\n"
    "\n"
    "Run 'lensflare COMMAND --help' for a command's options.\n";

const char* const kRenderHelp =
    "Usage: lensflare render [INPUT] -o OUTPUT [OPTIONS]\n"
    "\n"
    "Draws a lens flare onto INPUT (PNG, JPEG, TIFF, OpenEXR, DPX) and writes OUTPUT,\n"
    "whose format follows its extension. Without INPUT the flare is drawn on a\n"
    "built-in 1920x1080 dark frame. Controls left out take the plug-in's defaults.\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE       the image to write (required)\n"
    "  --lens L                1 or zoom (50-300mm Zoom), 2 or 35mm (35mm Prime),\n"
    "                          3 or 105mm (105mm Prime); default 1\n"
    "  --brightness PCT        flare brightness in percent, 0 to 300; default 100\n"
    "  --center X,Y            flare centre in pixels (decimals allowed) or percent of\n"
    "                          the frame (\"40%,40%\"); default 40%,40%\n"
    "  --blend PCT             blend with the original, 0 to 100 percent; default 0\n"
    "  --par N:D               pixel aspect ratio; default 1:1\n"
    "  --seed N                random seed for the rays (srand(seed + frame)); default 0\n"
    "  --threads N             worker threads; default: one per processor\n"
    "  --plugin PATH           the plug-in to load; default: beside this tool\n"
    "  -h, --help              show this help\n";

const char* const kInfoHelp =
    "Usage: lensflare info [--plugin PATH]\n"
    "\n"
    "Shows the plug-in's About text, its registration data, its property list\n"
    "decoded field by field, and its four controls as declared (name, kind, range,\n"
    "default, choices).\n"
    "\n"
    "Options:\n"
    "  --plugin PATH           the plug-in to load; default: beside this tool\n"
    "  -h, --help              show this help\n";

}  // namespace lfcli
