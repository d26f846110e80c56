// Ctrl-C during a long render: the tool stops, says how many frames it finished,
// exits with 130, and leaves only complete frames, each exactly as a render of
// that frame alone gives it; a second Ctrl-C leaves no helper's file behind.
// Also the progress display on a terminal.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <fstream>
#include <thread>

#include "host/core/cancel_token.h"
#include "host/media/image_io.h"
#include "host/media/progress_display.h"
#include "host/media/subprocess.h"
#include "tests/host/media_fixture.h"

namespace {

using lftest::MediaTest;
namespace fs = std::filesystem;

// How the parent starts the tool. `fileLimit` (bytes, 0: none) makes every
// write past it fail, as a full disk does, for the tool and the helpers it
// starts. `ignored` is a signal the parent leaves ignored (a script's
// background job has SIGINT so, nohup SIGHUP); `pending` one that arrives
// before the tool's first instruction (held blocked until the tool runs).
// `helpers` is a folder searched first for the programs the tool starts.
struct Parent {
  rlim_t fileLimit = 0;
  int ignored = 0, pending = 0;
  std::string helpers;
};

class RenderCancelTest : public MediaTest {
 protected:
  pid_t Spawn(const std::vector<std::string>& args, const std::string& stderrPath, const Parent& parent = {}) {
    std::vector<std::string> argv = {LF_TEST_CLI_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (std::string& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    const std::string path = parent.helpers + ":" + std::getenv("PATH");
    const pid_t pid = fork();
    if (pid == 0) {
      const int err = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(err, 2);
      if (parent.fileLimit) {
        const rlimit limit{parent.fileLimit, parent.fileLimit};
        setrlimit(RLIMIT_FSIZE, &limit);
        signal(SIGXFSZ, SIG_IGN);
      }
      if (parent.ignored) signal(parent.ignored, SIG_IGN);
      if (parent.pending) {
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, parent.pending);
        sigprocmask(SIG_BLOCK, &blocked, nullptr);
        raise(parent.pending);
      }
      if (!parent.helpers.empty()) setenv("PATH", path.c_str(), 1);
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
    lfhost::CancelOnStopSignals(token);
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

// Faults from outside, one row each: writes that fail past a size (a full
// disk), stop signals at a chosen moment, and outputs that name the input's
// files by another spelling. Each ends with its status and closing line, and
// leaves only complete files: no temporary, no partial frame, no input touched.
TEST_F(RenderCancelTest, FaultsEndCleanlyAndLeaveOnlyCompleteFiles) {
  fs::create_directories(dir_ / "in");
  for (int n = 1000; n <= 1003; ++n) {
    lfhost::WriteImage(lftest::PatternFrame(64, 48, n), Path("in/plate." + std::to_string(n) + ".png"));
  }
  fs::create_directory_symlink("in", dir_ / "link");
  const std::vector<char> inputBefore = lftest::FileBytes(Path("in/plate.1002.png"));
  const std::vector<std::string> long_ = {"--size", "320x180", "--frames", "1-2000", "--lens", "105mm", "--threads", "2"};
  auto with = [](std::vector<std::string> a, std::initializer_list<std::string> b) {
    a.insert(a.end(), b);
    return a;
  };
  // An ffmpeg that, once it has written a video whole, stops the tool that
  // started it: the signal comes between the encoder's end and the rename.
  fs::create_directories(dir_ / "helpers");
  const std::string ffmpeg = lftest::RunShell("command -v ffmpeg").out;
  std::ofstream(dir_ / "helpers/ffmpeg")
      << "#!/bin/sh\n" << ffmpeg.substr(0, ffmpeg.find('\n')) << " \"$@\"\nstatus=$?\n"
      << "for a in \"$@\"; do if [ \"$a\" = pipe:0 ]; then kill -s \"$LF_TEST_SIGNAL\" $PPID; fi; done\nexit $status\n";
  fs::permissions(dir_ / "helpers/ffmpeg", fs::perms::owner_all);
  enum When { kAtOnce, kAfterAFrame, kWhileEncoding, kAsEncodingEnds };
  struct Case {
    std::vector<std::string> args;
    rlim_t fileLimit;
    std::vector<int> signals;   // sent one after another at `when`
    When when;
    int status;
    std::string says;
    int ignored = 0, pending = 0;   // as the parent leaves them (Parent)
  };
  const std::vector<std::string> short_ = {"--size", "64x48", "--frames", "1-3"};
  // A clip whose stored samples the tool encodes and stores itself.
  fs::create_directories(dir_ / "clips");
  lftest::RunTool("ffmpeg -v error -nostdin -f lavfi -i testsrc2=size=320x180:rate=24 -frames:v 400 -c:v libx264 "
                  "-pix_fmt yuv420p " + lftest::ShellQuote(Path("clips/clip.mp4")));
  const std::vector<std::string> clip = {"render", Path("clips/clip.mp4"), "--lens", "105mm", "--quiet"};
  // With audio to carry, ffmpeg stores the stream the tool encodes; without, the tool stores it itself.
  lftest::RunTool("ffmpeg -v error -nostdin -f lavfi -i testsrc2=size=320x180:rate=24 -f lavfi -i sine=duration=1 "
                  "-frames:v 24 -c:v libx264 -pix_fmt yuv420p -c:a aac " + lftest::ShellQuote(Path("clips/sound.mp4")));
  const std::vector<std::string> sound = {"render", Path("clips/sound.mp4"), "--lens", "105mm", "--quiet"};
  const Case cases[] = {
      {with(long_, {"-o", Path("out/f.%04d.png")}), 4096, {}, kAtOnce, 1, "f.0001.png: cannot write the file (file too large)"},
      {with(long_, {"-o", Path("out/f.%04d.jpg")}), 4096, {}, kAtOnce, 1, "f.0001.jpg: cannot write the file (file too large)"},
      {with(long_, {"-o", Path("out/f.%04d.tif")}), 4096, {}, kAtOnce, 1, "f.0001.tif: cannot write the file (file too large)"},
      {with(long_, {"-o", Path("out/f.%04d.exr")}), 4096, {}, kAtOnce, 1, "f.0001.exr: cannot write the file (file too large)"},
      {with(long_, {"-o", Path("out/f.%04d.dpx")}), 4096, {}, kAtOnce, 1, "f.0001.dpx: cannot write the file (file too large)"},
      {with(long_, {"-o", Path("out/v.mkv")}), 4096, {}, kAtOnce, 1, "v.mkv: cannot encode the video"},
      {with(long_, {"-o", Path("out/f.%04d.png")}), 0, {SIGTERM}, kAfterAFrame, 143, "render cancelled; "},
      {with(long_, {"-o", Path("out/f.%04d.png")}), 0, {SIGHUP}, kAfterAFrame, 129, "render cancelled; "},
      {with(long_, {"-o", Path("out/f.%04d.png")}), 0, {SIGINT}, kAfterAFrame, 130, "render cancelled; "},
      {with(long_, {"-o", Path("out/v.mkv")}), 0, {SIGTERM}, kWhileEncoding, 143, "render cancelled; " + Path("out/v.mkv") + " not written"},
      {with(long_, {"-o", Path("out/v.mkv")}), 0, {SIGTERM, SIGTERM}, kWhileEncoding, 143, ""},
      {{"render", "--size", "64x48", "-o", Path("out/f.%d.png"), "--frames", "0-999999999999999"}, 0, {SIGTERM}, kAfterAFrame,
       143, " of 1000000000000000 frames finished"},
      // A stop as the encoder ends, before the video is renamed into place.
      {with(short_, {"-o", Path("out/v.mkv")}), 0, {SIGINT}, kAsEncodingEnds, 130, "render cancelled; " + Path("out/v.mkv") + " not written"},
      {with(short_, {"-o", Path("out/v.mp4")}), 0, {SIGTERM}, kAsEncodingEnds, 143, "render cancelled; " + Path("out/v.mp4") + " not written"},
      {with(clip, {"-o", Path("out/v.mkv")}), 4096, {}, kAtOnce, 1, "v.mkv: cannot encode the video"},
      {with(clip, {"-o", Path("out/v.mkv")}), 0, {SIGTERM}, kWhileEncoding, 143, "render cancelled; " + Path("out/v.mkv") + " not written"},
      {with(sound, {"-o", Path("out/v.mp4"), "--frames", "0-2"}), 0, {SIGINT}, kAsEncodingEnds, 130,
       "render cancelled; " + Path("out/v.mp4") + " not written"},
      // A stop before the tool's first instruction, also one the parent
      // ignores: taken as soon as the tool runs, before any work.
      {with(long_, {"-o", Path("out/f.%04d.png")}), 0, {}, kAtOnce, 143, "render cancelled; " + Path("out/f.%04d.png") + " not written", 0, SIGTERM},
      {with(long_, {"-o", Path("out/f.%04d.png")}), 0, {}, kAtOnce, 130, "render cancelled; " + Path("out/f.%04d.png") + " not written", SIGINT, SIGINT},
      {with(long_, {"-o", Path("out/v.mkv")}), 0, {}, kAtOnce, 129, "render cancelled; " + Path("out/v.mkv") + " not written", 0, SIGHUP},
      {{"track", Path("in/plate.%04d.png"), "--from", "10,10", "-o", Path("out/t.json")}, 0, {}, kAtOnce, 143, "track cancelled; " + Path("out/t.json") + " not written", SIGTERM, SIGTERM},
      // Under nohup, SIGHUP is the parent's to ignore: the render goes on.
      {with(short_, {"-o", Path("out/f.%04d.png"), "--frames-in-flight", "1"}), 0, {}, kAtOnce, 0,
       "frame 3 written to " + Path("out/f.0003.png"), SIGHUP, SIGHUP},
      // The input's own files, spelt otherwise.
      {{"render", "plate.%04d.png", "-o", "./plate.%04d.png"}, 0, {}, kAtOnce, 2, "and would overwrite it\n"},
      {{"render", "plate.1002.png", "-o", "./plate.1002.png"}, 0, {}, kAtOnce, 2,
       "-o: ./plate.1002.png is the input plate.1002.png and would overwrite it (--in-place replaces a single image with its render)\n"},
      {{"render", Path("in/plate.%04d.png"), "-o", Path("in/../in/plate.####.png")}, 0, {}, kAtOnce, 2, "and would overwrite it\n"},
      {{"render", Path("in/plate.%04d.png"), "-o", Path("link/plate.%04d.png")}, 0, {}, kAtOnce, 2, "and would overwrite it\n"},
      {{"render", Path("in/plate.%04d.png"), "-o", Path("in/plate.%d.png"), "--frames", "1000-1001"}, 0, {}, kAtOnce, 2,
       "and would overwrite it\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back() + " " + c.says);
    fs::remove_all(dir_ / "out");
    fs::create_directories(dir_ / "out");
    std::vector<std::string> args = c.args;
    if (args[0] != "render" && args[0] != "track") args.insert(args.begin(), "render");
    // Relative names are taken from the input's folder.
    const fs::path home = fs::current_path();
    fs::current_path(dir_ / "in");
    Parent parent{c.fileLimit, c.ignored, c.pending, ""};
    if (c.when == kAsEncodingEnds) {
      parent.helpers = Path("helpers");
      setenv("LF_TEST_SIGNAL", sigabbrev_np(c.signals.front()), 1);
    }
    const pid_t pid = Spawn(args, Path("stderr.txt"), parent);
    fs::current_path(home);
    ASSERT_GT(pid, 0);
    if (!c.signals.empty() && c.when != kAsEncodingEnds) {
      auto ready = [&] {
        for (const std::string& name : Files("out")) {
          if ((name[0] == '.') == (c.when == kWhileEncoding)) return true;
        }
        return false;
      };
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (!ready() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      for (int signal : c.signals) kill(pid, signal);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c.status);
    const std::vector<char> bytes = lftest::FileBytes(Path("stderr.txt"));
    const std::string err(bytes.begin(), bytes.end());
    // The closing line (none when a second signal ends the tool at once).
    const std::string last = err.empty() ? "" : err.substr(err.rfind('\n', err.size() - 2) + 1);
    if (c.signals.size() < 2) {
      EXPECT_EQ(last.rfind("lensflare: ", 0), 0u) << err;
    }
    EXPECT_NE(last.find(c.says), std::string::npos) << err;
    if (c.says.find(" not written") != std::string::npos) {
      EXPECT_EQ(Files("out"), std::vector<std::string>{});
    }
    for (const std::string& name : Files("out")) {
      EXPECT_NE(name[0], '.') << "temporary left: " << name;
      EXPECT_NO_THROW(lfhost::ReadImage(Path("out/" + name))) << name;
    }
  }
  EXPECT_EQ(Files("in").size(), 4u);
  EXPECT_EQ(lftest::FileBytes(Path("in/plate.1002.png")), inputBefore);
}

// On a terminal the status line gives way to one line that stays: what was
// written, both files of each frame with --pass both, and how long it took.
TEST_F(RenderCancelTest, OnATerminalTheRenderEndsWithOneLineSayingWhatWasWritten) {
  const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(grantpt(terminal), 0);
  ASSERT_EQ(unlockpt(terminal), 0);
  const std::string side = ptsname(terminal);
  const int held = open(side.c_str(), O_RDWR | O_NOCTTY);   // so reading never sees it closed early
  const pid_t pid = Spawn({"render", "--size", "64x48", "--frames", "1-3", "-o", Path("out/f.%04d.png"), "--pass", "both",
                           "--pass-output", Path("out/p.%04d.png")},
                          side);
  ASSERT_GT(pid, 0);
  std::string text;
  int status = 0;
  for (bool ended = false;;) {
    pollfd ready{terminal, POLLIN, 0};
    if (poll(&ready, 1, ended ? 0 : 50) > 0) {
      char chunk[4096];
      const ssize_t n = read(terminal, chunk, sizeof chunk);
      if (n > 0) text.append(chunk, static_cast<size_t>(n));
      continue;
    }
    if (ended) break;
    ended = waitpid(pid, &status, WNOHANG) == pid;
  }
  close(held);
  close(terminal);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
  const std::string last = text.substr(text.rfind("\r\033[K") + 4);
  EXPECT_EQ(last.rfind("lensflare: wrote 3 frames (" + Path("out/f.0001.png") + " to " + Path("out/f.0003.png") + " and " +
                           Path("out/p.0001.png") + " to " + Path("out/p.0003.png") + ") in 0:",
                       0),
            0u)
      << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
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
      EXPECT_EQ(terminal.StatusLine(), "lensflare: 1/2 frames | frame 1 75% | 0:00 elapsed | 0:00 left");
    }  // the destructor erases the status line for the closing line
    const std::string text = captured(f);
    // Every drawing starts at the line's beginning and erases what was there;
    // nothing of the status stays, and no line is ended.
    EXPECT_EQ(text.rfind("\r\033[K", 0), 0u);
    EXPECT_EQ(text.substr(text.size() - 4), "\r\033[K");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 0);
  }
  {
    // A 30-column terminal gets 29 characters, so the line never wraps;
    // the encoding of a video shows as a phase of its own; a cancel's line stands
    // on its own line.
    std::FILE* f = std::tmpfile();
    {
      lfhost::ProgressDisplay terminal(lfhost::ProgressMode::Terminal, 48, f, 30);
      terminal.Cancelled(3);
      for (int n = 0; n < 48; ++n) terminal.FrameWritten(n, "v.mp4");
      terminal.Encoding("v.mp4");
      EXPECT_EQ(terminal.StatusLine(), "lensflare: 48/48 frames | encoding v.mp4 | 0:00 elapsed");
    }
    const std::string text = captured(f);
    EXPECT_NE(text.find("\r\033[Klensflare: cancelled; writing the 3 finished frames\n"), std::string::npos) << text;
    // Every drawing of the status (those the next drawing replaces) fits.
    for (size_t at = text.find("\r\033[K"); at != std::string::npos; at = text.find("\r\033[K", at + 1)) {
      const size_t end = std::min(text.find_first_of("\r\n", at + 4), text.size());
      if (end < text.size() && text[end] == '\n') continue;
      EXPECT_LE(end - at - 4, 29u) << text.substr(at + 4, end - at - 4);
    }
    EXPECT_EQ(text.substr(text.size() - 4), "\r\033[K");
  }
}

// The time left counts writing: a frame rendered but not written is done by
// the share of a frame's time that rendering took so far. Steps at times set
// by the test: S started, H half rendered, F fully rendered (as the module
// reports it), R rendered, W written.
TEST(ProgressDisplayTest, TimeLeftCountsWritingAsWellAsRendering) {
  struct Step { double at; char what; int64_t frame; };
  struct Case { int64_t total; std::vector<Step> steps; double now; std::string line; };
  const Case cases[] = {
      // Nothing written yet: the frame's rendering is all that is known.
      {2, {{0, 'S', 0}, {3, 'H', 0}}, 3, "lensflare: 0/2 frames | frame 0 50% | 0:03 elapsed | 0:09 left"},
      // Rendering took 2 s a frame, writing 8: a frame rendered is a third
      // done (rendering 4 s of 12), not whole as if writing cost nothing.
      {4, {{0, 'S', 1}, {2, 'F', 1}, {2, 'R', 1}, {10, 'W', 1}, {10, 'S', 2}, {12, 'F', 2}, {12, 'R', 2}}, 12,
       "lensflare: 1/4 frames | frame 2 100% | 0:12 elapsed | 0:24 left"},
      // The last frame's writing, as far as it has gone, counts too.
      {2, {{0, 'S', 0}, {1, 'R', 0}, {4, 'W', 0}, {4, 'S', 1}, {5, 'R', 1}}, 6,
       "lensflare: 1/2 frames | frame 1 | 0:06 elapsed | 0:03 left"},
  };
  for (const Case& c : cases) {
    double now = 0;
    lfhost::ProgressDisplay display(lfhost::ProgressMode::Quiet, c.total, stderr, 0, [&] { return now; });
    for (const Step& step : c.steps) {
      now = step.at;
      if (step.what == 'S') display.FrameStarted(step.frame);
      if (step.what == 'H' || step.what == 'F') display.FrameProgress(step.what == 'H' ? 2 : 4, 4);
      if (step.what == 'R') display.FrameRendered(step.frame);
      if (step.what == 'W') display.FrameWritten(step.frame, "f.png");
    }
    now = c.now;
    EXPECT_EQ(display.StatusLine(), c.line);
  }
}

}  // namespace
