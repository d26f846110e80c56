#include "host/media/libav_messages.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace lfhost {

void LibavMessages::Note(const char* text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!first_.empty()) return;
  pending_ += text;
  if (pending_.empty() || pending_.back() != '\n') return;
  while (!pending_.empty() && (pending_.back() == '\n' || pending_.back() == '\r')) pending_.pop_back();
  first_.swap(pending_);
}

std::string LibavMessages::Why(const std::string& fallback) {
  std::lock_guard<std::mutex> lock(mutex_);
  return !first_.empty() ? first_ : !pending_.empty() ? pending_ : fallback;
}

namespace {

// How many QuietLibraryLog live on this thread.
thread_local int tQuietLogs = 0;

void LogCallback(void* object, int level, const char* format, va_list args) {
  const AVClass* kind = object ? *static_cast<const AVClass**>(object) : nullptr;
  void* owner = nullptr;
  if (kind == avcodec_get_class()) owner = static_cast<AVCodecContext*>(object)->opaque;
  if (kind == avformat_get_class()) owner = static_cast<AVFormatContext*>(object)->opaque;
  if (owner == nullptr && tQuietLogs > 0) return;
  if (owner == nullptr) return av_log_default_callback(object, level, format, args);
  if (level > AV_LOG_ERROR) return;
  char text[1024];
  std::vsnprintf(text, sizeof text, format, args);
  static_cast<LibavMessages*>(owner)->Note(text);
}

}  // namespace

void KeepLibavMessages() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_callback(LogCallback); });
}

QuietLibraryLog::QuietLibraryLog() {
  KeepLibavMessages();
  ++tQuietLogs;
}

QuietLibraryLog::~QuietLibraryLog() { --tQuietLogs; }

std::string LibavErrorText(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  std::string s = text;
  if (!s.empty()) s[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(s[0])));
  return s;
}

}  // namespace lfhost
