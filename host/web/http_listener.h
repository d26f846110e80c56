// The preview's connections, accepted and served by this loop rather than the
// HTTP library's own. That one hands each connection to one of a fixed handful
// of threads and waits on every read without an overall limit, so a few idle or
// slowly trickling clients kept everyone else waiting. Here every connection has
// its own thread, up to a cap, and one client address may hold only part of
// them; a request must arrive in full within a deadline and a byte budget; and
// when a cap is reached, the connection that has waited longest on its client
// (for its next request, or for the rest of one) gives way to the newcomer,
// taken from the address holding the most. So a client that opens hundreds of
// connections and trickles a header line now and then, reconnecting whenever
// one is closed, only ever displaces its own oldest, and a fresh request is
// answered at once. The library still parses each request and routes it to the
// handlers.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include <httplib.h>

namespace lfweb {

struct ConnectionLimits {
  // Open at once (each a thread, mostly asleep); beyond, waiting ones are
  // closed or 503. Generous, since a slow client held open costs little, while
  // one closed comes straight back.
  size_t maxConnections = 256;
  size_t maxPerAddress = 128;                   // open at once from one client address
  std::chrono::milliseconds idle{5000};         // waiting for a request to begin
  std::chrono::milliseconds request{10000};     // a request's headers and body, from its first byte
  std::chrono::milliseconds write{10000};       // a write that makes no progress
  size_t maxRequestBytes = 64 * 1024;           // a request's headers and body as sent
  size_t maxRequestsPerConnection = 100;
};

class HttpListener : public httplib::Server {
 public:
  explicit HttpListener(ConnectionLimits limits);
  ~HttpListener() override;

  // Accepts and serves connections on the socket bound with bind_to_port or
  // bind_to_any_port until Halt(); then waits for every connection to end.
  // Returns false if accepting failed.
  bool Serve();
  // Stops accepting and makes connections end once their current answer is
  // sent. Callable from any thread, before, during or after Serve.
  void Halt() { halting_ = true; }
  // Reads and answers the requests `stream` carries on the calling thread, as
  // a connection's own thread does with its socket (no deadlines or byte
  // budget but the stream's own), until it ends or a request ends the
  // connection. Returns false if a request could not be answered.
  bool ServeStream(httplib::Stream& stream);

  // Why reading the current request failed, for the error answer.
  enum class ReadFault { kNone, kTooLarge, kTimedOut };

  // About the connection whose request the calling handler is answering
  // (handlers run on their connection's thread).
  //   ClientHungUp: the client has closed its end (a browser tab closed, left
  //     the page or gave up the request).
  //   CloseAfterAnswer: the request's body is left unread, so the connection
  //     cannot carry another request; says so in `res`.
  static bool ClientHungUp();
  static void CloseAfterAnswer(httplib::Response& res);
  static ReadFault CurrentReadFault();

 private:
  struct Connection;
  class Stream;
  void Admit(int fd);
  Connection* Spare(const std::string& address, bool ownAddressOnly);
  void ServeConnection(Connection& connection);
  void Reap();

  const ConnectionLimits limits_;
  std::atomic<bool> halting_{false};
  std::mutex mutex_;                   // connections_'s fds and states, against Admit's eviction
  std::list<Connection> connections_;  // added and removed by Serve's thread only
  static thread_local Connection* current_;
};

}  // namespace lfweb
