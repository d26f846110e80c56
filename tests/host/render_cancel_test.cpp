// Ctrl-C during a long render: the tool stops, says how many frames it finished,
// exits with 130, and leaves only complete frames, each exactly as a render of
// that frame alone gives it; a second Ctrl-C leaves no helper's file behind.
// Also the progress display on a terminal.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fcntl.h>
#include <thread>

#include "host/cancel_token.h"
#include "host/progress_display.h"
#include "host/subprocess.h"
#include "tests/host/media_fixture.h"

namespace {

using lftest::MediaTest;
namespace fs = std::filesystem;

class RenderCancelTest : public MediaTest {
 protected:
  pid_t Spawn(const std::vector<std::string>& args, const std::string& stderrPath) {
    std::vector<std::string> argv = {LF_TEST_CLI_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (std::string& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
      const int err = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(err, 2);
      execv(raw[0], raw.data());
      _exit(127);
    }
    return pid;
  }
};

TEST_F(RenderCancelTest, InterruptStopsWith130AndKeepsOnlyCompleteFrames) {
  fs::create_directories(dir_ / "out");
  const std::vector<std::string> render = {"render", "--size", "320x180", "--lens", "105mm", "--brightness", "0=50",
                                           "--brightness", "2000=250", "--threads", "2"};
  std::vector<std::string> args = render;
  args.insert(args.end(), {"-o", Path("out/f.####.png"), "--frames", "1-2000", "--frames-in-flight", "3"});
  const pid_t pid = Spawn(args, Path("stderr.txt"));
  ASSERT_GT(pid, 0);

  // Once a first frame is complete (not its hidden temporary), interrupt as a
  // terminal's Ctrl-C would.
  auto finished = [&] {
    const std::vector<std::string> names = Files("out");
    return std::any_of(names.begin(), names.end(), [](const std::string& n) { return n[0] != '.'; });
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (!finished() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(finished()) << "no frame was written";
  kill(pid, SIGINT);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!WIFEXITED(status) && !WIFSIGNALED(status)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    FAIL() << "the render did not stop";
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);

  // Only complete frames from the first on, without a gap though three were in
  // flight, and no temporary or partial files.
  const std::vector<std::string> frames = Files("out");
  ASSERT_FALSE(frames.empty());
  ASSERT_LT(frames.size(), 2000u);
  for (size_t i = 0; i < frames.size(); ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "f.%04zu.png", i + 1);
    EXPECT_EQ(frames[i], name);
  }
  const std::vector<char> stderrBytes = lftest::FileBytes(Path("stderr.txt"));
  const std::string err(stderrBytes.begin(), stderrBytes.end());
  const std::string last = err.substr(err.rfind('\n', err.size() - 2) + 1);
  const std::string n = std::to_string(frames.size());
  EXPECT_EQ(last, "lensflare: render cancelled; " + n + " of 2000 frames finished and complete (" +
                      Path("out/f.0001.png") + (frames.size() > 1 ? " to " + Path("out/" + frames.back()) : "") + ")\n");

  // The first and the last finished frame are those a render of each alone gives.
  fs::create_directories(dir_ / "alone");
  for (const std::string& frame : {frames.front(), frames.back()}) {
    const std::string number = std::to_string(std::stoi(frame.substr(2, 4)));
    std::vector<std::string> one = render;
    one.insert(one.end(), {"-o", Path("alone/f.####.png"), "--frames", number + "-" + number, "--quiet"});
    const lftest::CliRun r = lftest::RunCli(one, dir_);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lftest::FileBytes(Path("alone/" + frame)), lftest::FileBytes(Path("out/" + frame))) << frame;
  }
}

// A second Ctrl-C ends the tool at once; a helper that is still creating its
// output (here one whose process group recreates it without pause, from a
// process that the helper's own end would not stop) is stopped before the
// marked file is removed, so the file stays gone.
TEST_F(RenderCancelTest, SecondInterruptStopsHelpersBeforeRemovingTheirFiles) {
  const std::string output = Path("partial.mkv");
  const pid_t pid = fork();
  if (pid == 0) {
    static lfhost::CancelToken token;
    lfhost::CancelOnInterrupt(token);
    lfhost::RemoveOnSecondInterrupt mark(output);
    const std::string loop = "i=0; while [ $i -lt 50000 ]; do : > " + lftest::ShellQuote(output) + "; i=$((i+1)); done";
    lfhost::Subprocess helper({"sh", "-c", "(" + loop + ") & wait"}, false, false);
    while (!fs::exists(output)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    raise(SIGINT);
    raise(SIGINT);
    _exit(1);  // not reached: the second interrupt exits with 130
  }
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  EXPECT_FALSE(fs::exists(output));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a surviving helper would have recreated it
  EXPECT_FALSE(fs::exists(output));
}

TEST(ProgressDisplayTest, DurationsAndAStatusLineRedrawnInPlaceForTerminals) {
  EXPECT_EQ(lfhost::FormatDuration(0), "0:00");
  EXPECT_EQ(lfhost::FormatDuration(7.4), "0:07");
  EXPECT_EQ(lfhost::FormatDuration(750), "12:30");
  EXPECT_EQ(lfhost::FormatDuration(3723), "1:02:03");
  EXPECT_EQ(lfhost::ChooseProgressMode(true, 2), lfhost::ProgressMode::Quiet);
  // Lines for logs are checked through the tool in sequence_render_test.cpp.

  auto captured = [](std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string text;
    for (int c; (c = std::fgetc(f)) != EOF;) text += static_cast<char>(c);
    std::fclose(f);
    return text;
  };
  {
    std::FILE* f = std::tmpfile();
    {
      lfhost::ProgressDisplay terminal(lfhost::ProgressMode::Terminal, 2, f);
      terminal.FrameStarted(0);
      terminal.FrameWritten(0, "a.png");
      terminal.FrameStarted(1);
      terminal.FrameProgress(3, 4);
    }  // the destructor draws the last state and ends the line
    const std::string text = captured(f);
    // Every drawing starts at the line's beginning and erases what was there;
    // the last shows the second frame at 75 % and the render half written.
    EXPECT_EQ(text.rfind("\r\033[K", 0), 0u);
    const std::string lastDraw = text.substr(text.rfind("\r\033[K") + 4);
    EXPECT_EQ(lastDraw.rfind("lensflare: 1/2 frames | frame 1 75% | 0:00 elapsed | 0:00 left\n", 0), 0u) << lastDraw;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
  }
}

}  // namespace
