#include "host/media/progress_display.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace lfhost {

ProgressMode ChooseProgressMode(bool quiet, int fd) {
  if (quiet) return ProgressMode::Quiet;
  return isatty(fd) ? ProgressMode::Terminal : ProgressMode::Lines;
}

std::string FormatDuration(double seconds) {
  const int64_t s = std::max<int64_t>(0, std::llround(seconds));
  char text[32];
  if (s >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                  static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60));
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(s / 60), static_cast<long long>(s % 60));
  }
  return text;
}

namespace {

double SteadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

ProgressDisplay::ProgressDisplay(ProgressMode mode, int64_t totalFrames, std::FILE* out, int columns, Clock clock)
    : mode_(mode),
      total_(totalFrames),
      out_(out),
      columns_(columns),
      clock_(clock ? std::move(clock) : Clock(SteadySeconds)),
      start_(clock_()) {
  if (mode_ == ProgressMode::Terminal) redraw_ = std::thread([this] { RedrawLoop(); });
}

ProgressDisplay::~ProgressDisplay() { Finish(); }

void ProgressDisplay::FrameStarted(int64_t frameNumber) {
  {
    std::lock_guard<std::mutex> lock(timesMutex_);
    renderingSince_[frameNumber] = clock_();
  }
  currentDone_.store(0, std::memory_order_relaxed);
  currentTotal_.store(0, std::memory_order_relaxed);
  currentFrame_.store(frameNumber, std::memory_order_relaxed);
}

void ProgressDisplay::FrameRendered(int64_t frameNumber) {
  std::lock_guard<std::mutex> lock(timesMutex_);
  const double now = clock_();
  if (const auto it = renderingSince_.find(frameNumber); it != renderingSince_.end()) {
    renderSeconds_ += now - it->second;
    renderingSince_.erase(it);
  }
  writingSince_[frameNumber] = now;
}

void ProgressDisplay::FrameProgress(int32_t current, int32_t total) {
  currentDone_.store(current, std::memory_order_relaxed);
  currentTotal_.store(total, std::memory_order_relaxed);
}

void ProgressDisplay::FrameWritten(int64_t frameNumber, const std::string& name) {
  {
    std::lock_guard<std::mutex> lock(timesMutex_);
    if (const auto it = writingSince_.find(frameNumber); it != writingSince_.end()) {
      writeSeconds_ += clock_() - it->second;
      writingSince_.erase(it);
    }
    renderingSince_.erase(frameNumber);
  }
  const int64_t written = written_.fetch_add(1) + 1;
  if (mode_ != ProgressMode::Lines) return;
  const double fraction = FractionDone();
  const double elapsed = Elapsed();
  const std::string left = fraction > 0 ? FormatDuration(elapsed / fraction * (1 - fraction)) : "?";
  std::lock_guard<std::mutex> lock(mutex_);
  std::fprintf(out_, "lensflare: frame %lld written to %s (%lld/%lld, %s elapsed, %s left)\n",
               static_cast<long long>(frameNumber), name.c_str(), static_cast<long long>(written),
               static_cast<long long>(total_), FormatDuration(elapsed).c_str(), left.c_str());
  std::fflush(out_);
}

void ProgressDisplay::Encoding(const std::string& name) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    encoding_ = name;
  }
  if (mode_ == ProgressMode::Lines) PrintLine("lensflare: encoding " + name);
}

void ProgressDisplay::Cancelled(int64_t pending) {
  PrintLine("lensflare: cancelled; writing the " + std::to_string(pending) + " finished frame" +
            (pending == 1 ? "" : "s"));
}

void ProgressDisplay::PrintLine(const std::string& line) {
  if (mode_ == ProgressMode::Quiet) return;
  std::lock_guard<std::mutex> lock(mutex_);
  // On a terminal the line takes the status line's place; the status follows.
  std::fprintf(out_, mode_ == ProgressMode::Terminal ? "\r\033[K%s\n" : "%s\n", line.c_str());
  std::fflush(out_);
}

double ProgressDisplay::Elapsed() const { return clock_() - start_; }

double ProgressDisplay::FractionDone() const {
  if (total_ <= 0) return 0;
  double done = static_cast<double>(written_.load(std::memory_order_relaxed));
  const int32_t t = currentTotal_.load(std::memory_order_relaxed);
  const int32_t c = currentDone_.load(std::memory_order_relaxed);
  const int64_t frame = currentFrame_.load(std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(timesMutex_);
  const double now = clock_();
  double writing = writeSeconds_;
  for (const auto& [number, since] : writingSince_) writing += now - since;
  // Rendering's share of a frame's time: all of it until a frame has been
  // rendered (nothing is known of writing before that).
  const double share = renderSeconds_ + writing > 0 ? renderSeconds_ / (renderSeconds_ + writing) : 1.0;
  done += share * static_cast<double>(writingSince_.size());
  // The frame started last reports its rendering; others in flight are not
  // known that finely.
  if (t > 0 && renderingSince_.count(frame)) done += share * std::clamp(static_cast<double>(c) / t, 0.0, 1.0);
  return std::min(1.0, done / static_cast<double>(total_));
}

std::string ProgressDisplay::StatusLine() const {
  const int64_t written = written_.load(std::memory_order_relaxed);
  std::string line = "lensflare: " + std::to_string(written) + "/" + std::to_string(total_) + " frames";
  const int64_t frame = currentFrame_.load(std::memory_order_relaxed);
  const int32_t t = currentTotal_.load(std::memory_order_relaxed);
  if (frame >= 0 && written < total_) {
    line += " | frame " + std::to_string(frame);
    if (t > 0) {
      const int32_t c = std::clamp(currentDone_.load(std::memory_order_relaxed), 0, t);
      line += " " + std::to_string(static_cast<int64_t>(c) * 100 / t) + "%";
    }
  }
  const double elapsed = Elapsed();
  if (!encoding_.empty()) return line + " | encoding " + encoding_ + " | " + FormatDuration(elapsed) + " elapsed";
  const double fraction = FractionDone();
  line += " | " + FormatDuration(elapsed) + " elapsed | ";
  line += fraction > 0 ? FormatDuration(elapsed / fraction * (1 - fraction)) + " left" : "--:-- left";
  return line;
}

void ProgressDisplay::Redraw() {
  // "\r" and erase-line keep the status on one line of the terminal, as long
  // as it is shorter than the terminal is wide (else each draw scrolls).
  std::string line = StatusLine();
  int columns = columns_;
  winsize size{};
  if (columns <= 0 && ioctl(fileno(out_), TIOCGWINSZ, &size) == 0) columns = size.ws_col;
  if (columns > 1 && line.size() >= static_cast<size_t>(columns)) line.resize(static_cast<size_t>(columns) - 1);
  std::fprintf(out_, "\r\033[K%s", line.c_str());
  std::fflush(out_);
}

void ProgressDisplay::RedrawLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    Redraw();
    wake_.wait_for(lock, std::chrono::milliseconds(125));
  }
}

void ProgressDisplay::Finish() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (finished_) return;
    finished_ = true;
    stopping_ = true;
  }
  wake_.notify_all();
  if (redraw_.joinable()) redraw_.join();
  if (mode_ == ProgressMode::Terminal) {
    std::fputs("\r\033[K", out_);
    std::fflush(out_);
  }
}

}  // namespace lfhost
