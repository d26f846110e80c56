// What one step of a drag costs on the preview page over a 1920x1080 frame:
// the module's render through the scheduler, the page's encoding of the full
// frame and of a shrunk preview (and, beside it, the compressed PNG a download
// is), and the whole HTTP round trip the page makes on 127.0.0.1 (POST
// /api/render, then GET the picture), from the request to the last byte
// received. The render alone and the round trip run in one process, so the
// difference between them is what the server adds.
//
// Two frames: the built-in dark frame, which packs to almost nothing, and a
// grainy plate (smooth gradients under per-pixel grain, as scanned or shot
// footage is), which deflate can hardly pack and which made the compressed PNG
// cost several times the render.
//
// Figures and the machine they were measured on: bench/README.md.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/core/builtin_frame.h"
#include "host/core/module_loader.h"
#include "host/core/worker_pool.h"
#include "host/web/preview_image.h"
#include "host/web/preview_server.h"

namespace {

const lfhost::EffectModule& Module() {
  static const auto module = lfhost::EffectModule::Load(lfhost::FindDefaultModule(lfhost::ExecutableDir()));
  return *module;
}

lfhost::WorkerPool& Pool() {
  static lfhost::WorkerPool pool;
  return pool;
}

// Gradients under grain of up to +-12 levels from a fixed linear congruential
// sequence, opaque.
lfhost::ImageBuffer GrainyPlate() {
  lfhost::ImageBuffer image(1920, 1080);
  uint32_t state = 12345;
  for (int32_t y = 0; y < image.height(); ++y) {
    for (int32_t x = 0; x < image.width(); ++x) {
      image.at(x, y, 0) = 255;
      for (int c = 1; c < 4; ++c) {
        state = state * 1664525u + 1013904223u;
        const int grain = static_cast<int>(state >> 27) - 12;
        const int base = 40 + x * 120 / image.width() + y * 60 / image.height() + c * 15;
        image.at(x, y, c) = static_cast<uint8_t>(std::clamp(base + grain, 0, 255));
      }
    }
  }
  return image;
}

// Arg 0: the built-in dark frame; 1: the grainy plate.
lfweb::PreviewFrame Frame(int64_t kind) {
  lfweb::PreviewFrame frame;
  frame.image = kind == 0 ? lfhost::MakeDarkFrame() : GrainyPlate();
  frame.label = kind == 0 ? "built-in frame" : "grainy plate";
  return frame;
}

// The centre moves a little every step, as it does under a dragging pointer.
lfhost::ParamValues Step(int64_t i, int32_t lens) {
  lfhost::ParamValues v;
  v.centerX = static_cast<Fix16>((600 + i % 400) * 65536);
  v.centerY = static_cast<Fix16>((300 + i % 200) * 65536);
  v.brightness = 100;
  v.lensType = lens;
  return v;
}

// Args: lens, frame kind.
void BM_SchedulerRender(benchmark::State& state) {
  lfweb::RenderScheduler scheduler(Module(), Pool(), Frame(state.range(1)));
  int64_t i = 0;
  for (auto _ : state) {
    const lfweb::PreviewOutcome outcome = scheduler.Render("bench", lfhost::CheckParams(Step(i++, static_cast<int32_t>(state.range(0))), scheduler.controls()));
    if (outcome.status != lfweb::PreviewOutcome::Status::kDone) state.SkipWithError("render not done");
  }
}
BENCHMARK(BM_SchedulerRender)
    ->ArgsProduct({{1, 2, 3}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Args: the width shown (0: the full frame), frame kind, and 1 for the
// compressed PNG a download is rather than the page's.
void BM_Encode(benchmark::State& state) {
  lfweb::RenderScheduler scheduler(Module(), Pool(), Frame(state.range(1)));
  const lfweb::PreviewOutcome outcome = scheduler.Render("bench", lfhost::CheckParams(Step(0, 1), scheduler.controls()));
  const int32_t maxWidth = static_cast<int32_t>(state.range(0));
  const bool download = state.range(2) != 0;
  size_t bytes = 0;
  for (auto _ : state) {
    if (download) {
      bytes = lfweb::EncodeDownloadPng(*outcome.image).size();
    } else if (maxWidth > 0) {
      bytes = lfweb::EncodePagePicture(lfweb::ShrinkToWidth(*outcome.image, maxWidth)).size();
    } else {
      bytes = lfweb::EncodePagePicture(*outcome.image).size();
    }
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_Encode)
    ->Args({0, 0, 0})
    ->Args({960, 0, 0})
    ->Args({0, 1, 0})
    ->Args({960, 1, 0})
    ->Args({0, 1, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// HTTP/1.1 over one kept-alive connection, read as a browser reads, in large
// pieces: the HTTP library's own client reads 4 KiB at a time, and on a busy
// machine that measured its own waiting more than the server.
class PageClient {
 public:
  explicit PageClient(int port) : port_(port), buffer_(1 << 18) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fd_ = -1;
  }
  ~PageClient() {
    if (fd_ >= 0) close(fd_);
  }
  PageClient(const PageClient&) = delete;
  PageClient& operator=(const PageClient&) = delete;

  // The status and body of a GET, or of a POST of JSON when `json` is given;
  // status 0 when the connection failed.
  std::pair<int, std::string> Exchange(const std::string& path, const std::string* json = nullptr) {
    std::string request = std::string(json ? "POST " : "GET ") + path + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                          std::to_string(port_) + "\r\n";
    if (json) request += "Content-Type: application/json\r\nContent-Length: " + std::to_string(json->size()) + "\r\n";
    request += "\r\n";
    if (json) request += *json;
    for (size_t sent = 0; sent < request.size();) {
      const ssize_t n = send(fd_, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return {0, ""};
      sent += static_cast<size_t>(n);
    }
    std::string got;
    size_t head = std::string::npos;
    while ((head = got.find("\r\n\r\n")) == std::string::npos) {
      if (!Receive(got)) return {0, ""};
    }
    const size_t field = got.find("Content-Length: ");
    if (field == std::string::npos || field > head) return {0, ""};
    const size_t end = head + 4 + std::stoul(got.substr(field + 16));
    while (got.size() < end) {
      if (!Receive(got)) return {0, ""};
    }
    return {std::atoi(got.c_str() + 9), got.substr(head + 4, end - head - 4)};
  }

 private:
  bool Receive(std::string& got) {
    const ssize_t n = recv(fd_, buffer_.data(), buffer_.size(), 0);
    if (n <= 0) return false;
    got.append(buffer_.data(), static_cast<size_t>(n));
    return true;
  }

  int port_;
  int fd_ = -1;
  std::vector<char> buffer_;
};

// Args: the width shown (0: the full frame), frame kind.
void BM_RequestRoundTrip(benchmark::State& state) {
  lfweb::PreviewServer server(Module(), Pool(), Frame(state.range(1)), {});
  std::thread serving([&] { server.Run(); });
  PageClient client(server.port());
  const int32_t maxWidth = static_cast<int32_t>(state.range(0));
  int64_t i = 0;
  size_t bytes = 0;
  for (auto _ : state) {
    std::string body = "{\"center\":[" + std::to_string(600 + i % 400) + "," + std::to_string(300 + i % 200) + "]";
    if (maxWidth > 0) body += ",\"maxWidth\":" + std::to_string(maxWidth);
    body += "}";
    ++i;
    const auto [status, answer] = client.Exchange("/api/render", &body);
    if (status != 200) {
      state.SkipWithError("render request failed");
      break;
    }
    const size_t at = answer.find("/api/renders/");
    const auto [pictureStatus, picture] = client.Exchange(answer.substr(at, answer.find('"', at) - at));
    if (pictureStatus != 200) {
      state.SkipWithError("picture request failed");
      break;
    }
    bytes = picture.size();
  }
  state.counters["bytes"] = static_cast<double>(bytes);
  server.Stop();
  serving.join();
}
BENCHMARK(BM_RequestRoundTrip)
    ->ArgsProduct({{0, 960}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
