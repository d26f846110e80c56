// The adapters in their real hosts: ffmpeg and melt load the frei0r filter and
// gegl the GEGL operation from the build tree, and every frame they write holds
// the bytes `lensflare render` gives for the same frame, controls and seed. The
// frames carry varying alpha, so a channel swapped or lost in the RGBA <-> ARGB
// conversion shows; lens 3 is used because its rays depend on the seed.
#include <dlfcn.h>

#include <thread>

#include "host/media/image_io.h"
#include "tests/host/media_fixture.h"

extern "C" {
#include <frei0r.h>
}

namespace {

using lftest::ShellQuote;

constexpr int kWidth = 64, kHeight = 36;  // MLT leaves frames smaller than this white
const std::string kFrei0r = "FREI0R_PATH=" LF_TEST_BUILD_DIR "/frei0r-1 ";
const std::string kGegl = "GEGL_PATH=" LF_TEST_BUILD_DIR "/gegl-0.4:" LF_TEST_GEGL_PLUGINS_DIR " gegl ";
// The same controls in each host's terms: centre (16, 18) pixels, brightness
// 150 percent, lens 3, blend 25 percent.
const std::vector<std::string> kCliControls = {"--center", "16,18", "--brightness", "150", "--lens", "3", "--blend", "25"};
const std::string kFfmpegParams = "0.25|0.5|0.5|1|0.25";
const std::string kMeltParams = "'Center X=0.25' 'Center Y=0.5' Brightness=0.5 Lens=1 Blend=0.25";
const std::string kGeglControls = "lensflare:flare x=16 y=18 brightness=150 lens=3 blend=25 seed=7";

class AdaptersTest : public lftest::MediaTest {
 protected:
  // Three 25 fps frames as a PNG-in-QuickTime clip (RGBA end to end in both
  // hosts), and the tool's renders of them: frame n of the tool is the frame at
  // time t with n = round(t x 1000), where ffmpeg counts t in milliseconds and
  // melt in seconds.
  void SetUp() override {
    MediaTest::SetUp();
    const int msTimes[] = {0, 40, 80};
    for (int i = 0; i < 3; ++i) {
      const lfhost::ImageBuffer frame = lftest::PatternFrame(kWidth, kHeight, i, true);
      lfhost::WriteImage(frame, Path("clip" + std::to_string(i) + ".png"));
      lfhost::WriteImage(frame, Path("in." + std::to_string(msTimes[i]) + ".png"));
      lfhost::WriteImage(frame, Path("in." + std::to_string(msTimes[i] * 1000) + ".png"));
    }
    lftest::RunTool("ffmpeg -v error -framerate 25 -i " + ShellQuote(Path("clip%d.png")) + " -c:v png " +
                    ShellQuote(Path("clip.mov")));
    // melt crashes on a profile without a description.
    std::ofstream(Path("profile")) << "description=test\nwidth=64\nheight=36\nframe_rate_num=25\nframe_rate_den=1\nprogressive=1\n"
                                      "sample_aspect_num=1\nsample_aspect_den=1\ndisplay_aspect_num=16\n"
                                      "display_aspect_den=9\ncolorspace=709\n";
    std::vector<std::string> sequence = {"render", Path("in.%d.png"), "-o", Path("cli.%d.png"), "--frames",
                                         "0,40,80,40000,80000", "-q"};
    std::vector<std::string> image = {"render", Path("in.0.png"), "-o", Path("cli.png"), "--seed", "7", "-q"};
    sequence.insert(sequence.end(), kCliControls.begin(), kCliControls.end());
    image.insert(image.end(), kCliControls.begin(), kCliControls.end());
    for (const auto& args : {sequence, image}) ASSERT_EQ(lftest::RunCli(args, dir_).status, 0);
  }

