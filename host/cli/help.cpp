#include "host/cli/commands.h"

#include <cstdio>

#include "host/core/effect_instance.h"
#include "host/core/host_error.h"
#include "host/core/worker_pool.h"

namespace lfcli {

std::string LensesHelp(const std::string& pluginOption) {
  try {
    const auto module = lfhost::EffectModule::Load(ResolvePluginPath(pluginOption));
    lfhost::WorkerPool pool(1);
    lfhost::EffectInstance effect(*module, pool);
    effect.Start();
    const lfhost::DeclaredParam& lens = effect.controls().lensType;
    std::string text = "\nLenses, as the plug-in declares them (--lens takes the number or the short name):\n";
    for (size_t i = 0; i < lens.choices.size(); ++i) {
      char line[256];
      std::snprintf(line, sizeof line, "  %zu  %-8s %s%s\n", i + 1, lfhost::LensShortName(lens.choices[i]).c_str(),
                    lens.choices[i].c_str(), static_cast<int>(i + 1) == lens.record.value.popup.defaultChoice ? " (the default)" : "");
      text += line;
    }
    return text;
  } catch (const lfhost::HostError& e) {
    return "\nLenses: the plug-in could not be loaded to list them (" + std::string(e.what()) + ")\n";
  }
}

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
    "  track    follow a light through a sequence or video, as keys for render\n"
    "\n"
    "Run 'lensflare COMMAND --help' for a command's options; 'lensflare --version'\n"
    "prints the tool's version and the plug-in's.\n"
    "\n"
    "Without --plugin, the plug-in (LensFlare.so) is taken from the first of:\n"
    "  each folder of LENSFLARE_PLUGIN_PATH (folders separated by ':'), in order;\n"
    "  ../plugins beside this tool (a build tree: build/bin and build/plugins);\n"
    "  ../lib/lensflare/plugins beside this tool (an install: PREFIX/bin and\n"
    "  PREFIX/lib/lensflare/plugins).\n";

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
    "A sequence is named by a mark in the file name: %d, %0Nd (at least N digits,\n"
    "zero-padded) or a run of # (one digit each). An input file that exists under\n"
    "the very name given is read as it is, so \"take#1.png\" can be one image; an\n"
    "output of one frame is written under its name as given. A sequence or video\n"
    "output may not name any of the input's files, however spelt.\n"
    "\n"
    "Options:\n"
    "  -o, --output OUT        the image, sequence pattern or video to write (required)\n"
    "  --frames A-B            the frames to render, inclusive: a sequence's own frame\n"
    "                          numbers, a video's frames counted from 0 (or from\n"
    "                          --start-number); default: all. Also every Nth frame\n"
    "                          (1001-1048x2) and lists (1001,1010,1020-1030)\n"
    "  --start-number N        number a video's frames from N (a sequence made from\n"
    "                          a video is named and seeded by these numbers)\n"
    "  --skip-existing         leave out frames whose output file exists already, to\n"
    "                          run a farm chunk again without redoing finished frames\n"
    "  --missing M             a frame missing from a sequence: error (the default:\n"
    "                          nothing renders), black (renders a black frame) or\n"
    "                          hold (the frame before it again)\n"
    "  --chunk I/N             render only part I (from 0) of N contiguous parts of\n"
    "                          those frames, e.g. one task of a job array; the first\n"
    "                          (frames mod N) parts take one frame more; for a\n"
    "                          sequence output only\n"
    "  --lens L                the lens, by number or short name (listed below)\n"
    "  --brightness PCT        flare brightness in percent, 0 to 300; default 100\n"
    "  --center X,Y            flare centre in pixels (decimals allowed) or percent of\n"
    "                          the frame (\"40%,40%\"); default 40%,40%\n"
    "  --blend PCT             blend with the original, 0 to 100 percent; default 0\n"
    "                          Each control also takes keyframes F=VALUE, repeated:\n"
    "                          --brightness 0=0 --brightness 24=150 --lens 48=3.\n"
    "                          Numbers change linearly between keyframes and hold\n"
    "                          before the first and after the last; the lens steps.\n"
    "                          F=VALUE:HOW sets how a number moves on to the next\n"
    "                          keyframe: linear, hold, ease, ease-in, ease-out or\n"
    "                          smooth (a curve through the keys around it)\n"
    "  --keys FILE.json        keyframes from a file, e.g. {\"brightness\": {\"0\": 0,\n"
    "                          \"24\": 150}, \"lens\": 2}; options given here win.\n"
    "                          \"center\" may name a track file: {\"center\": {\"track\":\n"
    "                          \"sun.csv\", \"y_up\": true, \"frame_offset\": 0}}\n"
    "  --center-track FILE     the centre from another tool's track: lines of frame,\n"
    "                          x, y (CSV or spaces), x and y pixels from the top left\n"
    "  --track-y-up            the track's y counts up from the bottom edge\n"
    "  --track-frame-offset N  add N to the track's frame numbers\n"
    "  --occlusion             dim the flare as its light goes behind something: the\n"
    "                          share of a small disc around the centre still as\n"
    "                          bright as the light, against the first frame it is\n"
    "                          seen on, over five frames, scales the brightness.\n"
    "                          Measured over all the frames asked for, before any\n"
    "                          --chunk, so every part agrees\n"
    "  --edge-fade PX          fade the flare as its centre leaves the frame, to\n"
    "                          nothing PX pixels outside it\n"
    "  --fps RATE              frame rate of a video made from a sequence or the\n"
    "                          built-in frame (24, 25, 29.97, 30000/1001); default 24.\n"
    "                          A video input keeps its own frame times; a variable-\n"
    "                          rate one is written only as an image sequence\n"
    "  --codec C               a video output's codec: h264, hevc, prores, ffv1, vp9;\n"
    "                          default: the input video's where the container\n"
    "                          holds it, else H.264 (.mp4), ProRes (.mov), FFV1\n"
    "                          (.mkv), VP9 (.webm)\n"
    "  --quality Q             a CRF for h264/hevc/vp9 (default 16/18/20), a\n"
    "                          ProRes profile (proxy lt standard hq 4444 4444xq)\n"
    "  --pix-fmt F             the video's pixel format (yuv420p, yuv422p10le...);\n"
    "                          default: the input video's\n"
    "  --size WxH              size of the built-in frame; default 1920x1080\n"
    "  --par N:D               pixel aspect ratio; default: the input's own (a DPX,\n"
    "                          EXR, TIFF or PNG header, a video's sample aspect\n"
    "                          ratio), else 1:1. The output states the ratio used\n"
    "  --seed N                random seed for the rays; default 0. Frame n seeds\n"
    "                          them with srand((seed + n x 2654435761) mod 2^32)\n"
    "  --threads N             worker threads one frame's render shares; default: one\n"
    "                          per processor\n"
    "  --frames-in-flight N    frames read, rendered and written at once, each with\n"
    "                          a render of its own (their worker threads take\n"
    "                          turns); default: one per processor the tool may\n"
    "                          use, fewer if memory is short\n"
    "  -q, --quiet             no progress display\n"
    "  --allow-damaged         render what decodes of a damaged input (a file cut\n"
    "                          short, data past its end), with a warning per file;\n"
    "                          without it damaged input is an error\n"
    "  --validate              check that the plug-in keeps the host protocol\n"
    "                          (commands, handles, guard bytes) and warn of each\n"
    "                          fault; slower, and its records grow with each frame\n"
    "  --plugin PATH           the plug-in to load; default: see lensflare --help\n"
    "  -h, --help              show this help\n"
    "\n"
    "A video output keeps its input's colour description (matrix, range, primaries,\n"
    "transfer) and converts through the same matrix and range; untagged video is\n"
    "taken as BT.709 from 720 lines up and BT.601 below, limited range.\n"
    "\n"
    "Ctrl-C (SIGINT), SIGTERM and SIGHUP cancel the frame in flight and exit with\n"
    "status 130, 143 and 129; frames already finished are written and stay complete,\n"
    "and no temporary file is left. A second signal stops at once.\n";

const char* const kInfoHelp =
    "Usage: lensflare info [--plugin PATH]\n"
    "\n"
    "Shows the plug-in's About text, its registration data, its property list\n"
    "decoded field by field, and its four controls as declared (name, kind, range,\n"
    "default, choices).\n"
    "\n"
    "Options:\n"
    "  --plugin PATH           the plug-in to load; default: see lensflare --help\n"
    "  -h, --help              show this help\n";

}  // namespace lfcli
