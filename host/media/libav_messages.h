// What Debian's libavformat and libavcodec say about the work this process
// hands them: the errors of our own demuxers, decoders, encoders and muxers
// are kept (the first one, whole) to name in the tool's one-line message, and
// their other messages are dropped; the libraries never print for them.
#pragma once

#include <mutex>
#include <string>

namespace lfhost {

// The messages of one job. A context whose `opaque` points at one of these
// (AVCodecContext, AVFormatContext) reports to it once KeepLibavMessages ran.
class LibavMessages {
 public:
  // Takes a message as the libraries log it, perhaps in parts; keeps the
  // first one to end in a newline. Called from the codecs' threads too.
  void Note(const char* text);
  // The first error, or `fallback` when the libraries said nothing.
  std::string Why(const std::string& fallback);

 private:
  std::mutex mutex_;
  std::string first_;     // the first error message, once whole
  std::string pending_;   // an error message still being written, in parts
};

// Routes the libraries' log through LibavMessages for contexts that carry one;
// any other user of the libraries in this process keeps their usual log.
void KeepLibavMessages();

// While one lives, what the libraries log on this thread outside a
// job that keeps its messages (a demuxer's warnings, the trial decodes that find a stream's
// parameters) is dropped rather than printed: a file read in this process
// says what is wrong with it in its own error, as the tool's other messages do.
class QuietLibraryLog {
 public:
  QuietLibraryLog();
  ~QuietLibraryLog();
  QuietLibraryLog(const QuietLibraryLog&) = delete;
  QuietLibraryLog& operator=(const QuietLibraryLog&) = delete;
};

// The libraries' text for an error code, in lower case: "invalid data found
// when processing input".
std::string LibavErrorText(int error);

}  // namespace lfhost