  std::string Ffmpeg(const std::string& params) const {
    return kFrei0r + "ffmpeg -v error -y -i " + ShellQuote(Path("clip.mov")) +
           " -vf 'frei0r=filter_name=lensflare:filter_params=" + params + "' -pix_fmt rgba " + ShellQuote(Path("ff.%d.png"));
  }
  std::string Melt(const std::string& params) const {
    return kFrei0r + "melt -silent -profile " + ShellQuote(Path("profile")) + " " + ShellQuote(Path("clip.mov")) +
           " -attach frei0r.lensflare " + params + " -consumer avformat:" + ShellQuote(Path("melt.%d.png")) +
           " vcodec=png pix_fmt=rgba real_time=0";
  }
  std::string Gegl(const std::string& controls, const std::string& in = "in.0.png", const std::string& out = "gegl.png") const {
    return kGegl + ShellQuote(Path(in)) + " -- " + controls + " gegl:png-save path=" + ShellQuote(Path(out)) + " bitdepth=8";
  }
};

TEST_F(AdaptersTest, HostsRenderTheToolsBytesAndRefuseBadValuesTheirOwnWay) {
  // gegl asks for a frame this large in two strips, each bringing the whole
  // image to the operation: the second is answered from the first's drawing.
  lfhost::WriteImage(lftest::PatternFrame(2048, 1152, 0, true), Path("large.png"));
  std::vector<std::string> large = {"render", Path("large.png"), "-o", Path("cli.large.png"), "--seed", "7", "-q"};
  large.insert(large.end(), kCliControls.begin(), kCliControls.end());
  ASSERT_EQ(lftest::RunCli(large, dir_).status, 0);
  const struct {
    std::string command;
    int status;
    std::string says;                                         // in the host's output
    std::vector<std::pair<std::string, std::string>> same;   // host's file, tool's file
  } cases[] = {
      {Ffmpeg(kFfmpegParams), 0, "", {{"ff.1.png", "cli.0.png"}, {"ff.2.png", "cli.40000.png"}, {"ff.3.png", "cli.80000.png"}}},
      {Melt(kMeltParams), 0, "", {{"melt.1.png", "cli.0.png"}, {"melt.2.png", "cli.40.png"}, {"melt.3.png", "cli.80.png"}}},
      {Gegl(kGeglControls), 0, "", {{"gegl.png", "cli.png"}}},
      {Gegl(kGeglControls, "large.png", "gegl.large.png"), 0, "", {{"gegl.large.png", "cli.large.png"}}},
      {Ffmpeg("0.25|0.5|abc|1|0.25"), 1, "Invalid value 'abc' for parameter 'Brightness'", {}},
      {Ffmpeg("0.25|0.5|2|1|0.25"), 0, "lensflare: Brightness: 2 is outside 0 to 1; kept the default", {}},
      {Melt("Lens=-1"), 0, "lensflare: Lens: -1 is outside 0 to 1; kept the default", {}},
      {Gegl("lensflare:flare brightness=500"), 0, "out of range for property 'brightness'", {}},
  };
  for (const auto& c : cases) {
    const lftest::CliRun run = lftest::RunShell(c.command + " 2>&1 </dev/null");
    EXPECT_EQ(run.status, c.status) << c.command << "\n" << run.out;
    EXPECT_NE(run.out.find(c.says), std::string::npos) << c.command << "\n" << run.out;
    // gegl counts the GeglBuffers still alive at its exit.
    EXPECT_EQ(run.out.find("leaked"), std::string::npos) << c.command << "\n" << run.out;
    for (const auto& [host, tool] : c.same) {
      EXPECT_TRUE(lftest::SamePixels(lfhost::ReadImage(Path(host)), lfhost::ReadImage(Path(tool))))
          << c.command << ": " << host << " differs from " << tool;
    }
  }
}

// Two frei0r instances rendering different frames on two threads at once give
// each frame the bytes it gets alone: each render's srand and draws take turns.
TEST_F(AdaptersTest, InstancesRenderingAtOnceKeepTheirRays) {
  void* lib = dlopen(LF_TEST_BUILD_DIR "/frei0r-1/lensflare.so", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  const auto construct = reinterpret_cast<decltype(&f0r_construct)>(dlsym(lib, "f0r_construct"));
  const auto destruct = reinterpret_cast<decltype(&f0r_destruct)>(dlsym(lib, "f0r_destruct"));
  const auto set = reinterpret_cast<decltype(&f0r_set_param_value)>(dlsym(lib, "f0r_set_param_value"));
  const auto update = reinterpret_cast<decltype(&f0r_update)>(dlsym(lib, "f0r_update"));
  const std::vector<uint8_t> input = lftest::PatternFrame(kWidth, kHeight, 0, true).ToRGBA();
  const double times[2] = {0.04, 0.08};
  f0r_instance_t instance[2];
  std::vector<uint32_t> alone[2], together[2];
  for (int i = 0; i < 2; ++i) {
    instance[i] = construct(kWidth, kHeight);
    ASSERT_NE(instance[i], nullptr);
    double lens = 1;
    set(instance[i], &lens, 3);
    alone[i].resize(input.size() / 4);
    update(instance[i], times[i], reinterpret_cast<const uint32_t*>(input.data()), alone[i].data());
    together[i].resize(alone[i].size());
  }
  ASSERT_NE(alone[0], alone[1]);
  for (int round = 0; round < 20; ++round) {
    std::thread other([&] { update(instance[1], times[1], reinterpret_cast<const uint32_t*>(input.data()), together[1].data()); });
    update(instance[0], times[0], reinterpret_cast<const uint32_t*>(input.data()), together[0].data());
    other.join();
    ASSERT_EQ(together[0], alone[0]) << "round " << round;
    ASSERT_EQ(together[1], alone[1]) << "round " << round;
  }
  for (f0r_instance_t i : instance) destruct(i);
  dlclose(lib);
}

}  // namespace
