// Small media for the sequence, video and command-line tests: a private temporary
// folder, generated frames, the tool run as a user runs it, and ffmpeg/ffprobe
// calls for clips made on the spot.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/core/image_buffer.h"

namespace lftest {

namespace fs = std::filesystem;

inline std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// A folder of its own for each test, removed afterwards.
class MediaTest : public testing::Test {
 protected:
  void SetUp() override {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() /
           ("lf_media_" + std::to_string(getpid()) + "_" + info->test_suite_name() + "_" + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  // Names in a folder of the test's (sorted), e.g. to see that nothing was left.
  std::vector<std::string> Files(const std::string& sub = "") const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(sub.empty() ? dir_ : dir_ / sub)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  fs::path dir_;
};

// A frame whose every pixel depends on its position and on `n`, so frames
// differ from each other and any swap or shift shows.
inline lfhost::ImageBuffer PatternFrame(int32_t width, int32_t height, int n, bool varyAlpha = false) {
  lfhost::ImageBuffer f(width, height);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      f.at(x, y, 0) = varyAlpha ? static_cast<uint8_t>(255 - (x + y + n) % 64) : 255;
      f.at(x, y, 1) = static_cast<uint8_t>(x * 4 + n * 17);
      f.at(x, y, 2) = static_cast<uint8_t>(y * 5 + n * 29);
      f.at(x, y, 3) = static_cast<uint8_t>((x ^ y) * 3 + n * 7);
    }
  }
  return f;
}

inline bool SamePixels(const lfhost::ImageBuffer& a, const lfhost::ImageBuffer& b) {
  return a.width() == b.width() && a.height() == b.height() && a.ToRGBA() == b.ToRGBA();
}

inline std::vector<char> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct CliRun {
  int status = -1;
  std::string out, err;
};

// Runs a shell command line; its standard output and exit status.
inline CliRun RunShell(const std::string& commandLine) {
  CliRun run;
  FILE* pipe = popen(commandLine.c_str(), "r");
  std::array<char, 4096> chunk;
  size_t n;
  while ((n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) run.out.append(chunk.data(), n);
  const int raw = pclose(pipe);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return run;
}

// Runs the tool with its standard error in a file (so it is not a terminal).
inline CliRun RunCli(const std::vector<std::string>& args, const fs::path& scratch) {
  std::string command = ShellQuote(LF_TEST_CLI_PATH);
  for (const std::string& a : args) command += " " + ShellQuote(a);
  const fs::path errFile = scratch.parent_path() / (scratch.filename().string() + ".stderr");
  CliRun run = RunShell(command + " 2>" + ShellQuote(errFile.string()) + " </dev/null");
  std::ifstream err(errFile);
  run.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
  fs::remove(errFile);
  return run;
}

// Runs ffmpeg or ffprobe quietly, or fails the test.
inline void RunTool(const std::string& commandLine) {
  const CliRun run = RunShell(commandLine + " 2>&1");
  EXPECT_EQ(run.status, 0) << commandLine << "\n" << run.out;
}

}  // namespace lftest
