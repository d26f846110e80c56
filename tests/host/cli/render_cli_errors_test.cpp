// Bad input to lensflare: each mistake in options, images, sequences, video and
// keyframes gets one line naming the file or option, its exit status, and
// leaves no output.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>

#include "host/media/image_io.h"
#include "host/media/video_writer.h"
#include "tests/host/media_fixture.h"

namespace {

using lftest::MediaTest;
namespace fs = std::filesystem;

class RenderCliErrorsTest : public MediaTest {};

TEST_F(RenderCliErrorsTest, EachMistakeIsNamedWithItsStatusAndNothingIsWritten) {
  auto plate = [&](const std::string& folder, int n, int32_t w, int32_t h) {
    fs::create_directories(dir_ / folder);
    char name[32];
    std::snprintf(name, sizeof name, "/plate.%04d.png", n);
    lfhost::WriteImage(lftest::PatternFrame(w, h, n), Path(folder + name));
  };
  for (int n = 1; n <= 3; ++n) plate("in", n, 64, 48);
  plate("mixed", 1, 64, 48);
  plate("mixed", 2, 64, 48);
  plate("mixed", 3, 64, 50);
  plate("wide", 1, 64, 48);
  plate("wide", 2, 32768, 1);
  plate("broken", 1, 64, 48);
  std::ofstream(Path("broken/plate.0002.png")) << "not a png";
  std::vector<char> png = lftest::FileBytes(Path("in/plate.0001.png"));
  png.resize(png.size() / 2);
  std::ofstream(Path("cut.png"), std::ios::binary).write(png.data(), static_cast<std::streamsize>(png.size()));
  std::ofstream(Path("text.mp4")) << "not a video";
  std::ofstream(Path("syntax.json")) << "{\n  \"brightness\": {\"0\" 10}\n}\n";
  std::ofstream(Path("field.json")) << "{\"lens\": {\"3\": 7}}";
  std::ofstream(Path("range.json")) << "{\"blend\": {\"2\": 150}}";
  std::ofstream(Path("bad.csv")) << "frame,x,y\n1,x,3\n";
  fs::create_directories(dir_ / "flat");
  for (const char* name : {"flat/f.0001.png", "flat/f.0002.png"}) lfhost::WriteImage(lfhost::ImageBuffer(16, 16), Path(name));
  // A bare little-endian TIFF: its header and one strip of 8-bit or float
  // samples stored at `dataAt`, which may lie past the file's end.
  auto tiff = [&](const std::string& name, uint16_t side, uint16_t bits, uint32_t dataAt) {
    const uint16_t tags[][3] = {{256, 3, side}, {257, 3, side}, {258, 3, bits}, {259, 3, 1},  {262, 3, 2},
                                {273, 4, 0},    {277, 3, 4},    {278, 3, side}, {279, 4, 0},  {339, 3, static_cast<uint16_t>(bits == 32 ? 3 : 1)}};
    std::string b("II*\0\x08\0\0\0", 8);
    auto put = [&](uint32_t v, int bytes) { for (int i = 0; i < bytes; ++i) b += static_cast<char>(v >> (8 * i)); };
    put(std::size(tags), 2);
    for (const auto& t : tags) {
      put(t[0], 2), put(t[1], 2), put(1, 4);
      put(t[0] == 273 ? dataAt : t[0] == 279 ? uint32_t{side} * side * bits / 2 : t[2], 4);
    }
    put(0, 4);
    std::ofstream(Path(name), std::ios::binary) << b;
  };
  tiff("huge.tif", 32767, 32, 4096);
  tiff("past.tif", 64, 8, 4096);
  lfhost::WriteImage(lftest::PatternFrame(64, 48, 0), Path("whole.jpg"));
  std::vector<char> jpeg = lftest::FileBytes(Path("whole.jpg"));
  std::ofstream(Path("cut.jpg"), std::ios::binary).write(jpeg.data(), static_cast<std::streamsize>(jpeg.size() * 2 / 3));
  // A DPX whose header lists no image element (the count at byte 770).
  lfhost::WriteImage(lftest::PatternFrame(64, 48, 0), Path("whole.dpx"));
  std::vector<char> dpx = lftest::FileBytes(Path("whole.dpx"));
  dpx[770] = dpx[771] = 0;
  std::ofstream(Path("noelement.dpx"), std::ios::binary).write(dpx.data(), static_cast<std::streamsize>(dpx.size()));
  for (const char* name : {"fifo.png", "fifo.mkv", "fifo.json"}) mkfifo(Path(name).c_str(), 0644);
  fs::create_directory_symlink("loop", dir_ / "loop");
  {
    lfhost::VideoWriter clip(Path("clip.mkv"), 64, 48, {24, 1});
    for (int n = 0; n < 4; ++n) clip.WriteFrame(lftest::PatternFrame(64, 48, n));
    clip.Finish();
  }
  lftest::RunTool("ffmpeg -v error -nostdin -f lavfi -i testsrc=size=64x48:rate=30 -t 1 -vf "
                  "\"setpts='if(lt(N,10),N/30,10/30+(N-10)/15)/TB'\" -fps_mode passthrough -c:v ffv1 " +
                  lftest::ShellQuote(Path("vfr.mkv")));
  // A Y4M cut inside its third frame: ffmpeg itself would pass it for two.
  lftest::RunTool("ffmpeg -v error -nostdin -f lavfi -i testsrc=size=64x48:rate=25 -frames:v 3 -pix_fmt yuv420p " +
                  lftest::ShellQuote(Path("cut.y4m")));
  fs::resize_file(dir_ / "cut.y4m", fs::file_size(dir_ / "cut.y4m") - 100);
  // H.264 in Matroska cut inside its frames: decoded in the tool's own process
  // (as stored samples, into a video), the demuxer's complaint is the damage.
  lftest::RunTool("ffmpeg -v error -nostdin -f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 20 -c:v libx264 -bf 0 "
                  "-pix_fmt yuv420p " + lftest::ShellQuote(Path("cut.mkv")));
  fs::resize_file(dir_ / "cut.mkv", 12000);
  // Inputs named as outputs, however spelt: each must come out byte for byte.
  fs::create_directories(dir_ / "d");
  lfhost::WriteImage(lftest::PatternFrame(64, 48, 5), Path("x.png"));
  lfhost::WriteImage(lftest::PatternFrame(64, 48, 6), Path("x.exr"));
  lfhost::WriteImage(lftest::PatternFrame(64, 48, 7), Path("z.png"));
  fs::create_symlink("x.png", dir_ / "link.png");
  std::ofstream(Path("keys.png")) << "{\"blend\": 10}";
  std::map<std::string, std::vector<char>> kept;
  for (const char* name : {"x.png", "x.exr", "z.png", "keys.png"}) kept[name] = lftest::FileBytes(Path(name));
  // Each format cut short at 40 % and 95 % of its bytes and by its last 3
  // bytes; a 128x96 10-bit DPX cut after 40 of its 96 rows of 512 bytes.
  const std::string pattern = "oiiotool --pattern fill:topleft=0.1,0.5,0.3:topright=0.9,0.2,0.4:bottomleft=0.3,0.3,0.9:"
                              "bottomright=0.8,0.8,0.1 128x96 3 ";
  struct Cut { std::string make, name, says; std::vector<std::string> sayAlso; };
  const std::vector<Cut> formats = {
      {"-d uint10", "d10.dpx", "is damaged (the image data stops after", {}},
      {"-d uint12", "d12.dpx", "is damaged (the image data stops after", {}},
      {"-d uint8", "d8.dpx", "cannot read the image (the image data stops after", {}},
      {"-d uint8 --compression none", "t8.tif", "is damaged (TIFFReadEncodedStrip failed", {}},
      {"-d uint16 --compression lzw", "t16.tif", "is damaged (TIFFReadEncodedStrip failed", {}},
      {"-d uint8", "p.png", "cannot read the image (Read error: hit end of file",
       {"", "", "is damaged (the file ends inside its IEND chunk)"}},
      {"-d half", "e.exr", "cannot read the image (Failed OpenEXR read: Error reading pixel data", {}},
      {"-d float --tile 32 32", "tiles.exr", "cannot read the image (Failed OpenEXR read: Error reading pixel data", {}},
      {"-d uint8", "j.jpg", "is damaged (JPEG error: Premature end of JPEG file",
       {"cannot read the image (JPEG error: Premature end of JPEG file"}},
  };
  std::vector<std::pair<std::string, std::string>> cuts;   // file, what its error says
  for (const Cut& f : formats) {
    lftest::RunTool(pattern + f.make + " -o " + lftest::ShellQuote(Path(f.name)));
    const std::vector<char> whole = lftest::FileBytes(Path(f.name));
    const size_t lengths[] = {whole.size() * 40 / 100, whole.size() * 95 / 100, whole.size() - 3};
    for (size_t i = 0; i < 3; ++i) {
      const std::string name = "cut" + std::to_string(i) + "_" + f.name;
      std::ofstream(Path(name), std::ios::binary).write(whole.data(), static_cast<std::streamsize>(lengths[i]));
      cuts.emplace_back(Path(name), Path(name) + ": " + (f.sayAlso.size() > i && !f.sayAlso[i].empty() ? f.sayAlso[i] : f.says));
    }
  }
  {
    const std::vector<char> whole = lftest::FileBytes(Path("d10.dpx"));
    std::ofstream(Path("rows40.dpx"), std::ios::binary).write(whole.data(), static_cast<std::streamsize>(whole.size() - 56 * 512));
  }
  fs::create_directories(dir_ / "out");
  const std::string seq = Path("in/plate.####.png");
  const std::string out = Path("out/f.####.png");

  struct Case { std::vector<std::string> args; int status; std::string says; };
  const std::vector<Case> cases = {
      // Options of a single render (status 2).
      {{"-o", Path("out/o.png"), "--brightness", "350"}, 2, "--brightness 350: Flare Brightness 350 is outside 0 to 300"},
      {{"-o", Path("out/o.png"), "--lens", "fisheye"}, 2, "--lens fisheye: Lens Type \"fisheye\" is not one of 1 to 3, zoom"},
      {{"-o", Path("out/o.png"), "--par", "0:1"}, 2, "--par: 0 is outside 1 to"},
      {{"-o", Path("out/o.png"), "--seed", "-1"}, 2, "--seed: -1 is outside 0 to 4294967295"},
      {{"-o", Path("out/o.png"), "--threads", "0"}, 2, "--threads: 0 is outside"},
      {{"-o", Path("out/o.png"), "--frames-in-flight", "0"}, 2, "--frames-in-flight: 0 is outside 1 to"},
      {{"-o", Path("out/o.png"), "--frobnicate"}, 2, "unknown option \"--frobnicate\""},
      {{"-o", Path("out/o.png"), "--seed"}, 2, "--seed: needs a value"},
      {{"-o", Path("out/o.png"), "--brightness", "--size", "64x36"}, 2, "--brightness: needs a value (--size is the next option)"},
      {{"-o", "-q", Path("out/o.png")}, 2, "-o: needs a value (-q is the next option)"},
      {{"-o", Path("out/o.png"), "--output", Path("out/p.png")}, 2, "--output: given twice"},
      {{}, 2, "no output given"},
      {{"-o", Path("out/o.xyz")}, 2, "unknown output format"},
      {{"-o", Path("in/plate.0001.png/sub/o.png")}, 1, "cannot create the folder " + Path("in/plate.0001.png")},
      {{Path("absent.png"), "-o", Path("out/o.png")}, 1, Path("absent.png") + ": no such file"},
      {{Path("wide/plate.0002.png"), "-o", Path("out/o.png")}, 1, "32768x1 is too large"},
      {{"-o", Path("out/o.png"), "--plugin", Path("none.so")}, 1, "--plugin: " + Path("none.so") + ": no such file"},
      {{"-o", Path("out/o.png"), "--plugin", Path("in")}, 1, "--plugin: " + Path("in") + ": is a folder"},
      // Files no library is let near, and a header declaring more than its file holds.
      {{Path("fifo.png"), "-o", Path("out/o.png")}, 1, Path("fifo.png") + ": is not a regular file (a FIFO)"},
      {{Path("fifo.mkv"), "-o", out}, 1, Path("fifo.mkv") + ": is not a regular file (a FIFO)"},
      {{"/dev/zero", "-o", Path("out/o.png")}, 1, "/dev/zero: is not a regular file (a character device)"},
      {{Path("loop/a.png"), "-o", Path("out/o.png")}, 1, Path("loop/a.png") + ": too many levels of symbolic links"},
      {{Path("huge.tif"), "-o", Path("out/o.png")}, 1, "declares 32767x32767 pixels but the file holds only 134 bytes"},
      // Inputs that are missing, unreadable, inconsistent or too large (status 1).
      {{Path("in/none.####.png"), "-o", out}, 1, Path("in/none.####.png") + ": no files match the pattern"},
      {{Path("gone/plate.####.png"), "-o", out}, 1, "the folder " + Path("gone/") + " does not exist"},
      {{Path("mixed/plate.%04d.png"), "-o", out}, 1,
       Path("mixed/plate.0003.png") + ": 64x50 differs from the sequence's 64x48"},
      {{Path("wide/plate.%04d.png"), "-o", out}, 1, Path("wide/plate.0002.png") + ": 32768x1 is too large"},
      {{Path("broken/plate.%04d.png"), "-o", out}, 1, Path("broken/plate.0002.png") + ": cannot read the image"},
      {{Path("cut.png"), "-o", Path("out/cut.png")}, 1, Path("cut.png") + ": cannot read the image"},
      {{Path("cut.jpg"), "-o", Path("out/cut.png")}, 1, Path("cut.jpg") + ": is damaged (JPEG error: Premature end"},
      {{Path("past.tif"), "-o", Path("out/past.png")}, 1, Path("past.tif") + ": is damaged (TIFFReadEncodedStrip failed"},
      {{Path("noelement.dpx"), "-o", Path("out/n.png")}, 1, Path("noelement.dpx") + ": is damaged (the DPX header lists 0 image elements)"},
      {{Path("cut.y4m"), "-o", Path("out/y.%04d.png")}, 1, Path("cut.y4m") + ": is damaged (the file ends inside frame 2)"},
      {{Path("cut.mkv"), "-o", Path("out/cut.mkv"), "--quiet"}, 1, Path("cut.mkv") + ": is damaged (File ended prematurely)"},
      {{Path("text.mp4"), "-o", Path("out/v.mp4")}, 1, Path("text.mp4") + ": cannot read the video"},
      {{Path("none.mov"), "-o", Path("out/v.mov")}, 1, Path("none.mov") + ": no such file"},
      {{seq, "-o", out, "--plugin", Path("in/plate.0001.png")}, 1, "not an ELF shared library"},
      {{"-o", Path("out/o.png"), "--plugin", LF_TEST_FIXTURE_PLUGIN_DIR "/refusing_module.so"}, 1,
       "the plug-in's registration failed with code -50"},
      {{"-o", Path("out/o.png"), "--plugin", LF_TEST_FIXTURE_PLUGIN_DIR "/unloadable_module.so"}, 1,
       "cannot load the plug-in (" LF_TEST_FIXTURE_PLUGIN_DIR "/unloadable_module.so: undefined symbol: LensFlareTestMissingSymbol)"},
      {{seq, "-o", "/proc/lf_test.####.png"}, 1, "/proc/lf_test.####.png: cannot write in the folder /proc"},
      // Ranges, pairings and values the user typed (status 2).
      {{seq, "-o", out, "--frames", "2-9"}, 2, "--frames 2-9 is outside " + seq + " (frames 1 to 3)"},
      {{seq, "-o", out, "--frames", "9-2"}, 2, "--frames: \"9-2\" is not a frame range"},
      {{Path("clip.mkv"), "-o", out, "--frames", "3-4"}, 2, "--frames 3-4 is outside " + Path("clip.mkv") + " (frames 0 to 3)"},
      {{Path("clip.mkv"), "-o", Path("out/v.mp4"), "--frames", "0-3x2"}, 2,
       "--frames: a list or step of frames into a video would change its timing and leave its audio out; write an image sequence"},
      {{"-o", Path("out/v.mp4"), "--frames", "1,3"}, 2,
       "--frames: a list or step of frames into a video would change its timing; write an image sequence, or give --fps"},
      {{seq, "-o", Path("out/one.png")}, 2, "is a single image; write the frames as a sequence"},
      {{Path("in/plate.0001.png"), "-o", Path("out/v.mp4")}, 2, "a sequence or video output needs a sequence or video input"},
      {{"-o", Path("out/v.mkv")}, 2, "give --frames A-B to render the built-in frame"},
      {{Path("in/plate.0001.png"), "-o", Path("out/x.png"), "--frames", "1-2"}, 2, "is a single image, not a sequence or video"},
      {{seq, "-o", Path("out/x.avi")}, 2, "cannot write .avi video (use .mp4, .m4v, .mov, .mkv or .webm)"},
      {{seq, "-o", out, "--fps", "25"}, 2, "--fps: only a video output has a frame rate"},
      {{seq, "-o", out, "--chunk", "3/3"}, 2, "--chunk: 3/3: there is no part 3 of 3 (parts count from 0 to 2)"},
      {{seq, "-o", out, "--chunk", "0/0"}, 2, "--chunk: 0 is outside 1 to"},
      {{seq, "-o", out, "--chunk", "one/2"}, 2, "--chunk: \"one\" is not a whole number"},
      {{seq, "-o", out, "--chunk", "1"}, 2, "--chunk: \"1\" is not I/N"},
      {{seq, "-o", out, "--chunk", "0/4"}, 2, "--chunk 0/4: 3 frames cannot make 4 parts"},
      {{seq, "-o", Path("out/v.mp4"), "--chunk", "0/2"}, 2, "--chunk: " + Path("out/v.mp4") + " is a video, which cannot be written in pieces"},
      {{Path("in/plate.0001.png"), "-o", Path("out/o.png"), "--chunk", "0/1"}, 2, "is a single image; parts need a sequence output"},
      {{seq, "-o", Path("out/v.mp4"), "--fps", "fast"}, 2, "--fps: \"fast\" is not a frame rate"},
      {{seq, "-o", Path("out/v.mp4"), "--fps", "1/1000000000"}, 2, "--fps: 1/1000000000 is outside 1/60 (a frame a minute) to 1000"},
      {{seq, "-o", Path("out/v.mkv"), "--fps", "1001/1"}, 2, "--fps: 1001/1 is outside 1/60"},
      {{"-o", Path("out/v.mp4"), "--frames", "1-2", "--size", "16385x16"}, 2,
       "-o: " + Path("out/v.mp4") + ": h264 encodes frames of 1 to 16384 pixels a side, not 16385x16"},
      {{"-o", Path("out/v.mkv"), "--frames", "1-2", "--size", "8x8", "--codec", "hevc"}, 2,
       "-o: " + Path("out/v.mkv") + ": hevc encodes frames of 16 to 16384 pixels a side, not 8x8"},
      {{Path("clip.mkv"), "-o", Path("out/v.mp4"), "--fps", "25"}, 2, "--fps: " + Path("clip.mkv") + " is a video and keeps its own frame times"},
      {{Path("vfr.mkv"), "-o", Path("out/v.mkv")}, 1, Path("vfr.mkv") + ": the frame rate varies (frames 0.033 to 0.067 s apart)"},
      {{seq, "-o", out, "--missing", "skip"}, 2, "--missing: \"skip\" is not error, black or hold"},
      {{seq, "-o", Path("out/v.mp4"), "--skip-existing"}, 2, "--skip-existing: -o " + Path("out/v.mp4") + " is not an image sequence"},
      {{seq, "-o", out, "--start-number", "1001"}, 2, "--start-number: numbers a video's frames; " + seq + " is not a video"},
      {{seq, "-o", out, "--frames", "1-3x0"}, 2, "--frames: \"1-3x0\" is not a frame range"},
      {{seq, "-o", Path("out/v.webm"), "--codec", "prores"}, 2, "--codec: " + Path("out/v.webm") + ": a .webm file cannot hold prores"},
      {{seq, "-o", Path("out/v.mkv"), "--quality", "10"}, 2, "--quality: FFV1 is lossless and takes no quality"},
      {{seq, "-o", Path("out/v.mov"), "--quality", "ultra"}, 2, "--quality: \"ultra\" is not a ProRes profile"},
      {{seq, "-o", Path("out/v.mp4"), "--pix-fmt", "rgb48"}, 2, "--pix-fmt: h264 cannot store \"rgb48\""},
      {{seq, "-o", out, "--codec", "h264"}, 2, "--codec: only a video output is encoded"},
      {{seq, "-o", out, "--quality", "80"}, 2,
       "--quality: only a JPEG or a video output is written at a quality; " + out + " is neither"},
      {{seq, "-o", Path("out/o.%04d.jpg"), "--quality", "0"}, 2, "--quality: 0 is outside 1 to 100"},
      {{seq, "-o", Path("in/plate.%04d.png")}, 2,
       "-o: " + Path("in/plate.0001.png") + " is the input " + Path("in/plate.0001.png") + " and would overwrite it\n"},
      {{Path("clip.mkv"), "-o", Path("out/../clip.mkv")}, 2, Path("out/../clip.mkv") + " is the input " + Path("clip.mkv")},
      {{Path("x.png"), "-o", Path("x.png")}, 2,
       "-o: " + Path("x.png") + " is the input " + Path("x.png") +
           " and would overwrite it (--in-place replaces a single image with its render)"},
      {{Path("x.png"), "-o", Path("d/../x.png")}, 2, "-o: " + Path("d/../x.png") + " is the input " + Path("x.png")},
      {{Path("x.png"), "-o", Path("./x.png")}, 2, "-o: " + Path("./x.png") + " is the input " + Path("x.png")},
      {{Path("x.png"), "-o", Path("link.png")}, 2, "-o: " + Path("link.png") + " is the input " + Path("x.png")},
      {{Path("link.png"), "-o", Path("x.png")}, 2, "-o: " + Path("x.png") + " is the input " + Path("link.png")},
      {{Path("x.exr"), "-o", Path("x.exr")}, 2, "-o: " + Path("x.exr") + " is the input " + Path("x.exr")},
      {{Path("z.png"), "-o", Path("out/zz.png"), "--pass", "both", "--pass-output", Path("z.png")}, 2,
       "--pass-output: " + Path("z.png") + " is the input " + Path("z.png") + " and would overwrite it\n"},
      {{Path("z.png"), "-o", Path("out/zz.png"), "--pass", "both", "--pass-output", Path("z.png"), "--in-place"}, 2,
       "--pass-output: " + Path("z.png") + " is the input " + Path("z.png") + " and would overwrite it\n"},
      {{Path("x.png"), "-o", Path("keys.png"), "--keys", Path("keys.png")}, 2,
       "-o: " + Path("keys.png") + " is the input " + Path("keys.png") + " and would overwrite it\n"},
      {{seq, "-o", out, "--in-place"}, 2, "--in-place: replaces a single image with its render; " + seq + " is not a single image"},
      {{"-o", Path("out/o.png"), "--in-place"}, 2, "--in-place: replaces a single image with its render; there is no input"},
      {{Path("rows40.dpx"), "-o", Path("out/o.png")}, 1,
       Path("rows40.dpx") + ": is damaged (the image data stops after 20480 of its 49152 bytes: rows 41 to 96 are missing)"},
      {{seq, "-o", out, "--brightness", "2=400"}, 2, "--brightness at frame 2: Flare Brightness 400 is outside 0 to 300"},
      // Exposure scales the flare in linear light: integer plates and outputs refuse it.
      {{seq, "-o", out, "--exposure", "2"}, 2,
       "--exposure 2: exposure scales the flare in linear light, for floating-point (scene-linear) plates only; "
       "this render composites onto integer (display-referred) samples"},
      {{Path("x.exr"), "-o", Path("out/x16.exr"), "--depth", "16", "--exposure", "1"}, 2,
       "--exposure 1: exposure scales the flare in linear light"},
      {{Path("x.exr"), "-o", Path("out/x.exr"), "--exposure", "21"}, 2, "--exposure 21: Exposure 21 is outside -20 to 20 stops"},
      {{seq, "-o", out, "--brightness", "x=4"}, 2, "--brightness: \"x\" in \"x=4\" is not a frame number"},
      {{seq, "-o", out, "--brightness", "1=50", "--brightness", "1=60"}, 2, "--brightness: frame 1 is given twice"},
      {{seq, "-o", out, "--brightness", "1=50:bounce"}, 2, "--brightness: \"bounce\" in \"1=50:bounce\" is not an interpolation"},
      {{seq, "-o", out, "--keys", Path("syntax.json")}, 2, Path("syntax.json") + ": line 2: not valid JSON"},
      {{seq, "-o", out, "--keys", Path("range.json")}, 2,
       Path("range.json") + " \"blend\" at frame 2: Blend With Original 150 is outside 0 to 100"},
      {{seq, "-o", out, "--keys", Path("field.json")}, 2, Path("field.json") + " \"lens\" at frame 3: Lens Type 7 is not one of"},
      {{seq, "-o", out, "--keys", Path("none.json")}, 2, Path("none.json") + ": no such file"},
      {{seq, "-o", out, "--keys", Path("fifo.json")}, 2, Path("fifo.json") + ": is not a regular file (a FIFO)"},
      {{seq, "-o", out, "--center-track", Path("bad.csv")}, 1, Path("bad.csv") + ": line 2: \"x\" is not a number"},
      {{seq, "-o", out, "--center-track", Path("bad.csv"), "--center", "1,2"}, 2, "--center-track: the centre is given by --center"},
      {{seq, "-o", out, "--track-y-up"}, 2, "--track-y-up: goes with --center-track"},
      {{seq, "-o", out, "--edge-fade", "0"}, 2, "--edge-fade: the distance must be more than 0 pixels"},
      {{"-o", out, "--frames", "1-2", "--size", "64"}, 2, "--size: \"64\" is not WxH"},
      {{"-o", out, "--frames", "1-2", "--size", "40000x10"}, 2, "--size: 40000 is outside 1 to 32767"},
      // Plates at depth.
      {{seq, "-o", out, "--depth", "12"}, 2, "--depth: \"12\" is not 8, 16, half or float"},
      {{seq, "-o", out, "--composite", "over"}, 2, "--composite: \"over\" is not screen or add"},
      {{seq, "-o", out, "--flare-precision", "double"}, 2, "--flare-precision: \"double\" is not exact or full"},
      {{seq, "-o", out, "--flare-precision", "full", "--flare-precision", "exact"}, 2, "--flare-precision: given twice"},
      {{seq, "-o", Path("out/v.mp4"), "--depth", "16"}, 2, "--depth: for image outputs; " + Path("out/v.mp4") + " is a video"},
      {{seq, "-o", Path("out/v.mov"), "--pass", "flare"}, 2, "--pass: for image outputs; " + Path("out/v.mov") + " is a video"},
      {{seq, "-o", out, "--pass", "both"}, 2, "--pass both: give --pass-output NAME"},
      {{seq, "-o", out, "--pass-output", Path("out/p.%04d.png")}, 2, "--pass-output: names the flare alone of --pass both"},
      {{seq, "-o", out, "--pass", "both", "--pass-output", Path("out/p.png")}, 2, "is not a sequence, as -o"},
      {{seq, "-o", out, "--pass", "both", "--pass-output", seq}, 2, "--pass-output: " + Path("in/plate.0001.png") + " is the input"},
      {{seq, "-o", out, "--colorspace", "Kodachrome"}, 2, "--colorspace Kodachrome: the colour configuration"},
      {{Path("in/plate.0001.png"), "-o", Path("out/o.exr"), "--part", "left"}, 1, "has no part named \"left\""},
  };
  auto check = [&](const std::vector<std::string>& args, int status, const std::string& says) {
    const lftest::CliRun r = lftest::RunCli(args, dir_);
    EXPECT_EQ(r.status, status) << says << "\n" << r.err;
    EXPECT_NE(r.err.find(says), std::string::npos) << "stderr: " << r.err << "expected: " << says;
    // Exactly one line, the tool's own: no library diagnostics before it.
    EXPECT_EQ(r.err.rfind("lensflare: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(Files("out"), std::vector<std::string>{}) << says;
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"render"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    check(args, c.status, c.says);
  }
  for (const auto& [cut, says] : cuts) check({"render", cut, "-o", Path("out/o.png")}, 1, says);
  for (const auto& [name, bytes] : kept) EXPECT_EQ(lftest::FileBytes(Path(name)), bytes) << name << " was written";
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.png"));
  check({"info", "--bogus"}, 2, "unknown argument \"--bogus\"");
  check({"bench", "--brightness", "350"}, 2, "--brightness 350: Flare Brightness 350 is outside 0 to 300");
  check({"paint"}, 2, "unknown command \"paint\"");
  const std::string track = Path("out/t.json");
  check({"track", seq, "-o", track}, 2, "track: no light given (--from X,Y or X,Y@FRAME)");
  check({"track", Path("in/plate.0001.png"), "--from", "1,1", "-o", track}, 2, "is a single image; a light is tracked");
  check({"track", seq, "--from", "1,1@7", "-o", track}, 2, "--from: frame 7 is not among the frames read (1 to 3)");
  check({"track", seq, "--from", "1,1", "-o", Path("out/t.txt")}, 2, "the track is written as --keys JSON; name it .json");
  check({"track", seq, "--from", "1,1", "--brightness", "50", "-o", track}, 2, "--brightness: sets what --occlusion or --edge-fade scale");
  check({"track", Path("flat/f.####.png"), "--from", "8,8", "-o", track}, 1, "no light stands out within 32 pixels of 8,8 on frame 1");
  for (const char* folder : {"in", "mixed", "wide", "broken"}) {
    for (const std::string& name : Files(folder)) EXPECT_EQ(name.rfind("plate.", 0), 0u) << folder << "/" << name;
  }
  for (const std::string& name : Files()) EXPECT_NE(name[0], '.') << name;
  // --in-place lets an image be replaced by its render, through a link onto
  // the file it names: the same bytes as the render written elsewhere.
  ASSERT_EQ(lftest::RunCli({"render", Path("x.png"), "-o", Path("out/ref.png"), "--quiet"}, dir_).status, 0);
  ASSERT_EQ(lftest::RunCli({"render", Path("x.png"), "-o", Path("link.png"), "--in-place", "--quiet"}, dir_).status, 0);
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.png"));
  EXPECT_EQ(lftest::FileBytes(Path("x.png")), lftest::FileBytes(Path("out/ref.png")));
  EXPECT_NE(lftest::FileBytes(Path("x.png")), kept["x.png"]);
}

}  // namespace
