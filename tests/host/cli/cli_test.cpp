// The lensflare tool as a user runs it: one image rendered exactly, the built-in
// frame, and what info and --help print. Bad invocations are in
// render_cli_errors_test.cpp.
#include <gtest/gtest.h>

#include "host/media/image_io.h"
#include "tests/host/media_fixture.h"
#include "tests/support/sha256.h"

namespace {

namespace fs = std::filesystem;
using lftest::CliRun;
using lftest::RunCli;

class CliTest : public lftest::MediaTest {};

// Regression guard: the first published reference render, through the whole tool.
TEST_F(CliTest, RendersTheFirstReferenceCaseExactly) {
  lfhost::ImageBuffer black(1920, 1080);
  black.Fill(255, 0, 0, 0);
  lfhost::WriteImage(black, Path("black.png"));
  const CliRun r = RunCli({"render", Path("black.png"), "-o", Path("flare.png"), "--lens", "zoom", "--brightness", "100",
                           "--center", "625,400", "--seed", "0", "--threads", "3"},
                          dir_);
  ASSERT_EQ(r.status, 0) << r.err;
  // A log gets one line for the one file written.
  EXPECT_EQ(r.err.rfind("lensflare: frame 0 written to " + Path("flare.png") + " (1/1, ", 0), 0u) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  const std::vector<uint8_t> rgba = lfhost::ReadImage(Path("flare.png")).ToRGBA();
  EXPECT_EQ(Sha256Hex(rgba.data(), rgba.size()), "056b36d44a31312ba4d211615965850dd7224f2347906162aa3b78c19af7afd7");
}

TEST_F(CliTest, WithoutInputRendersOntoAnOpaqueDarkFrame) {
  const CliRun r = RunCli({"render", "-o", Path("dark.png"), "--center", "40%,40%", "--lens", "105mm", "--validate"}, dir_);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("protocol fault"), std::string::npos) << r.err;   // the validator found nothing
  const lfhost::ImageBuffer image = lfhost::ReadImage(Path("dark.png"));
  ASSERT_EQ(image.width(), 1920);
  ASSERT_EQ(image.height(), 1080);
  EXPECT_EQ(image.at(0, 1079, 0), 255);
  EXPECT_LT(image.at(0, 1079, 1), 40);      // corner far from the flare stays dark
  EXPECT_EQ(image.at(768, 432, 1), 255);    // the glow at 40 %, 40 % is white
}

TEST_F(CliTest, InfoShowsAboutRegistrationPropertyListAndControls) {
  const CliRun r = RunCli({"info"}, dir_);
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* expected : {"Lens Flare, v1.0\n\nGenerate a synthetic lens flare.\n", "entry point:     \"FilterMain\"",
                               "12 properties, 358 bytes", "entry point \"EffectMain\"", "eSVR id 0, 4 bytes: 13.28",
                               "\"Lens Type\" (id 4, popup)", "choices: 1 \"50-300mm Zoom\", 2 \"35mm Prime\", 3 \"105mm Prime\"",
                               "\"Blend With Original\" (id 3, fixed-point slider)", "range: 0 to 100"}) {
    EXPECT_NE(r.out.find(expected), std::string::npos) << expected;
  }
  const CliRun help = RunCli({"render", "--help"}, dir_);
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: lensflare render"), std::string::npos);
  // The lenses as the module declares them, with the short names derived from them.
  EXPECT_NE(help.out.find("  1  zoom     50-300mm Zoom (the default)\n  2  35mm     35mm Prime\n  3  105mm    105mm Prime\n"),
            std::string::npos) << help.out;
}

