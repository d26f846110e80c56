// Parsing of the tool's option values. Every parser returns the value or throws
// UsageError with a one-line message naming the option and what is wrong.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/core/host_error.h"

namespace lfhost {
class FrameSource;
}

namespace lfcli {

// A mistake in how the tool was called (exit status 2).
using lfhost::UsageError;

// lfhost::ParsePixelAspect and lfhost::ParseWholeNumber, a mistake thrown as a UsageError.
std::pair<int32_t, uint32_t> ParsePixelAspect(const std::string& option, const std::string& text);
int64_t ParseInteger(const std::string& option, const std::string& text, int64_t low, int64_t high);
// A number of pixels or such, not a control ("32", "40.5").
double ParseDecimal(const std::string& option, const std::string& text);

// Walks argv: options with a value ("--seed 3" or "--seed=3"), flags and
// positional arguments.
class ArgumentReader {
 public:
  ArgumentReader(std::vector<std::string> args) : args_(std::move(args)) {}
  bool Done() const { return next_ >= args_.size(); }
  // The next argument; when it is "--name=value" the value is kept for Value().
  std::string Next();
  // The value of the option just read (from "=value" or the next argument);
  // a UsageError when there is none, or the next argument is an option.
  std::string Value(const std::string& option);

 private:
  std::vector<std::string> args_;
  size_t next_ = 0;
  std::string pendingValue_;
  bool hasPendingValue_ = false;
};

// What render and serve both take, read the same way by both: the one INPUT,
// the plug-in, the worker threads, and the pixel aspect and seed the frame is
// rendered with.
struct SharedOptions {
  std::string input;  // "" uses the built-in frame
  std::string plugin;
  int32_t pixelAspectNum = 1;
  uint32_t pixelAspectDen = 1;
  bool pixelAspectGiven = false;   // --par; else the input's own
  uint32_t seed = 0;
  int threads = 0;
};

// The pixel aspect ratio a frame is rendered with: --par when given, else the
// one `source`'s header states (said in a note on stderr when it is not 1:1,
// since it changes the picture), else nothing (1:1, stated nowhere). The one
// rule for render and serve, so that the page's command renders what it shows.
std::optional<std::pair<int32_t, uint32_t>> PixelAspectFor(const SharedOptions& o, const lfhost::FrameSource& source);

// Reads an argument that the command itself does not know: --par, --seed,
// --threads or --plugin (taking its value from reader) or the INPUT; anything
// else is a UsageError that names `command` ("render", "serve").
void ParseSharedArgument(const std::string& command, const std::string& arg, ArgumentReader& reader,
                         SharedOptions& options);

}  // namespace lfcli
