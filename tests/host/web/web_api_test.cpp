// The preview server over HTTP with the real module: what /api/controls reports,
// that a render is the module's own pixels and its command names them,
// that bad and hostile requests get a 4xx and a message, that only the page's
// files are served, that each page has its own line in which a newer request
// cancels the one in flight, that a client hanging up cancels its render, and
// that idle and slow clients do not keep others waiting.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "host/cli/render_media.h"
#include "host/core/control_values.h"
#include "host/core/effect_instance.h"
#include "host/media/image_io.h"
#include "host/web/preview_api.h"
#include "host/web/preview_image.h"
#include "host/web/preview_server.h"
#include "tests/host/media_fixture.h"
#include "tests/host/module_fixture.h"

namespace {

using nlohmann::json;

constexpr int32_t kWidth = 96;
constexpr int32_t kHeight = 64;

// Waits, at most 10 s as a guard against a hang, until `done` holds.
bool WaitFor(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done();
}

// A plain TCP connection to the server, for clients that misbehave; `from`
// is the client's address, another of the loopback network's when given.
int Connect(int port, const char* from = nullptr) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  if (from) {
    inet_pton(AF_INET, from, &address.sin_addr);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << from;
  }
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return fd;
}

// Everything the server sends on `fd` until it closes, waiting at most
// `waitMs` for each part.
std::string ReadUntilClosed(int fd, int waitMs) {
  std::string answer;
  char buffer[4096];
  pollfd p{fd, POLLIN, 0};
  for (ssize_t n = 1; n > 0 && poll(&p, 1, waitMs) > 0;) {
    n = recv(fd, buffer, sizeof buffer, 0);
    answer.append(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0)));
  }
  return answer;
}

