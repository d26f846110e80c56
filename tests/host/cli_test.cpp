// The lensflare tool as a user runs it: bad options give one clear line and a
// non-zero status and leave no output file; good ones write the image.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "host/image_io.h"
#include "tests/host/sha256.h"

namespace {

namespace fs = std::filesystem;

struct CliRun {
  int status;
  std::string out, err;
};

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

CliRun RunCli(const std::vector<std::string>& args, const fs::path& dir) {
  std::string command = Quote(LF_TEST_CLI_PATH);
  for (const std::string& a : args) command += " " + Quote(a);
  const fs::path errFile = dir / "stderr.txt";
  command += " 2>" + Quote(errFile.string());
  CliRun run;
  FILE* pipe = popen(command.c_str(), "r");
  std::array<char, 4096> chunk;
  size_t n;
  while ((n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) run.out.append(chunk.data(), n);
  const int raw = pclose(pipe);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  std::ifstream err(errFile);
  run.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
  fs::remove(errFile);
  return run;
}

class CliTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("lf_cli_" + std::to_string(getpid()) + "_" +
                                        testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  fs::path dir_;
};

TEST_F(CliTest, BadInvocationsExplainThemselvesAndWriteNothing) {
  std::ofstream(Path("text.png")) << "not an image";
  lfhost::WriteImage(lfhost::ImageBuffer(32768, 1), Path("wide.png"));
  const std::string out = Path("out.png");
  struct Case { std::vector<std::string> args; int status; std::string says; };
  const std::vector<Case> cases = {
      {{"render", "-o", out, "--brightness", "350"}, 2, "--brightness 350: Flare Brightness 350 is outside 0 to 300"},
      {{"render", "-o", out, "--brightness", "bright"}, 2, "--brightness: \"bright\" is not a number"},
      {{"render", "-o", out, "--blend", "100.5"}, 2, "--blend 100.5: Blend With Original"},
      {{"render", "-o", out, "--lens", "4"}, 2, "--lens: \"4\" is not a lens"},
      {{"render", "-o", out, "--center", "10"}, 2, "--center: \"10\" is not X,Y"},
      {{"render", "-o", out, "--par", "0:1"}, 2, "--par: 0 is outside 1 to"},
      {{"render", "-o", out, "--seed", "-1"}, 2, "--seed: -1 is outside 0 to 4294967295"},
      {{"render", "-o", out, "--threads", "0"}, 2, "--threads: 0 is outside"},
      {{"render", "-o", out, "--frobnicate"}, 2, "unknown option \"--frobnicate\""},
      {{"render", "-o", out, "--seed"}, 2, "--seed: needs a value"},
      {{"render"}, 2, "no output given"},
      {{"render", "-o", Path("out.xyz")}, 2, "unknown output format"},
      {{"render", "-o", Path("nofolder/out.png")}, 2, "does not exist"},
      {{"render", Path("absent.png"), "-o", out}, 1, Path("absent.png") + ": no such file"},
      {{"render", Path("text.png"), "-o", out}, 1, Path("text.png") + ": cannot read the image"},
      {{"render", Path("wide.png"), "-o", out}, 1, "32768x1 is too large"},
      {{"render", "-o", out, "--plugin", Path("none.so")}, 1, "--plugin: " + Path("none.so") + ": no such file"},
      {{"render", "-o", out, "--plugin", Path("text.png")}, 1, Path("text.png") + ": not an ELF shared library"},
      {{"info", "--bogus"}, 2, "unknown argument \"--bogus\""},
      {{"paint"}, 2, "unknown command \"paint\""},
  };
  for (const Case& c : cases) {
    const CliRun r = RunCli(c.args, dir_);
    EXPECT_EQ(r.status, c.status) << c.args.back() << ": " << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << "stderr: " << r.err << "expected: " << c.says;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.rfind("lensflare: ", 0), 0u) << r.err;
    EXPECT_FALSE(fs::exists(out)) << c.args.back();
  }
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(dir_)) left.push_back(e.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"text.png", "wide.png"}));
}

TEST_F(CliTest, RendersTheFirstReferenceCaseExactly) {
  lfhost::ImageBuffer black(1920, 1080);
  black.Fill(255, 0, 0, 0);
  lfhost::WriteImage(black, Path("black.png"));
  const CliRun r = RunCli({"render", Path("black.png"), "-o", Path("flare.png"), "--lens", "zoom", "--brightness", "100",
                        "--center", "625,400", "--seed", "0", "--threads", "3"},
                       dir_);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(lftest::Sha256Hex(lfhost::ReadImage(Path("flare.png")).ToRGBA()),
            "056b36d44a31312ba4d211615965850dd7224f2347906162aa3b78c19af7afd7");
}

TEST_F(CliTest, WithoutInputRendersOntoAnOpaqueDarkFrame) {
  const CliRun r = RunCli({"render", "-o", Path("dark.png"), "--center", "40%,40%", "--lens", "105mm"}, dir_);
  ASSERT_EQ(r.status, 0) << r.err;
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
}

}  // namespace