// LENSFLARE_PLUGIN_PATH comes first, in order, and an entry without the module
// falls through to the build tree's layout; --version reports what the module found
// says of itself.
TEST_F(CliTest, PluginSearchPathAndVersion) {
  std::filesystem::create_directories(dir_ / "refusing");
  std::filesystem::create_directories(dir_ / "empty");
  std::filesystem::create_symlink(LF_TEST_FIXTURE_PLUGIN_DIR "/refusing_module.so", dir_ / "refusing" / "LensFlare.so");
  const std::string refused = "the plug-in's registration failed with code -50";
  const struct {
    bool set;
    std::string env;
    std::vector<std::string> args;
    int status;
    std::string says;  // in standard output, or error if the status is not 0
  } cases[] = {
      {false, "", {"--version"}, 0,
       "lensflare " LF_VERSION "\nplug-in: Lens Flare, v1.0 (version 0x80600) at " LF_TEST_PLUGIN_PATH "\n"},
      {true, Path("empty"), {"info"}, 0, "Plug-in: " LF_TEST_PLUGIN_PATH "\n"},
      {true, Path("refusing"), {"info"}, 1, refused},
      {true, Path("empty") + "::" + Path("refusing"), {"--version"}, 1, refused},
      {false, "", {"--version", "x"}, 2, "--version: unknown argument \"x\""},
  };
  for (const auto& c : cases) {
    if (c.set) setenv("LENSFLARE_PLUGIN_PATH", c.env.c_str(), 1);
    const CliRun r = RunCli(c.args, dir_);
    unsetenv("LENSFLARE_PLUGIN_PATH");
    EXPECT_EQ(r.status, c.status) << c.env << " " << c.args.front() << ": " << r.err;
    EXPECT_NE((c.status == 0 ? r.out : r.err).find(c.says), std::string::npos) << c.env << "\n" << r.out << r.err;
  }
}

// The tool loads its image library on a job's first image call: a copy with
// nothing beside it renders a video onto a video, and an image job there ends
// with one line naming what is missing, having written nothing.
TEST_F(CliTest, LoadsTheImageLibraryOnlyForJobsWithImages) {
  lftest::RunTool("ffmpeg -v error -nostdin -f lavfi -i testsrc2=size=64x36:rate=25 -frames:v 3 -c:v libx264 "
                  "-pix_fmt yuv420p " + lftest::ShellQuote(Path("in.mp4")));
  const fs::path alone = dir_ / "alone";
  fs::create_directories(alone / "bin");
  fs::copy_file(LF_TEST_CLI_PATH, alone / "bin" / "lensflare");
  const std::string tool = lftest::ShellQuote((alone / "bin" / "lensflare").string());
  const std::string plugin = " --plugin " + lftest::ShellQuote(LF_TEST_PLUGIN_PATH);
  const struct {
    std::string args;
    int status;
    std::string output;   // what the job writes, or "" when it writes nothing
    std::string err;
  } cases[] = {
      {" render " + Path("in.mp4") + " -o " + Path("out.mp4") + " --lens 1 --quiet", 0, Path("out.mp4"), ""},
      {" render -o " + Path("out.png"), 1, "",
       "lensflare: cannot load the image library: " + (alone / "bin").string() +
           "/../lib/lensflare/liblensflare_images.so: cannot open shared object file: No such file or directory\n"},
  };
  for (const auto& c : cases) {
    const CliRun r = lftest::RunShell(tool + c.args + plugin + " 2>&1 </dev/null");
    EXPECT_EQ(r.status, c.status) << c.args << ": " << r.out;
    EXPECT_EQ(r.out, c.err) << c.args;
    if (!c.output.empty()) {
      const CliRun frames = lftest::RunShell("ffprobe -v error -count_frames -select_streams v -show_entries "
                                             "stream=nb_read_frames -of csv=p=0 " + lftest::ShellQuote(c.output));
      EXPECT_EQ(frames.out, "3\n") << c.args;
    }
  }
  EXPECT_FALSE(fs::exists(Path("out.png")));
  // Nothing else was left beside the tool or the outputs.
  size_t files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(dir_)) files += entry.is_regular_file() ? 1 : 0;
  EXPECT_EQ(files, 3u);   // in.mp4, out.mp4 and the tool
}

}  // namespace
