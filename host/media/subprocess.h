// A helper program (ffmpeg, ffprobe) run with pipes to its standard input and
// output. The child gets its own process group, so a Ctrl-C at the terminal
// reaches only the tool, which then stops its helpers itself; and it is killed
// if the thread that started it goes away, so no helper outlives the tool.
// Its standard error is kept in memory for the tool's messages. A second Ctrl-C
// kills it and waits for it to end before the tool removes its marked files.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "host/core/cancel_token.h"

namespace lfhost {

class Subprocess {
 public:
  // Starts argv[0], found on PATH. Throws HostError when it is not installed or
  // cannot be started.
  Subprocess(const std::vector<std::string>& argv, bool pipeStdin, bool pipeStdout);
  // Kills the child if it is still running.
  ~Subprocess();
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  // Writes every byte; false when the child closed its input (it ended).
  bool WriteAll(const void* data, size_t bytes);
  // Reads up to `bytes`, stopping early only at the end of the output; returns
  // the count read. Throws HostError on a read error.
  size_t ReadUpTo(void* data, size_t bytes);
  // Ends the child's input, so it sees the end of its data.
  void CloseStdin();
  void CloseStdout();
  // Waits for the child; its exit status, or 128 + signal when it was killed.
  int Wait();
  // Ends the child's input and returns its exit status if it has ended, without
  // waiting; nothing while it runs.
  std::optional<int> Poll();
  // SIGKILL and wait; safe to call at any time.
  void Kill() noexcept;
  // The last line the child printed to standard error ("" if none).
  std::string LastErrorLine() const;
  // Everything it printed to standard error (at most the last 64 KiB).
  std::string ErrorOutput() const;

 private:
  StopOnSecondInterrupt stopMark_;  // a second Ctrl-C stops the child first
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  int stderr_ = -1;     // an in-memory file the child writes its messages to
  int status_ = -1;
};

// Runs a program to completion and returns its standard output; throws
// HostError with `what` and the program's last error line if it fails.
std::string RunForOutput(const std::vector<std::string>& argv, const std::string& what);

}  // namespace lfhost