void SendAll(int fd, const std::string& bytes) {
  EXPECT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

// The head of a POST /api/render sent by hand, ending with `headers`.
std::string RenderHead(int port, const std::string& headers) {
  return "POST /api/render HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nContent-Type: application/json\r\n" + headers + "\r\n";
}

// POST /api/render with a chunked body, {"lens": 1 and then spaces up to
// `total` bytes, that stops sending as soon as an answer arrives. Returns the
// answer (read until the server closes, 10 s at most) and how many bytes of
// the body went out before it.
std::pair<std::string, size_t> PostChunked(int port, size_t total) {
  const int fd = Connect(port);
  SendAll(fd, RenderHead(port, "Transfer-Encoding: chunked\r\n") + "a\r\n{\"lens\": 1\r\n");
  const std::string chunk = "1000\r\n" + std::string(0x1000, ' ') + "\r\n";
  size_t sent = 10;
  pollfd p{fd, POLLIN | POLLOUT, 0};
  for (size_t offset = 0; sent < total && poll(&p, 1, 10000) > 0 && p.revents == POLLOUT;) {
    const ssize_t n = send(fd, chunk.data() + offset, chunk.size() - offset, MSG_NOSIGNAL | MSG_DONTWAIT);
    offset += static_cast<size_t>(std::max<ssize_t>(n, 0));
    if (offset == chunk.size()) offset = 0, sent += 0x1000;
  }
  const std::string answer = ReadUntilClosed(fd, 10000);
  close(fd);
  return {answer, sent};
}

class PreviewServerTest : public lftest::MediaTest {
 protected:
  void TearDown() override {
    if (server_) server_->Stop();
    if (serving_.joinable()) serving_.join();
    MediaTest::TearDown();
  }

  // A server on a free port over a frame saved as plate.png, so the tool can
  // read it again; seed 7 and pixel aspect 2:1 so that both must reach the module.
  void StartServer(lfweb::RenderScheduler::Hooks hooks = {}, lfweb::ConnectionLimits limits = {}) {
    lfhost::WriteImage(lftest::PatternFrame(kWidth, kHeight, 1), Path("plate.png"));
    lfweb::PreviewFrame frame;
    frame.image = lfhost::ReadImage(Path("plate.png"));
    frame.renderArgs = {Path("plate.png")};
    frame.label = "plate.png";
    frame.settings = {.seed = 7, .pixelAspectNum = 2, .pixelAspectDen = 1};
    lfweb::ServerOptions options;
    options.hooks = std::move(hooks);
    options.limits = limits;
    server_ = std::make_unique<lfweb::PreviewServer>(lftest::TestModule(), lftest::TestPool(), std::move(frame), options);
    serving_ = std::thread([this] { server_->Run(); });
  }

  httplib::Client Client() const {
    httplib::Client client("127.0.0.1", server_->port());
    client.set_read_timeout(20, 0);
    return client;
  }

  lfhost::ImageBuffer Fetch(httplib::Client& client, const json& answer) const {
    const auto png = client.Get(answer["image"].get<std::string>().c_str());
    EXPECT_TRUE(png && png->get_header_value("Content-Type") == "image/png");
    std::ofstream(Path("served.png"), std::ios::binary) << (png ? png->body : "");
    return lfhost::ReadImage(Path("served.png"));
  }

  std::unique_ptr<lfweb::PreviewServer> server_;
  std::thread serving_;
};

TEST_F(PreviewServerTest, ControlsEndpointReportsTheDeclaredControls) {
  StartServer();
  auto client = Client();
  const auto res = client.Get("/api/controls");
  ASSERT_TRUE(res && res->status == 200);
  const json body = json::parse(res->body);
  EXPECT_EQ(body["frame"], (json{{"width", 96}, {"height", 64}, {"label", "plate.png"}, {"number", 0}}));
  const json expected = json::parse(R"([
    {"key": "center", "name": "Flare Center", "kind": "point", "defaultPercent": [40, 40]},
    {"key": "brightness", "name": "Flare Brightness", "kind": "slider", "min": 0, "max": 300,
     "sliderMin": 0, "sliderMax": 300, "default": 100, "unit": "%"},
    {"key": "lens", "name": "Lens Type", "kind": "popup", "default": 1, "choices": [
      {"value": 1, "name": "50-300mm Zoom"}, {"value": 2, "name": "35mm Prime"}, {"value": 3, "name": "105mm Prime"}]},
    {"key": "blend", "name": "Blend With Original", "min": 0, "max": 100, "default": 0, "unit": "%"}])");
  const json& controls = body["controls"];
  ASSERT_EQ(controls.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    for (const auto& [field, value] : expected[i].items()) EXPECT_EQ(controls[i][field], value) << i << " " << field;
  }
  // 40 % of 96 x 64, rounded to 1/65536 of a pixel.
  EXPECT_NEAR(controls[0]["default"][0].get<double>(), 38.4, 1.0 / 65536);
  EXPECT_NEAR(controls[0]["default"][1].get<double>(), 25.6, 1.0 / 65536);
}

// The module's render of the plate with `values`, made directly and, when
// `half`, shrunk as the preview shrinks it: each pixel the rounded mean of a 2x2 block.
lfhost::ImageBuffer DirectRender(const lfhost::ParamValues& values, bool half) {
  auto effect = lftest::StartedEffect();
  const lfhost::ImageBuffer input = lftest::PatternFrame(kWidth, kHeight, 1);
  lfhost::ImageBuffer full = input.Clone();
  EXPECT_TRUE(effect->Render(input, full, effect->Check(values), {.seed = 7, .pixelAspectNum = 2, .pixelAspectDen = 1}).ok());
  if (!half) return full;
  lfhost::ImageBuffer small(kWidth / 2, kHeight / 2);
  for (int32_t y = 0; y < kHeight / 2; ++y) {
    for (int32_t x = 0; x < kWidth / 2; ++x) {
      for (int ch = 0; ch < 4; ++ch) {
        small.at(x, y, ch) = static_cast<uint8_t>((full.at(2 * x, 2 * y, ch) + full.at(2 * x + 1, 2 * y, ch) +
                                                   full.at(2 * x, 2 * y + 1, ch) + full.at(2 * x + 1, 2 * y + 1, ch) + 2) / 4);
      }
    }
  }
  return small;
}

