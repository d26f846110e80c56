#include "host/cli/commands.h"

namespace lfcli {

const char* const kMainHelp =
    "Usage: lensflare COMMAND [OPTIONS]\n"
    "\n"
    "Renders the Lens Flare effect onto images and inspects the plug-in.\n"
    "\n"
    "Commands:\n"
    "  render   draw a flare onto an image, a sequence or a video (or a built-in frame)\n"
    "  info     show the plug-in's About text, registration, property list and controls\n"
    "  bench    time renders against the memory floor, with no file I/O\n"
    "  serve    a local web page to place and tune the flare on a frame\n"
    "\n"
    "Run 'lensflare COMMAND --help' for a command's options.\n";

const char* const kRenderHelp =
    "Usage: lensflare render [INPUT] -o OUTPUT [OPTIONS]\n"
    "\n"
    "Draws a lens flare onto INPUT and writes OUTPUT. Each may be an image (PNG, JPEG,\n"
    "TIFF, OpenEXR, DPX), an image sequence named by a pattern (plate.%04d.exr or\n"
    "plate.####.png) or a video (.mp4 .m4v .mov .mkv .webm; more kinds read), as long\n"
    "as they go together: one image to one image, a sequence or video to a sequence\n"
    "or video. Without INPUT the flare is drawn on a built-in dark frame (1920x1080,\n"
    "or --size), once, or for every frame of --frames. Controls left out take the\n"
    "plug-in's defaults.\n"
    "\n"
    "Options:\n"
    "  -o, --output OUT        the image, sequence pattern or video to write (required)\n"
    "  --frames A-B            the frames to render, inclusive: a sequence's own frame\n"
    "                          numbers, a video's frames counted from 0; default: all\n"
    "  --lens L                1 or zoom (50-300mm Zoom), 2 or 35mm (35mm Prime),\n"
    "                          3 or 105mm (105mm Prime); default 1\n"
    "  --brightness PCT        flare brightness in percent, 0 to 300; default 100\n"
    "  --center X,Y            flare centre in pixels (decimals allowed) or percent of\n"
    "                          the frame (\"40%,40%\"); default 40%,40%\n"
    "  --blend PCT             blend with the original, 0 to 100 percent; default 0\n"
    "                          Each control also takes keyframes F=VALUE, repeated:\n"
    "                          --brightness 0=0 --brightness 24=150 --lens 48=3.\n"
    "                          Numbers change linearly between keyframes and hold\n"
    "                          before the first and after the last; the lens steps.\n"
    "  --keys FILE.json        keyframes from a file, e.g. {\"brightness\": {\"0\": 0,\n"
    "                          \"24\": 150}, \"lens\": 2}; options given here win\n"
    "  --fps RATE              frame rate of a video made from a sequence or the\n"
    "                          built-in frame (24, 25, 29.97, 30000/1001); default 24\n"
    "  --size WxH              size of the built-in frame; default 1920x1080\n"
    "  --par N:D               pixel aspect ratio; default 1:1\n"
    "  --seed N                random seed for the rays (srand(seed + frame)); default 0\n"
    "  --threads N             worker threads; default: one per processor\n"
    "  -q, --quiet             no progress display\n"
    "  --plugin PATH           the plug-in to load; default: beside this tool\n"
    "  -h, --help              show this help\n"
    "\n"
    "Ctrl-C cancels the frame in flight and exits with status 130; frames already\n"
    "finished are written and stay complete. A second Ctrl-C stops at once.\n";

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
