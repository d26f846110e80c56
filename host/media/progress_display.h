// Progress of a render for the person waiting on it. On a terminal: one status
// line redrawn in place, cut to the terminal's width (frames done of total, the
// current frame's progress as the module reports it, elapsed and remaining
// time; then a video's final encoding as a phase of its own). When standard
// error is a file or pipe: one plain line per file written, a single image's
// too. Quiet: nothing.
//
// The module's progress calls arrive on the render thread in the middle of a
// frame; they only store two numbers. The line is drawn by a thread of the
// display's own, so rendering never waits on the terminal.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

namespace lfhost {

enum class ProgressMode { Terminal, Lines, Quiet };

// Quiet when asked; else Terminal if `fd` is a terminal, Lines otherwise.
ProgressMode ChooseProgressMode(bool quiet, int fd);

// "0:07", "12:30", "1:02:03".
std::string FormatDuration(double seconds);

class ProgressDisplay {
 public:
  // `columns` is the terminal's width; 0 asks the terminal `out` is at each draw.
  ProgressDisplay(ProgressMode mode, int64_t totalFrames, std::FILE* out, int columns = 0);
  // Ends the status line if Finish was not called.
  ~ProgressDisplay();
  ProgressDisplay(const ProgressDisplay&) = delete;
  ProgressDisplay& operator=(const ProgressDisplay&) = delete;

  // Render thread.
  void FrameStarted(int64_t frameNumber);
  void FrameProgress(int32_t current, int32_t total);
  // Writer thread: a frame is complete in its output.
  void FrameWritten(int64_t frameNumber, const std::string& name);
  // Every frame is in; the video `name` is being encoded to its end.
  void Encoding(const std::string& name);
  // Render thread, after a cancel: `pending` finished frames are still being
  // written, which is said on a line of its own.
  void Cancelled(int64_t pending);
  // Draws the last state and ends the line; nothing more is drawn after it.
  void Finish();

  // The status line as it would be drawn now (without cursor control).
  std::string StatusLine() const;

 private:
  double Elapsed() const;
  // Fraction of the whole render done, counting the current frame's progress.
  double FractionDone() const;
  void Redraw();
  void RedrawLoop();

  void PrintLine(const std::string& line);

  const ProgressMode mode_;
  const int64_t total_;
  std::FILE* const out_;
  const int columns_;
  std::string encoding_;   // the video being encoded, under mutex_
  const std::chrono::steady_clock::time_point start_;
  std::atomic<int64_t> written_{0};
  std::atomic<int64_t> currentFrame_{-1};
  std::atomic<int32_t> currentDone_{0};
  std::atomic<int32_t> currentTotal_{0};

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool finished_ = false;
  std::thread redraw_;
};

}  // namespace lfhost