TEST_F(PreviewServerTest, RenderIsTheModulesOwnPixelsAndItsCommandNamesThem) {
  StartServer();
  auto client = Client();
  const Fix16 one = 65536;
  struct Case {
    const char* body;
    lfhost::ParamValues values;   // what the module must receive
    bool half;
    std::string command;          // after the input's name
  };
  const Case cases[] = {
      // Left-out controls take the declared defaults (centre at 40 %).
      {R"({"maxWidth":48})", {2516582, 1677722, 100.0, 1, 0}, true, ""},
      {R"({"center":[61.25,20],"lens":3,"brightness":180,"blend":10})", {61 * one + one / 4, 20 * one, 180.0, 3, 10 * one},
       false, " -o flare.png --lens 105mm --brightness 180 --center 61.25,20 --blend 10 --par 2:1 --seed 7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    const auto res = client.Post("/api/render", c.body, "application/json");
    ASSERT_TRUE(res && res->status == 200) << (res ? res->body : "no answer");
    const json answer = json::parse(res->body);
    EXPECT_EQ(answer["status"], "done");
    EXPECT_EQ(answer["scaled"], c.half);
    const lfhost::ImageBuffer served = Fetch(client, answer);
    EXPECT_TRUE(lftest::SamePixels(served, DirectRender(c.values, c.half)));
    EXPECT_FALSE(lftest::SamePixels(served, lftest::PatternFrame(kWidth, kHeight, 1))) << "no flare drawn";
    // A full frame's download is the same pixels, packed smaller; a shrunk
    // preview has none.
    if (c.half) {
      EXPECT_TRUE(answer["download"].is_null());
    } else {
      const auto download = client.Get(answer["download"].get<std::string>().c_str());
      ASSERT_TRUE(download && download->status == 200);
      std::ofstream(Path("download.png"), std::ios::binary) << download->body;
      EXPECT_TRUE(lftest::SamePixels(lfhost::ReadImage(Path("download.png")), served));
      EXPECT_LT(download->body.size(), client.Get(answer["image"].get<std::string>().c_str())->body.size());
    }
    // The shown command is run through the tool in serve_cli_test.cpp.
    if (!c.command.empty()) {
      EXPECT_EQ(answer["command"], "lensflare render " + Path("plate.png") + c.command);
    }
  }
}

TEST_F(PreviewServerTest, BadRequestsGetAFourHundredAndAMessage) {
  StartServer();
  auto client = Client();
  const char* const kJson = "application/json";
  const std::string port = std::to_string(server_->port());
  struct Case {
    std::string body;
    const char* type;
    int status;
    std::string message;                 // a part of the error text
    httplib::Headers headers = {};
    size_t chunkedBytes = 0;             // sent chunked instead, this long
  };
  const Case cases[] = {
      {R"({"sparkle": 3})", kJson, 400, "unknown control \"sparkle\""},
      {R"({"brightness": 300.5})", kJson, 422, "Flare Brightness 300.5 is outside 0 to 300"},
      {R"({"maxWidth": 0})", kJson, 400, "maxWidth must be a whole number"},
      {R"({"lens": 2)", kJson, 400, "not valid JSON"},
      // Nesting is refused before anything walks it (recursively, on a thread's stack).
      {R"({"brightness": )" + std::string(30000, '[') + std::string(30000, ']') + "}", kJson, 400,
       "the request body: nested more than 64 levels deep"},
      {R"({"keys": {"lens": )" + std::string(30000, '[') + std::string(30000, ']') + "}}", kJson, 400,
       "the request body: nested more than 64 levels deep"},
      {R"([1, 2])", kJson, 400, "must be a JSON object"},
      // A still has one frame; keys are read as a --keys file is.
      {R"({"frame": 1})", kJson, 400, "frame must be a whole number from 0 to 0"},
      {R"({"keys": {"lens": {"0": 9}}})", kJson, 422, "keys \"lens\" at frame 0: Lens Type 9 is not one of"},
      {R"({"keys": {"center": {"track": "sun.csv"}}})", kJson, 422, "a track file is read by render only"},
      {"{\"lens\": 1" + std::string(lfweb::kMaxRequestBodyBytes, ' ') + "}", kJson, 413, "too large"},
      // Chunked: refused once past the limit; 64 MiB long before it was all sent.
      {"", kJson, 413, "too large", {}, 2 << 20},
      {"", kJson, 413, "too large", {}, 64 << 20},
      {R"({"lens": 2})", "text/plain", 415, "application/json"},
      {R"({"lens": 2})", kJson, 400, "Preview-Page must be", {{"Preview-Page", "tab one"}}},
      // Other names for this machine's own address pass, and reach the parser.
      {R"({"sparkle": 3})", kJson, 400, "unknown control", {{"Host", "LocalHost:" + port}}},
      {R"({"sparkle": 3})", kJson, 400, "unknown control", {{"Host", "[::1]:" + port}}},
      // A name that resolves here through someone else's DNS, another port, no port.
      {R"({"lens": 2})", kJson, 403, "only at its own address", {{"Host", "rebind.example:" + port}}},
      {R"({"lens": 2})", kJson, 403, "not at Host \"127.0.0.1:1\"", {{"Host", "127.0.0.1:1"}}},
      {R"({"lens": 2})", kJson, 403, "only at its own address", {{"Host", "127.0.0.1"}}},
      // Read two ways by two readers: refused however the first reads.
      {R"({"lens": 2})", kJson, 400, "names its Host more than once",
       {{"Host", "127.0.0.1:" + port}, {"Host", "rebind.example:" + port}}},
      {R"({"lens": 2})", kJson, 400, "names its Host more than once", {{"Host", "127.0.0.1:" + port}, {"Host", "127.0.0.1:" + port}}},
      {R"({"lens": 2})", kJson, 400, "Content-Length headers disagree", {{"Content-Length", "11"}, {"Content-Length", "12"}}},
      {R"({"lens": 2})", kJson, 400, "Content-Length headers disagree", {{"Content-Length", "11, 1"}}},
      {R"({"sparkle": 3})", kJson, 400, "unknown control", {{"Content-Length", "14"}, {"Content-Length", "14"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body.substr(0, 60) + std::to_string(c.chunkedBytes));
    int status = 0;
    std::string body;
    if (c.chunkedBytes) {
      const auto [answer, sent] = PostChunked(server_->port(), c.chunkedBytes);
      status = std::atoi(answer.substr(answer.find(' ') + 1).c_str());
      body = answer.substr(answer.find("\r\n\r\n") + 4);
      // More than the kernel's socket buffers hold: the server stopped reading.
      if (c.chunkedBytes > (16 << 20)) {
        EXPECT_LT(sent, c.chunkedBytes) << "the server read the whole body";
      }
    } else {
      const auto res = client.Post("/api/render", c.headers, c.body, c.type);
      ASSERT_TRUE(res);
      status = res->status;
      body = res->body;
    }
    EXPECT_EQ(status, c.status);
    const json answer = json::parse(body, nullptr, false);
    EXPECT_NE(answer.value("error", "").find(c.message), std::string::npos) << body;
  }
  EXPECT_EQ(server_->scheduler().submitted(), 0u) << "a bad request reached the module";
}

TEST_F(PreviewServerTest, ServesOnlyItsOwnFiles) {
  StartServer();
  auto client = Client();
  const std::pair<const char*, const char*> cases[] = {
      {"/", "text/html; charset=utf-8"},
      {"/app.js", "text/javascript; charset=utf-8"},
      {"/style.css", "text/css; charset=utf-8"},
      {"/favicon.ico", "image/svg+xml"},
      {"/favicon.svg", nullptr},
      {"/index.html", nullptr},
      {"/../../../../etc/passwd", nullptr},
      {"/%2e%2e/%2e%2e/etc/passwd", nullptr},
      {"/%2e%2e%2f%2e%2e%2fetc%2fpasswd", nullptr},
      {"/..%2fCMakeLists.txt", nullptr},
      {"/api/renders/1.png", nullptr},
      {"/api/renders/../controls", nullptr},
  };
  for (const auto& [path, type] : cases) {
    SCOPED_TRACE(path);
    const auto res = client.Get(path);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, type ? 200 : 404);
    EXPECT_EQ(res->get_header_value("Content-Type"), type ? type : "application/json");
    EXPECT_EQ(res->body.find("root:"), std::string::npos);
  }
}

TEST_F(PreviewServerTest, EachPageHasItsOwnLineAndAHangUpCancels) {
  enum Behaviour { kWaits, kHangsUpWaiting, kHangsUpRendering };
  struct Case {
    const char* page;     // the Preview-Page header; "" for none
    Behaviour client;
    const char* status;   // the outcome of request i + 1
    bool renders;         // whether it reached the module
  };
  // Render 1 is held at its start until every request has arrived, so the rest
  // wait in line behind it, in this order.
  const Case cases[] = {
      {"tab-a", kWaits, "cancelled", true},            // by tab A's next request, not by tab B's
      {"tab-b", kWaits, "done", true},
      {"tab-a", kWaits, "superseded", false},          // by tab A's next, which keeps A's place after B
      {"tab-c", kHangsUpWaiting, "cancelled", false},  // leaves the line
      {"tab-a", kWaits, "done", true},
      {"", kWaits, "done", true},
      {"tab-d", kHangsUpRendering, "cancelled", true}, // its abortCheck answers the cancel
  };
  const uint64_t count = std::size(cases);
  std::mutex mutex;
  std::vector<uint64_t> rendered;
  std::map<uint64_t, lfweb::PreviewOutcome> outcomes;
  std::atomic<uint64_t> hangUpRendering{0};
  lfweb::RenderScheduler::Hooks hooks;
  hooks.started = [&](uint64_t id, const lfhost::CancelToken& cancel) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      rendered.push_back(id);
    }
    if (id == 1) WaitFor([&] { return server_->scheduler().submitted() >= count; });
    if (cases[id - 1].client == kHangsUpRendering) {
      hangUpRendering = id;
      WaitFor([&] { return cancel.requested(); });
    }
  };
  hooks.finished = [&](const lfweb::PreviewOutcome& outcome) {
    std::lock_guard<std::mutex> lock(mutex);
    outcomes[outcome.id] = outcome;
  };
  StartServer(std::move(hooks));
  const int port = server_->port();

  std::vector<std::thread> waiting;
  std::pair<int, std::string> answers[std::size(cases)];
  int hangUpSocket = -1;
  for (uint64_t i = 0; i < count; ++i) {
    const Case& c = cases[i];
    const std::string body = R"({"lens":)" + std::to_string(i % 3 + 1) + "}";
    httplib::Headers headers;
    if (*c.page) headers.emplace("Preview-Page", c.page);
    if (c.client == kWaits) {
      waiting.emplace_back([&, i, headers, body] {
        if (auto res = Client().Post("/api/render", headers, body, "application/json")) answers[i] = {res->status, res->body};
      });
    } else {
      hangUpSocket = Connect(port);
      SendAll(hangUpSocket, RenderHead(port, "Preview-Page: " + std::string(c.page) + "\r\nContent-Length: " +
                                                 std::to_string(body.size()) + "\r\n") + body);
    }
    ASSERT_TRUE(WaitFor([&] { return server_->scheduler().submitted() > i; }));
    // The first request is rendering before the others arrive, however slowly
    // the render thread picks it up.
    if (i == 0) {
      ASSERT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return !rendered.empty();
      }));
    }
    if (c.client == kHangsUpWaiting) {
      const size_t before = server_->scheduler().waiting();
      close(hangUpSocket);
      ASSERT_TRUE(WaitFor([&] { return server_->scheduler().waiting() < before; }));
    }
  }
  ASSERT_TRUE(WaitFor([&] { return hangUpRendering != 0; }));
  close(hangUpSocket);
  for (std::thread& t : waiting) t.join();
  ASSERT_TRUE(WaitFor([&] { return server_->scheduler().waiting() == 0 && outcomes.size() == rendered.size(); }));

  std::vector<uint64_t> expectedRendered;
  for (uint64_t i = 0; i < count; ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(i + 1);
    if (c.renders) expectedRendered.push_back(i + 1);
    if (c.client == kWaits) {
      EXPECT_EQ(answers[i].first, std::string(c.status) == "done" ? 200 : 409);
      const json answer = json::parse(answers[i].second, nullptr, false);
      EXPECT_EQ(answer["status"], c.status);
      EXPECT_EQ(answer["id"], i + 1);
    } else if (c.renders) {
      std::lock_guard<std::mutex> lock(mutex);
      EXPECT_EQ(lfweb::StatusName(outcomes[i + 1].status), std::string(c.status));
      EXPECT_EQ(outcomes[i + 1].message, "the client closed the connection");
    }
  }
  EXPECT_EQ(rendered, expectedRendered);
  // The cancelled renders left the module's state whole: nothing leaked or broken.
  EXPECT_EQ(server_->Shutdown(), std::vector<std::string>{});
}

