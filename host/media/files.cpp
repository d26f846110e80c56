#include "host/media/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "host/core/cancel_token.h"
#include "host/core/host_error.h"

namespace lfhost {
namespace {

namespace fs = std::filesystem;

std::atomic<unsigned> gTemporaryCounter{0};

// Closes on every path; Close() reports the result for the one path that cares.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return close(fd) == 0;
  }

 private:
  int fd_;
};

DamagedInputPolicy gDamagedInput;

}  // namespace

void SetDamagedInputPolicy(DamagedInputPolicy policy) { gDamagedInput = std::move(policy); }

void ReportDamage(const std::string& path, const std::string& why) {
  const std::string reason = why.substr(0, why.find('\n'));
  const std::string damaged = path + ": is damaged (" + reason + ")";
  if (!gDamagedInput.allow) throw HostError(damaged + "; --allow-damaged renders what can be decoded");
  if (gDamagedInput.warn) gDamagedInput.warn(damaged + "; rendering what could be decoded");
}

std::string SystemReason(int error) {
  std::string text = std::strerror(error);
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

std::string TemporaryPathBeside(const std::string& target) {
  const fs::path path(target);
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  std::string extension = path.extension().string();
  // Extensions worth keeping are short; a long one would only stretch the name.
  if (extension.size() > 16) extension.clear();
  return (folder / (".lf-" + std::to_string(getpid()) + "-" + std::to_string(gTemporaryCounter++) + extension)).string();
}

void WriteFileWhole(const std::string& target, const void* data, size_t size) {
  const std::string temporary = TemporaryPathBeside(target);
  const RemoveOnSecondInterrupt interruptMark(temporary);
  auto fail = [&](int error) {
    unlink(temporary.c_str());
    return HostError(target + ": cannot write the file (" + SystemReason(error) + ")");
  };
  Descriptor file(open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (file.get() < 0) throw fail(errno);
  const auto* p = static_cast<const char*>(data);
  for (size_t left = size; left > 0;) {
    const ssize_t n = write(file.get(), p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw fail(n < 0 ? errno : ENOSPC);
    p += n;
    left -= static_cast<size_t>(n);
  }
  // A file system may accept the bytes and lose them later (a full disk found
  // at writeback, a network file system): fsync and close report that.
  if (fsync(file.get()) != 0) throw fail(errno);
  if (!file.Close()) throw fail(errno);
  if (rename(temporary.c_str(), target.c_str()) != 0) throw fail(errno);
}

void SyncFile(const std::string& path, const std::string& displayName) {
  Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0 || fsync(file.get()) != 0 || !file.Close()) {
    throw HostError(displayName + ": cannot write the file (" + SystemReason(errno) + ")");
  }
}

std::optional<FileIdentity> IdentityOf(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileIdentity{st.st_dev, st.st_ino};
}

off_t CheckInputFile(const std::string& path) {
  // O_NONBLOCK: opening a FIFO with no writer returns at once instead of waiting.
  Descriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat st {};
  if (file.get() < 0 && errno == ENOENT) throw HostError(path + ": no such file");
  if (file.get() < 0 && errno == EISDIR) throw HostError(path + ": is a folder");
  if (file.get() < 0 || fstat(file.get(), &st) != 0) throw HostError(path + ": " + SystemReason(errno));
  if (S_ISDIR(st.st_mode)) throw HostError(path + ": is a folder");
  if (!S_ISREG(st.st_mode)) {
    const char* kind = S_ISFIFO(st.st_mode)   ? "a FIFO"
                       : S_ISCHR(st.st_mode)  ? "a character device"
                       : S_ISBLK(st.st_mode)  ? "a block device"
                       : S_ISSOCK(st.st_mode) ? "a socket"
                                              : "a special file";
    throw HostError(path + ": is not a regular file (" + kind + ")");
  }
  return st.st_size;
}

}  // namespace lfhost
