#include "host/media/subprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "host/core/host_error.h"

namespace lfhost {
namespace {

// argv[0] as a path, searched on PATH before forking (the child may only make
// async-signal-safe calls, and execvp's search is not one).
std::string FindProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    const size_t end = std::min(dirs.find(':', start), dirs.size());
    std::string dir = dirs.substr(start, end - start);
    if (dir.empty()) dir = ".";
    const std::string candidate = dir + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

// A helper that ended while we were writing to it must not kill the tool with
// SIGPIPE: the write fails with EPIPE and the helper's own message is shown.
void IgnoreBrokenPipes() {
  static std::once_flag once;
  std::call_once(once, [] { signal(SIGPIPE, SIG_IGN); });
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

Subprocess::Subprocess(const std::vector<std::string>& argv, bool pipeStdin, bool pipeStdout) {
  IgnoreBrokenPipes();
  const std::string program = FindProgram(argv.at(0));
  if (program.empty()) {
    throw HostError(argv[0] + " is not installed (it comes with Debian's ffmpeg package)");
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  int inPipe[2] = {-1, -1}, outPipe[2] = {-1, -1};
  stderr_ = memfd_create("lensflare-helper-stderr", MFD_CLOEXEC);
  const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
  auto fail = [&](const std::string& what) {
    for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1], devNull}) {
      if (fd >= 0) close(fd);
    }
    CloseFd(stderr_);
    return HostError("cannot start " + argv[0] + ": " + what);
  };
  if (stderr_ < 0 || devNull < 0) throw fail(std::strerror(errno));
  if (pipeStdin && pipe2(inPipe, O_CLOEXEC) != 0) throw fail(std::strerror(errno));
  if (pipeStdout && pipe2(outPipe, O_CLOEXEC) != 0) throw fail(std::strerror(errno));
  // Larger pipes let a whole row band of a frame pass per system call.
  for (int fd : {inPipe[1], outPipe[0]}) {
    if (fd >= 0) fcntl(fd, F_SETPIPE_SZ, 1 << 20);
  }

  // The stop signals wait on this thread until the child's pid is marked, so
  // that a second one, handled on another thread, finds the child to stop.
  sigset_t interrupt, previousMask;
  sigemptyset(&interrupt);
  for (int stop : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&interrupt, stop);
  pthread_sigmask(SIG_BLOCK, &interrupt, &previousMask);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    // Child: only async-signal-safe calls from here to exec.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    signal(SIGPIPE, SIG_DFL);
    for (int stop : {SIGINT, SIGTERM, SIGHUP}) signal(stop, SIG_DFL);
    sigprocmask(SIG_SETMASK, &previousMask, nullptr);
    dup2(pipeStdin ? inPipe[0] : devNull, 0);
    dup2(pipeStdout ? outPipe[1] : devNull, 1);
    dup2(stderr_, 2);
    execv(program.c_str(), args.data());
    _exit(127);
  }
  const int forkError = errno;
  if (pid > 0) {
    setpgid(pid, pid);  // the child does so too; whichever comes first
    stopMark_.Started(pid);
  }
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  if (pid < 0) throw fail(std::strerror(forkError));
  pid_ = pid;
  for (int fd : {inPipe[0], outPipe[1], devNull}) {
    if (fd >= 0) close(fd);
  }
  stdin_ = inPipe[1];
  stdout_ = outPipe[0];
}

Subprocess::~Subprocess() {
  Kill();
  CloseFd(stderr_);
}

bool Subprocess::WriteAll(const void* data, size_t bytes) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (bytes > 0) {
    const ssize_t n = write(stdin_, p, bytes);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    bytes -= static_cast<size_t>(n);
  }
  return true;
}

size_t Subprocess::ReadUpTo(void* data, size_t bytes) {
  auto* p = static_cast<uint8_t*>(data);
  size_t done = 0;
  while (done < bytes) {
    const ssize_t n = read(stdout_, p + done, bytes - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw HostError(std::string("reading from a helper program failed: ") + std::strerror(errno));
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

void Subprocess::CloseStdin() { CloseFd(stdin_); }
void Subprocess::CloseStdout() { CloseFd(stdout_); }

int Subprocess::Wait() {
  CloseStdin();
  if (pid_ > 0) {
    // Unmarked once it has ended but before it is reaped: until then its pid
    // cannot name another process.
    siginfo_t ended{};
    while (waitid(P_PID, static_cast<id_t>(pid_), &ended, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    stopMark_.Ended();
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    pid_ = -1;
  }
  CloseStdout();
  return status_;
}

std::optional<int> Subprocess::Poll() {
  CloseStdin();
  if (pid_ > 0) {
    int status = 0;
    const pid_t ended = waitpid(pid_, &status, WNOHANG);
    if (ended == 0 || (ended < 0 && errno == EINTR)) return std::nullopt;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    pid_ = -1;
  }
  CloseStdout();
  return status_;
}

void Subprocess::Kill() noexcept {
  if (pid_ > 0) kill(pid_, SIGKILL);
  Wait();
}

std::string Subprocess::ErrorOutput() const {
  if (stderr_ < 0) return "";
  const off_t size = lseek(stderr_, 0, SEEK_END);
  if (size <= 0) return "";
  const off_t keep = std::min<off_t>(size, 64 * 1024);
  std::string text(static_cast<size_t>(keep), '\0');
  const ssize_t n = pread(stderr_, text.data(), text.size(), size - keep);
  text.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return text;
}

std::string Subprocess::LastErrorLine() const {
  std::string text = ErrorOutput();
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  const size_t lineStart = text.find_last_of('\n');
  return lineStart == std::string::npos ? text : text.substr(lineStart + 1);
}

std::string RunForOutput(const std::vector<std::string>& argv, const std::string& what) {
  Subprocess child(argv, false, true);
  std::string out;
  char buffer[65536];
  for (;;) {
    const size_t n = child.ReadUpTo(buffer, sizeof buffer);
    out.append(buffer, n);
    if (n < sizeof buffer) break;
  }
  const int status = child.Wait();
  if (status != 0) {
    const std::string line = child.LastErrorLine();
    throw HostError(what + (line.empty() ? " (" + argv[0] + " failed with status " + std::to_string(status) + ")"
                                         : " (" + line + ")"));
  }
  return out;
}

}  // namespace lfhost
