// The preview server over HTTP with the real module: what /api/controls reports,
// that a render is the module's own pixels and its command names them,
// that bad requests get a 4xx and a message, that only the page's files are
// served, and that a newer request cancels the one in flight.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <fstream>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "host/effect_instance.h"
#include "host/image_io.h"
#include "host/web/preview_api.h"
#include "host/web/preview_server.h"
#include "tests/host/media_fixture.h"
#include "tests/host/module_fixture.h"

namespace {

using nlohmann::json;

constexpr int32_t kWidth = 96;
constexpr int32_t kHeight = 64;

class PreviewServerTest : public lftest::MediaTest {
 protected:
  void TearDown() override {
    if (server_) server_->Stop();
    if (serving_.joinable()) serving_.join();
    MediaTest::TearDown();
  }

  // A server on a free port over a frame saved as plate.png, so the tool can
  // read it again; seed 7 and pixel aspect 2:1 so that both must reach the module.
  void StartServer(lfweb::RenderScheduler::RenderStartHook hook = {}) {
    lfhost::WriteImage(lftest::PatternFrame(kWidth, kHeight, 1), Path("plate.png"));
    lfweb::PreviewFrame frame;
    frame.image = lfhost::ReadImage(Path("plate.png"));
    frame.renderArgs = {Path("plate.png")};
    frame.label = "plate.png";
    frame.settings = {.seed = 7, .pixelAspectNum = 2, .pixelAspectDen = 1};
    lfweb::ServerOptions options;
    options.onRenderStart = std::move(hook);
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
  EXPECT_EQ(body["frame"], (json{{"width", 96}, {"height", 64}, {"label", "plate.png"}}));
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
  EXPECT_TRUE(effect->Render(input, full, values, {.seed = 7, .pixelAspectNum = 2, .pixelAspectDen = 1}).ok());
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
       false, " -o flare.png --lens 3 --brightness 180 --center 61.25,20 --blend 10 --par 2:1 --seed 7"},
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
  struct Case {
    std::string body;
    const char* type;
    int status;
    std::string message;   // a part of the error text
  };
  const Case cases[] = {
      {R"({"sparkle": 3})", kJson, 400, "unknown control \"sparkle\""},
      {R"({"brightness": 300.5})", kJson, 422, "Flare Brightness 300.5 is outside 0 to 300"},
      {R"({"blend": -1})", kJson, 422, "Blend With Original -1 is outside 0 to 100"},
      {R"({"lens": 0})", kJson, 422, "Lens Type 0 is not one of 1 to 3"},
      {R"({"lens": 99999999999})", kJson, 422, "Lens Type 99999999999 is not one of 1 to 3"},
      {R"({"center": [40000, 0]})", kJson, 422, "does not fit a 16.16 number"},
      {R"({"lens": "2"})", kJson, 400, "lens must be a whole number"},
      {R"({"brightness": true})", kJson, 400, "brightness must be a number"},
      {R"({"center": {"x": 1, "y": 2}})", kJson, 400, "center must be [x, y]"},
      {R"({"maxWidth": 0})", kJson, 400, "maxWidth must be a whole number"},
      {R"({"lens": 2)", kJson, 400, "not valid JSON"},
      {R"([1, 2])", kJson, 400, "must be a JSON object"},
      {"{\"lens\": 1" + std::string(lfweb::kMaxRequestBodyBytes, ' ') + "}", kJson, 413, "too large"},
      {R"({"lens": 2})", "text/plain", 415, "application/json"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body.substr(0, 60));
    const auto res = client.Post("/api/render", c.body, c.type);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, c.status);
    const json answer = json::parse(res->body, nullptr, false);
    EXPECT_NE(answer.value("error", "").find(c.message), std::string::npos) << res->body;
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

TEST_F(PreviewServerTest, NewerRequestCancelsTheOneInFlight) {
  // Render 1 is held at its start until requests 2 and 3 have arrived: 2 then
  // waits behind it and is replaced by 3, while 1 goes to the module with its
  // cancel already requested and must stop at its first abortCheck.
  auto waitFor = [](const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  std::atomic<bool> firstStarted{false};
  std::atomic<lfweb::PreviewServer*> server{nullptr};
  StartServer([&](uint64_t id) {
    if (id != 1) return;
    firstStarted = true;
    waitFor([&] { return server.load()->scheduler().submitted() >= 3; });
  });
  server = server_.get();
  std::pair<int, std::string> answers[3];
  auto post = [&](int i, const char* body) {
    return std::thread([&, i, body] {
      if (auto res = Client().Post("/api/render", body, "application/json")) answers[i] = {res->status, res->body};
    });
  };
  std::thread first = post(0, R"({"lens":1})");
  waitFor([&] { return firstStarted.load(); });
  std::thread second = post(1, R"({"lens":2})");
  waitFor([&] { return server_->scheduler().submitted() >= 2; });
  std::thread third = post(2, R"({"lens":3})");
  for (std::thread* t : {&first, &second, &third}) t->join();

  const char* const expected[3] = {"cancelled", "superseded", "done"};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i + 1);
    EXPECT_EQ(answers[i].first, i < 2 ? 409 : 200);
    const json answer = json::parse(answers[i].second, nullptr, false);
    EXPECT_EQ(answer["status"], expected[i]);
    EXPECT_EQ(answer["id"], i + 1);
  }
  // The cancelled render left the module's state whole: nothing leaked or broken.
  EXPECT_EQ(server_->Shutdown(), std::vector<std::string>{});
}

TEST(PreviewCommandTest, NumbersReadBackExactlyAndArgumentsAreQuoted) {
  const std::pair<Fix16, const char*> numbers[] = {
      {(40 << 16) + 32768, "40.5"}, {1, "0.00002"}, {-(100 << 16), "-100"}, {(1 << 16) / 10 + 1, "0.1"}};
  for (const auto& [value, text] : numbers) EXPECT_EQ(lfweb::Fix16Decimal(value), text) << value;
  // Every text reads back, through the tool's rounding, as the value it came from.
  for (int64_t v = -(int64_t{1} << 31); v < (int64_t{1} << 31); v += 9973 * 65 + 1) {
    const Fix16 value = static_cast<Fix16>(v);
    ASSERT_EQ(lfhost::ToFix16(std::strtod(lfweb::Fix16Decimal(value).c_str(), nullptr)), value) << value;
  }
  const std::pair<const char*, const char*> words[] = {
      {"shots/a-1_b.exr", "shots/a-1_b.exr"}, {"my plate.png", "'my plate.png'"},
      {"it's.png", "'it'\\''s.png'"},         {"$HOME.png", "'$HOME.png'"}, {"", "''"}};
  for (const auto& [text, quoted] : words) EXPECT_EQ(lfweb::ShellQuote(text), quoted);
}

}  // namespace
