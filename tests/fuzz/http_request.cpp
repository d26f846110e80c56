// Requests to the preview server, as a connection brings them (one or several
// in a row), answered by the server's own routes and handlers over a 64x36
// frame, in this process: the bytes go in and the answers come out through a
// stream in memory rather than a socket. The seeds address the server at port
// 8321 (127.0.0.1:8321, localhost:8321, [::1]:8321); the server here listens on
// whatever port was free, so ":8321" is rewritten to its own. No request may
// make the server fail (5xx other than 503) or answer with anything but HTTP.
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "host/web/preview_server.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

class MemoryStream final : public httplib::Stream {
 public:
  MemoryStream(std::string request, int localPort) : request_(std::move(request)), localPort_(localPort) {}
  bool is_readable() const override { return at_ < request_.size(); }
  bool is_writable() const override { return true; }
  ssize_t read(char* ptr, size_t size) override {
    const size_t n = std::min(size, request_.size() - at_);
    std::memcpy(ptr, request_.data() + at_, n);
    at_ += n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* ptr, size_t size) override {
    answers_.append(ptr, size);
    return static_cast<ssize_t>(size);
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip = "127.0.0.1";
    port = 50000;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    ip = "127.0.0.1";
    port = localPort_;
  }
  socket_t socket() const override { return INVALID_SOCKET; }
  const std::string& answers() const { return answers_; }

 private:
  std::string request_;
  size_t at_ = 0;
  int localPort_;
  std::string answers_;
};

lfweb::PreviewServer& Server() {
  static lfweb::PreviewServer* server = [] {
    lfweb::PreviewFrame frame;
    frame.image = lfhost::ImageBuffer(64, 36);
    frame.image.Fill(255, 40, 60, 80);
    frame.renderArgs = {"plate.png"};
    frame.label = "plate.png";
    return new lfweb::PreviewServer(lffuzz::Module(), lffuzz::Pool(), std::move(frame), lfweb::ServerOptions{});
  }();
  return *server;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lfweb::PreviewServer& server = Server();
  std::string request = lffuzz::Text(data, size);
  const std::string seedAddress = ":8321", ownAddress = ":" + std::to_string(server.port());
  for (size_t at = 0; (at = request.find(seedAddress, at)) != std::string::npos; at += ownAddress.size()) {
    request.replace(at, seedAddress.size(), ownAddress);
  }
  MemoryStream stream(std::move(request), server.port());
  server.Answer(stream);
  // Each answer: its status line, headers, and a body of its Content-Length
  // (none for a HEAD request: the next answer follows the headers).
  const std::string& answers = stream.answers();
  for (size_t at = 0; at < answers.size();) {
    if (answers.compare(at, 9, "HTTP/1.1 ") != 0) lffuzz::Broken("an answer that is not HTTP:\n" + answers.substr(at, 200));
    const int status = std::atoi(answers.c_str() + at + 9);
    if (status >= 500 && status != 503) lffuzz::Broken("the server failed:\n" + answers.substr(at, 600));
    const size_t end = answers.find("\r\n\r\n", at);
    if (end == std::string::npos) lffuzz::Broken("an answer without the end of its headers");
    const std::string head = answers.substr(at, end - at);
    const size_t length = head.find("Content-Length: ");
    at = end + 4;
    if (at < answers.size() && answers.compare(at, 9, "HTTP/1.1 ") != 0 && length != std::string::npos) {
      at += std::strtoull(head.c_str() + length + 16, nullptr, 10);
    }
  }
  return 0;
}
