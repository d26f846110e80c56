// Progress of a render for the person waiting on it. On a terminal: one status
// line redrawn in place, cut to the terminal's width (frames done of total, the
// current frame's progress as the module reports it, elapsed and remaining
// time; then a video's final encoding as a phase of its own), erased at the
// end for the command's closing line. When standard error is a file or pipe:
// one plain line per file written, a single image's too. Quiet: nothing.
//
// The time left counts writing as well as rendering: a frame is done once
// written, and a frame rendered but not yet written counts as the share of a
// frame's time that rendering takes, measured on the frames so far (the
// writing of frames still in the writer counted as far as it has gone).
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
#include <functional>
#include <map>
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
  // Seconds on a clock that never goes back; the steady clock unless a test
  // sets the time.
  using Clock = std::function<double()>;
  // `columns` is the terminal's width; 0 asks the terminal `out` is at each draw.
  ProgressDisplay(ProgressMode mode, int64_t totalFrames, std::FILE* out, int columns = 0, Clock clock = {});
  // Erases the status line if Finish was not called.
  ~ProgressDisplay();
  ProgressDisplay(const ProgressDisplay&) = delete;
  ProgressDisplay& operator=(const ProgressDisplay&) = delete;

  // Render thread.
  void FrameStarted(int64_t frameNumber);
  void FrameProgress(int32_t current, int32_t total);
  // Render thread: the frame is rendered and goes to be written.
  void FrameRendered(int64_t frameNumber);
  // Writer thread: a frame is complete in its output.
  void FrameWritten(int64_t frameNumber, const std::string& name);
  // Every frame is in; the video `name` is being encoded to its end.
  void Encoding(const std::string& name);
  // Render thread, after a cancel: `pending` finished frames are still being
  // written, which is said on a line of its own.
  void Cancelled(int64_t pending);
  // Stops drawing; on a terminal the status line is erased, so that the line
  // the command closes with takes its place. Nothing is drawn after it.
  void Finish();

  // The status line as it would be drawn now (without cursor control).
  std::string StatusLine() const;
  // Seconds since the display was made.
  double Elapsed() const;

 private:
  // Fraction of the whole render done, counting the current frame's progress.
  double FractionDone() const;
  void Redraw();
  void RedrawLoop();

  void PrintLine(const std::string& line);

  const ProgressMode mode_;
  const int64_t total_;
  std::FILE* const out_;
  const int columns_;
  const Clock clock_;
  std::string encoding_;   // the video being encoded, under mutex_
  const double start_;
  std::atomic<int64_t> written_{0};
  std::atomic<int64_t> currentFrame_{-1};
  std::atomic<int32_t> currentDone_{0};
  std::atomic<int32_t> currentTotal_{0};

  // When each frame in flight started rendering and was rendered, and the
  // seconds spent rendering and writing the frames so far.
  mutable std::mutex timesMutex_;
  std::map<int64_t, double> renderingSince_, writingSince_;
  double renderSeconds_ = 0, writeSeconds_ = 0;

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool finished_ = false;
  std::thread redraw_;
};

}  // namespace lfhost