TEST_F(PreviewServerTest, IdleAndSlowClientsDoNotKeepOthersWaiting) {
  // Fewer places than clients, so the answers below need waiting ones to make room.
  StartServer({}, {.maxConnections = 32, .maxPerAddress = 16, .idle = std::chrono::milliseconds(1000),
                   .request = std::chrono::milliseconds(5000)});
  struct Case {
    int count;
    std::string start;     // sent on connecting
    std::string trickle;   // then sent every 250 ms
    std::string answer;    // how the server's answer begins, "" for none before it closes
    const char* from = "127.0.0.1";
    bool reconnects = false;   // connects again whenever closed, to the end
  };
  const Case cases[] = {
      // Hundreds from one address, a header line now and then, back as soon as
      // closed: they displace only their own.
      {400, "GET / HTTP/1.1\r\n", "X-Slow: 1\r\n", "", "127.0.0.2", true},
      {40, "", "", ""},
      {8, "GET /api/controls HTTP/1.1\r\n", "X-Slow: 1\r\n", "HTTP/1.1 408"},
      {4, RenderHead(server_->port(), "Content-Length: 99\r\n") + "{", " ", "HTTP/1.1 408"},
  };
  std::vector<std::pair<int, const Case*>> clients;
  for (const Case& c : cases) {
    for (int i = 0; i < c.count; ++i) {
      clients.emplace_back(Connect(server_->port(), c.from), &c);
      if (!c.start.empty()) SendAll(clients.back().first, c.start);
    }
  }
  // A new page is answered, from either address, while every slow client is
  // still held open (within 1 s a part; before, it got 503 until the slow
  // clients' time was up).
  const std::string page = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server_->port()) +
                           "\r\nConnection: close\r\n\r\n";
  for (const char* from : {"127.0.0.1", "127.0.0.2"}) {
    const int fd = Connect(server_->port(), from);
    SendAll(fd, page);
    const std::string answer = ReadUntilClosed(fd, 1000);
    close(fd);
    EXPECT_EQ(answer.substr(0, 15), "HTTP/1.1 200 OK") << from << ": " << answer.substr(0, 200);
    EXPECT_NE(answer.find("<title>Lens Flare preview</title>"), std::string::npos) << from;
  }
  for (const auto& [fd, c] : clients) {
    pollfd p{fd, POLLIN, 0};
    if (!c->trickle.empty() && !c->reconnects) {
      EXPECT_EQ(poll(&p, 1, 0), 0) << c->start;
    }
  }
  // Each ends with its answer, or none, once its time is up.
  std::vector<std::string> received(clients.size());
  std::vector<bool> ended(clients.size(), false);
  const auto waited = [&] {
    for (size_t i = 0; i < clients.size(); ++i) {
      if (!ended[i] && !clients[i].second->reconnects) return true;
    }
    return false;
  };
  for (int round = 0; round < 40 && waited(); ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    for (size_t i = 0; i < clients.size(); ++i) {
      auto& [fd, c] = clients[i];
      char chunk[512];
      for (ssize_t n; !ended[i] && (n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT)) != -1;) {
        if (n == 0) ended[i] = true;
        received[i].append(chunk, static_cast<size_t>(std::max<ssize_t>(n, 0)));
      }
      if (ended[i] && c->reconnects) {
        close(fd);
        fd = Connect(server_->port(), c->from);
        SendAll(fd, c->start);
        ended[i] = false;
      }
      if (!ended[i] && !c->trickle.empty()) send(fd, c->trickle.data(), c->trickle.size(), MSG_NOSIGNAL);
    }
  }
  for (size_t i = 0; i < clients.size(); ++i) {
    SCOPED_TRACE(clients[i].second->start.substr(0, 30) + " #" + std::to_string(i));
    if (!clients[i].second->reconnects) {
      EXPECT_TRUE(ended[i]);
      EXPECT_EQ(received[i].substr(0, clients[i].second->answer.size()), clients[i].second->answer);
    }
    close(clients[i].first);
  }
}

