// The one error type of the host: a one-line message, ready to show a user,
// saying what (file, option, frame) is wrong, and its kind, which fixes the
// exit status the command line ends with. It is thrown where the fault is found
// and caught once by each front end: the command line's main, the preview
// server's exception handler, the Python binding's translator and each
// adapter's render call. Callbacks never throw.
#pragma once

#include <stdexcept>
#include <string>

namespace lfhost {

enum class ErrorKind {
  Usage,       // an option, control, keys file or request refused before work (status 2)
  Malformed,   // a request to the preview server that is not one (status 2, HTTP 400)
  File,        // a file that cannot be read or written (status 1)
  PlugIn,      // a module that cannot be loaded or refused a command (status 1)
  Render,      // a render that failed (status 1)
  Cancelled,   // work the user stopped (status 130, 128 + the stop signal)
};

inline constexpr int kStatusFailed = 1;
inline constexpr int kStatusUsage = 2;
inline constexpr int kStatusCancelled = 130;

class HostError : public std::runtime_error {
 public:
  explicit HostError(const std::string& message, ErrorKind kind = ErrorKind::Render)
      : HostError(kind, message, StatusOf(kind)) {}
  // A cancellation ends with the status of the signal that asked for it.
  HostError(ErrorKind kind, const std::string& message, int status)
      : std::runtime_error(message), kind_(kind), status_(status) {}

  ErrorKind kind() const { return kind_; }
  int exitStatus() const { return status_; }

  static int StatusOf(ErrorKind kind) {
    switch (kind) {
      case ErrorKind::Usage:
      case ErrorKind::Malformed: return kStatusUsage;
      case ErrorKind::Cancelled: return kStatusCancelled;
      default: return kStatusFailed;
    }
  }

 private:
  ErrorKind kind_;
  int status_;
};

// A mistake in how the host was called: a value refused before any work.
inline HostError UsageError(const std::string& message) { return HostError(message, ErrorKind::Usage); }

}  // namespace lfhost
