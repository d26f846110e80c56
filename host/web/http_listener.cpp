#include "host/web/http_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <system_error>

namespace lfweb {
namespace {

using Clock = std::chrono::steady_clock;

// The library listens with a queue of 5; a burst of connections should wait
// in the kernel rather than be turned away there. Longer than the connections
// a flood of reconnecting clients can have in flight at once, so that a new
// page's connection is queued behind them rather than dropped (and retried
// only a second later).
constexpr int kBacklog = 1024;
// How soon a connection waiting for data, or the accept loop, notices Halt.
constexpr int kPollSliceMs = 100;
// After an answer that left a body unread, what is still read and thrown away
// so that the client sees the answer instead of a connection reset.
constexpr size_t kLingerBytes = 256 * 1024;
constexpr std::chrono::seconds kLingerTime{1};

// Waits until `fd` is ready for `events` (or hung up), the deadline passes, or
// `halting` (when given) is set.
bool WaitFor(int fd, short events, Clock::time_point deadline, const std::atomic<bool>* halting) {
  for (;;) {
    if (halting && *halting) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    const int ready = poll(&p, 1, static_cast<int>(std::min<long long>(left, kPollSliceMs)));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

void AddressOf(int fd, bool peer, std::string& ip, int& port) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  auto* raw = reinterpret_cast<sockaddr*>(&address);
  if ((peer ? getpeername(fd, raw, &length) : getsockname(fd, raw, &length)) != 0) return;
  char text[INET6_ADDRSTRLEN] = "";
  if (address.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
    inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    port = ntohs(v4->sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
    inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    port = ntohs(v6->sin6_port);
  }
  ip = text;
}

// Turns a connection away when every place is taken by a request in progress.
void RefuseBusy(int fd) {
  constexpr std::string_view kBody = R"({"error":"too many connections, try again in a moment"})";
  const std::string answer = "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nContent-Length: " +
                             std::to_string(kBody.size()) + "\r\nConnection: close\r\n\r\n" + std::string(kBody);
  [[maybe_unused]] const ssize_t sent = send(fd, answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  close(fd);
}

}  // namespace

struct HttpListener::Connection {
  Connection(int socket, std::string from) : fd(socket), address(std::move(from)) {}
  int fd;                              // -1 once closed; guarded by the listener's mutex_
  const std::string address;           // the client's IP address
  std::thread thread;
  // Waiting on the client, for its next request or the rest of one: may be
  // closed to make room. `since`: when that request, or the wait for it, began.
  std::atomic<bool> waiting{true};
  std::atomic<Clock::rep> since{Clock::now().time_since_epoch().count()};
  bool evicted = false;                // closed to make room; guarded by mutex_
  std::atomic<bool> done{false};
  bool closeAfterAnswer = false;       // on the connection's thread only
  ReadFault fault = ReadFault::kNone;  // on the connection's thread only
};

thread_local HttpListener::Connection* HttpListener::current_ = nullptr;

// A connection as the HTTP library reads and writes it: buffered (the library
// reads request lines a byte at a time), every read of a request held to its
// deadline and byte budget, every write to the write timeout.
class HttpListener::Stream final : public httplib::Stream {
 public:
  Stream(Connection& connection, const ConnectionLimits& limits, const std::atomic<bool>& halting)
      : c_(connection), limits_(limits), halting_(halting) {}

  // Waits up to the idle limit for the next request to begin.
  bool WaitForRequest() const {
    c_.since = Clock::now().time_since_epoch().count();
    return begin_ < end_ || WaitForClient(Clock::now() + limits_.idle);
  }
  void BeginRequest() {
    const auto now = Clock::now();
    c_.since = now.time_since_epoch().count();
    deadline_ = now + limits_.request;
    consumed_ = 0;
    c_.fault = ReadFault::kNone;
  }

  bool is_readable() const override { return begin_ < end_ || WaitForClient(deadline_); }
  bool is_writable() const override { return WaitFor(c_.fd, POLLOUT, Clock::now() + limits_.write, nullptr); }

  ssize_t read(char* ptr, size_t size) override {
    if (consumed_ >= limits_.maxRequestBytes) {
      c_.fault = ReadFault::kTooLarge;
      return -1;
    }
    if (begin_ == end_) {
      ssize_t got = -1;
      while (got < 0) {
        if (!WaitForClient(deadline_)) {
          if (!halting_) c_.fault = ReadFault::kTimedOut;
          return -1;
        }
        got = recv(c_.fd, buffer_, sizeof buffer_, MSG_DONTWAIT);
        if (got < 0 && errno != EAGAIN && errno != EINTR) return -1;
      }
      if (got == 0) return 0;
      begin_ = 0;
      end_ = static_cast<size_t>(got);
    }
    const size_t n = std::min({size, end_ - begin_, limits_.maxRequestBytes - consumed_});
    std::memcpy(ptr, buffer_ + begin_, n);
    begin_ += n;
    consumed_ += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    size_t sent = 0;
    while (sent < size) {
      if (!is_writable()) return -1;
      const ssize_t n = send(c_.fd, ptr + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN && errno != EINTR) return -1;
      if (n > 0) sent += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(sent);
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override { AddressOf(c_.fd, true, ip, port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { AddressOf(c_.fd, false, ip, port); }
  socket_t socket() const override { return c_.fd; }

 private:
  // Only while it waits here may the connection be closed to make room.
  bool WaitForClient(Clock::time_point deadline) const {
    c_.waiting = true;
    const bool ready = WaitFor(c_.fd, POLLIN, deadline, &halting_);
    c_.waiting = false;
    return ready;
  }

  Connection& c_;
  const ConnectionLimits& limits_;
  const std::atomic<bool>& halting_;
  Clock::time_point deadline_;
  size_t consumed_ = 0;
  char buffer_[4096];
  size_t begin_ = 0;
  size_t end_ = 0;
};

HttpListener::HttpListener(ConnectionLimits limits) : limits_(limits) {}

HttpListener::~HttpListener() {
  const socket_t listener = svr_sock_.exchange(INVALID_SOCKET);
  if (listener != INVALID_SOCKET) close(listener);
}

bool HttpListener::Serve() {
  const socket_t listener = svr_sock_;
  if (listener == INVALID_SOCKET) return false;
  ::listen(listener, kBacklog);
  bool ok = true;
  while (!halting_) {
    Reap();
    pollfd p{listener, POLLIN, 0};
    const int ready = poll(&p, 1, kPollSliceMs);
    if (ready < 0 && errno != EINTR) {
      ok = false;
      break;
    }
    if (ready <= 0) continue;
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    // An answer goes out in more than one write (headers, then the body); with
    // Nagle's rule the last short piece would wait for the client's delayed
    // acknowledgement, some 40 ms on every request of a drag.
    const int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    Admit(fd);
  }
  close(svr_sock_.exchange(INVALID_SOCKET));
  // Only this thread adds or removes connections, so the list can be walked
  // while their threads finish.
  for (Connection& c : connections_) c.thread.join();
  connections_.clear();
  return ok;
}

void HttpListener::Admit(int fd) {
  std::string address;
  int port = 0;
  AddressOf(fd, true, address, port);
  std::lock_guard<std::mutex> lock(mutex_);
  size_t open = 0;
  size_t fromAddress = 0;
  for (const Connection& c : connections_) {
    if (c.fd < 0 || c.evicted) continue;
    ++open;
    if (c.address == address) ++fromAddress;
  }
  const bool crowded = fromAddress >= limits_.maxPerAddress;
  if (crowded || open >= limits_.maxConnections) {
    // A client that wants the displaced connection again simply reconnects.
    Connection* spare = Spare(address, crowded);
    if (!spare) {
      RefuseBusy(fd);
      return;
    }
    spare->evicted = true;
    shutdown(spare->fd, SHUT_RDWR);
  }
  Connection& c = connections_.emplace_back(fd, std::move(address));
  try {
    c.thread = std::thread([this, &c] { ServeConnection(c); });
  } catch (const std::system_error&) {
    connections_.pop_back();
    RefuseBusy(fd);
  }
}

// The connection to close for a newcomer from `address`: of those waiting on
// their client, one of the address holding the most connections (only of the
// newcomer's own when that is at its limit), the one waiting longest. A request
// being answered is never cut off. Called with mutex_ held.
HttpListener::Connection* HttpListener::Spare(const std::string& address, bool ownAddressOnly) {
  std::map<std::string, size_t> held;
  for (const Connection& c : connections_) {
    if (c.fd >= 0 && !c.evicted) ++held[c.address];
  }
  Connection* spare = nullptr;
  for (Connection& c : connections_) {
    if (c.fd < 0 || c.evicted || !c.waiting || (ownAddressOnly && c.address != address)) continue;
    if (!spare || held[c.address] > held[spare->address] ||
        (held[c.address] == held[spare->address] && c.since < spare->since)) {
      spare = &c;
    }
  }
  return spare;
}

void HttpListener::Reap() {
  for (auto it = connections_.begin(); it != connections_.end();) {
    if (it->done) {
      it->thread.join();
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

void HttpListener::ServeConnection(Connection& c) {
  current_ = &c;
  Stream stream(c, limits_, halting_);
  for (size_t n = 1; n <= limits_.maxRequestsPerConnection; ++n) {
    if (!stream.WaitForRequest()) break;
    stream.BeginRequest();
    bool clientClosed = false;
    const bool last = halting_ || n == limits_.maxRequestsPerConnection;
    const bool answered = process_request(stream, last, clientClosed, nullptr);
    if (!answered || clientClosed || last || c.closeAfterAnswer || c.fault != ReadFault::kNone) break;
  }
  if (c.closeAfterAnswer || c.fault != ReadFault::kNone) {
    // Lingering close: the client is likely still sending the body.
    shutdown(c.fd, SHUT_WR);
    const auto until = Clock::now() + kLingerTime;
    char sink[4096];
    for (size_t drained = 0; drained < kLingerBytes && WaitFor(c.fd, POLLIN, until, nullptr);) {
      const ssize_t n = recv(c.fd, sink, sizeof sink, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
      if (n > 0) drained += static_cast<size_t>(n);
    }
  }
  current_ = nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  close(c.fd);
  c.fd = -1;
  c.done = true;
}

bool HttpListener::ServeStream(httplib::Stream& stream) {
  Connection c(-1, "");   // no socket: the stream is all there is
  current_ = &c;
  bool answered = true;
  for (size_t n = 1; answered && n <= limits_.maxRequestsPerConnection && stream.is_readable(); ++n) {
    bool clientClosed = false;
    answered = process_request(stream, n == limits_.maxRequestsPerConnection, clientClosed, nullptr);
    if (clientClosed || c.closeAfterAnswer) break;
  }
  current_ = nullptr;
  return answered;
}

bool HttpListener::ClientHungUp() {
  if (!current_) return false;
  // POLLRDHUP: the client closed or shut down its sending side.
  pollfd p{current_->fd, POLLRDHUP, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

void HttpListener::CloseAfterAnswer(httplib::Response& res) {
  if (current_) current_->closeAfterAnswer = true;
  res.set_header("Connection", "close");
}

HttpListener::ReadFault HttpListener::CurrentReadFault() { return current_ ? current_->fault : ReadFault::kNone; }

}  // namespace lfweb