// The page's picture reads back as the pixels it was made from, whatever its
// size (one stored block or many, rows longer than a block) and alpha.
TEST(PreviewImageTest, PagePictureIsExact) {
  const std::tuple<int32_t, int32_t, bool> sizes[] = {
      {1, 1, true}, {96, 64, true}, {300, 200, true}, {16400, 2, true}, {1, 1, false}, {300, 200, false}};
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("lensflare-page-" + std::to_string(getpid()) + ".png");
  for (const auto& [width, height, varyAlpha] : sizes) {
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + (varyAlpha ? " alpha" : " opaque"));
    const lfhost::ImageBuffer image = lftest::PatternFrame(width, height, 3, varyAlpha);
    std::ofstream(file, std::ios::binary) << lfweb::EncodePagePicture(image);
    EXPECT_TRUE(lftest::SamePixels(lfhost::ReadImage(file.string()), image));
  }
  std::filesystem::remove(file);
}

TEST(PreviewCommandTest, ControlsReadBackExactlyAndArgumentsAreQuoted) {
  const std::pair<Fix16, const char*> numbers[] = {
      {(40 << 16) + 32768, "40.5"}, {1, "0.00002"}, {-(100 << 16), "-100"}, {(1 << 16) / 10 + 1, "0.1"}};
  for (const auto& [value, text] : numbers) EXPECT_EQ(lfhost::Fix16Decimal(value), text) << value;
  // Every command's controls read back, through the tool's own reading, as the
  // values they came from.
  const auto effect = lftest::StartedEffect();
  const lfhost::ControlReader reader(effect->controls());
  int32_t lens = 0;
  for (int64_t v = -(int64_t{1} << 31); v < (int64_t{1} << 31); v += 9973 * 65 + 1) {
    lfhost::ParamValues values = effect->DefaultValues(64, 64);
    values.centerX = values.centerY = static_cast<Fix16>(v);
    values.lensType = lens++ % 3 + 1;
    lfhost::AnimatedControls typed;
    for (const auto& [option, text] : lfhost::ControlArguments(values, effect->controls())) {
      lfcli::AddControlOption(typed, reader, option, text);
    }
    const lfhost::ParamValues read = effect->Resolve(typed.At(0, 64, 64), 64, 64).values();
    ASSERT_EQ(std::tuple(read.centerX, read.centerY, read.brightness, read.lensType, read.blend),
              std::tuple(values.centerX, values.centerY, values.brightness, values.lensType, values.blend));
  }
  const std::pair<const char*, const char*> words[] = {
      {"shots/a-1_b.exr", "shots/a-1_b.exr"}, {"my plate.png", "'my plate.png'"},
      {"it's.png", "'it'\\''s.png'"},         {"$HOME.png", "'$HOME.png'"}, {"", "''"}};
  for (const auto& [text, quoted] : words) EXPECT_EQ(lfweb::ShellQuote(text), quoted);
}

}  // namespace
