// The preview server over HTTP with the real module: what /api/controls reports,
// that a render is the module's own pixels and its command reproduces them,
// that bad requests get a 4xx and a message, that only the page's files are
// served, and that a newer request cancels the one in flight.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "host/effect_instance.h"
#include "host/image_io.h"
#include "host/web/preview_api.h"
#include "host/web/preview_server.h"
#include "tests/host/module_fixture.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// A small opaque frame with some structure, so the blend and the flare show.
lfhost::ImageBuffer TestFrame(int32_t width, int32_t height) {
  lfhost::ImageBuffer frame(width, height);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      frame.at(x, y, 0) = 255;
      frame.at(x, y, 1) = static_cast<uint8_t>(x * 2);
      frame.at(x, y, 2) = static_cast<uint8_t>(y * 3);
      frame.at(x, y, 3) = 40;
    }
  }
  return frame;
}

std::vector<uint8_t> PixelsOf(const lfhost::ImageBuffer& image) { return image.ToRGBA(); }

class PreviewServerTest : public testing::Test {
 protected:
  static constexpr int32_t kWidth = 96;
  static constexpr int32_t kHeight = 64;

  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("lf_web_" + std::to_string(getpid()) + "_" +
                                        testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }

  void TearDown() override {
    if (server_) server_->Stop();
    if (serving_.joinable()) serving_.join();
    server_.reset();
    fs::remove_all(dir_);
  }

  // Starts a server on a free port of 127.0.0.1 over the test frame, saved as
  // plate.png so the tool can read it again; seed 7 and pixel aspect 2:1 so
  // that both must reach the module.
  void StartServer(lfweb::RenderScheduler::RenderStartHook hook = {}) {
    platePath_ = (dir_ / "plate.png").string();
    lfhost::WriteImage(TestFrame(kWidth, kHeight), platePath_);
    lfweb::PreviewFrame frame;
    frame.image = lfhost::ReadImage(platePath_);
    frame.renderArgs = {platePath_};
    frame.label = "plate.png";
    frame.settings.seed = 7;
    frame.settings.pixelAspectNum = 2;
    frame.settings.pixelAspectDen = 1;
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

  // The module's render of the test frame with `values`, made directly.
  lfhost::ImageBuffer DirectRender(const lfhost::ParamValues& values) const {
    auto effect = lftest::StartedEffect();
    const lfhost::ImageBuffer input = TestFrame(kWidth, kHeight);
    lfhost::ImageBuffer output = input.Clone();
    const lfhost::CommandResult result =
        effect->Render(input, output, values, {.seed = 7, .frame = 0, .pixelAspectNum = 2, .pixelAspectDen = 1});
    EXPECT_TRUE(result.ok()) << lfhost::DescribeResult(result);
    return output;
  }

  lfhost::ImageBuffer DecodePng(const std::string& bytes, const std::string& name) const {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return lfhost::ReadImage(path.string());
  }

  fs::path dir_;
  std::string platePath_;
  std::unique_ptr<lfweb::PreviewServer> server_;
  std::thread serving_;
};

TEST_F(PreviewServerTest, ControlsEndpointReportsTheDeclaredControls) {
  StartServer();
  auto client = Client();
  const auto res = client.Get("/api/controls");
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200);
  const json body = json::parse(res->body);
  EXPECT_EQ(body["frame"], (json{{"width", 96}, {"height", 64}, {"label", "plate.png"}}));
  const json& c = body["controls"];
  ASSERT_EQ(c.size(), 4u);

  EXPECT_EQ(c[0]["key"], "center");
  EXPECT_EQ(c[0]["name"], "Flare Center");
  EXPECT_EQ(c[0]["kind"], "point");
  EXPECT_EQ(c[0]["defaultPercent"], (json{40.0, 40.0}));
  // 40 % of 96 x 64, rounded to 1/65536 of a pixel.
  EXPECT_NEAR(c[0]["default"][0].get<double>(), 38.4, 1.0 / 65536);
  EXPECT_NEAR(c[0]["default"][1].get<double>(), 25.6, 1.0 / 65536);

  EXPECT_EQ(c[1]["key"], "brightness");
  EXPECT_EQ(c[1]["name"], "Flare Brightness");
  EXPECT_EQ(c[1]["kind"], "slider");
  EXPECT_EQ(c[1]["min"], 0.0);
  EXPECT_EQ(c[1]["max"], 300.0);
  EXPECT_EQ(c[1]["sliderMin"], 0.0);
  EXPECT_EQ(c[1]["sliderMax"], 300.0);
  EXPECT_EQ(c[1]["default"], 100.0);
  EXPECT_EQ(c[1]["unit"], "%");

  EXPECT_EQ(c[2]["key"], "lens");
  EXPECT_EQ(c[2]["name"], "Lens Type");
  EXPECT_EQ(c[2]["kind"], "popup");
  EXPECT_EQ(c[2]["default"], 1);
  EXPECT_EQ(c[2]["choices"], (json{{{"value", 1}, {"name", "50-300mm Zoom"}},
                                   {{"value", 2}, {"name", "35mm Prime"}},
                                   {{"value", 3}, {"name", "105mm Prime"}}}));

  EXPECT_EQ(c[3]["key"], "blend");
  EXPECT_EQ(c[3]["name"], "Blend With Original");
  EXPECT_EQ(c[3]["min"], 0.0);
  EXPECT_EQ(c[3]["max"], 100.0);
  EXPECT_EQ(c[3]["default"], 0.0);
  EXPECT_EQ(c[3]["unit"], "%");
}

TEST_F(PreviewServerTest, RenderIsTheModulesOwnPixels) {
  StartServer();
  auto client = Client();
  struct Case {
    const char* body;
    lfhost::ParamValues values;   // what the module must receive
  };
  const Fix16 one = 65536;
  const Case cases[] = {
      // Left-out controls take the declared defaults (centre at 40 %).
      {"{}", {2516582, 1677722, 100.0, 1, 0}},
      {R"({"center":[70,12],"lens":2,"brightness":150,"blend":25})", {70 * one, 12 * one, 150.0, 2, 25 * one}},
      {R"({"center":[10.5,50.25],"lens":3,"brightness":42.5,"blend":0})", {10 * one + one / 2, 50 * one + one / 4, 42.5, 3, 0}},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    const auto res = client.Post("/api/render", c.body, "application/json");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << res->body;
    const json answer = json::parse(res->body);
    EXPECT_EQ(answer["status"], "done");
    EXPECT_EQ(answer["scaled"], false);
    EXPECT_EQ(answer["values"]["lens"], c.values.lensType);
    EXPECT_EQ(answer["values"]["brightness"], c.values.brightness);
    const auto png = client.Get(answer["image"].get<std::string>().c_str());
    ASSERT_TRUE(png);
    ASSERT_EQ(png->status, 200);
    EXPECT_EQ(png->get_header_value("Content-Type"), "image/png");
    const lfhost::ImageBuffer served = DecodePng(png->body, "served" + std::to_string(n++) + ".png");
    ASSERT_EQ(served.width(), kWidth);
    ASSERT_EQ(served.height(), kHeight);
    EXPECT_TRUE(PixelsOf(served) == PixelsOf(DirectRender(c.values)));
    EXPECT_FALSE(PixelsOf(served) == PixelsOf(TestFrame(kWidth, kHeight))) << "no flare drawn";
  }
}

TEST_F(PreviewServerTest, CommandReproducesTheRenderWithTheTool) {
  StartServer();
  auto client = Client();
  const auto res = client.Post("/api/render", R"({"center":[61.25,20],"lens":3,"brightness":180,"blend":10})",
                               "application/json");
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200) << res->body;
  const json answer = json::parse(res->body);
  const std::string command = answer["command"];
  EXPECT_EQ(command, "lensflare render " + platePath_ +
                         " -o flare.png --lens 3 --brightness 180 --center 61.25,20 --blend 10 --par 2:1 --seed 7");
  const auto png = client.Get(answer["image"].get<std::string>().c_str());
  ASSERT_TRUE(png);

  // Run the command as shown, with the tool's real path and a temporary output.
  std::istringstream words(command);
  std::string word, shell;
  while (words >> word) {
    if (word == "lensflare") word = LF_TEST_CLI_PATH;
    if (word == "flare.png") word = (dir_ / "flare.png").string();
    shell += "'" + word + "' ";
  }
  const int status = std::system(shell.c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shell;
  const lfhost::ImageBuffer byTool = lfhost::ReadImage((dir_ / "flare.png").string());
  EXPECT_TRUE(PixelsOf(byTool) == PixelsOf(DecodePng(png->body, "served.png")));
}

TEST_F(PreviewServerTest, ShrunkPreviewAveragesTheFullRender) {
  StartServer();
  auto client = Client();
  const auto res = client.Post("/api/render", R"({"center":[30,30],"maxWidth":48})", "application/json");
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200) << res->body;
  const json answer = json::parse(res->body);
  EXPECT_EQ(answer["scaled"], true);
  EXPECT_EQ(answer["width"], 48);
  EXPECT_EQ(answer["height"], 32);
  const auto png = client.Get(answer["image"].get<std::string>().c_str());
  ASSERT_TRUE(png);
  const lfhost::ImageBuffer small = DecodePng(png->body, "small.png");
  const lfhost::ParamValues values{30 * 65536, 30 * 65536, 100.0, 1, 0};
  const lfhost::ImageBuffer full = DirectRender(values);
  // Half size: every output pixel is the rounded mean of a 2x2 block.
  int mismatches = 0;
  for (int32_t y = 0; y < 32; ++y) {
    for (int32_t x = 0; x < 48; ++x) {
      for (int ch = 0; ch < 4; ++ch) {
        const int sum = full.at(2 * x, 2 * y, ch) + full.at(2 * x + 1, 2 * y, ch) + full.at(2 * x, 2 * y + 1, ch) +
                        full.at(2 * x + 1, 2 * y + 1, ch);
        mismatches += small.at(x, y, ch) != (sum + 2) / 4;
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST_F(PreviewServerTest, BadRequestsGetAFourHundredAndAMessage) {
  StartServer();
  auto client = Client();
  const std::string oversized = "{\"lens\": 1" + std::string(lfweb::kMaxRequestBodyBytes, ' ') + "}";
  struct Case {
    std::string body;
    int status;
    std::string message;   // a part of the error text
  };
  const Case cases[] = {
      {R"({"sparkle": 3})", 400, "unknown control \"sparkle\""},
      {R"({"brightness": 300.5})", 422, "Flare Brightness 300.5 is outside 0 to 300"},
      {R"({"brightness": -1})", 422, "Flare Brightness -1 is outside 0 to 300"},
      {R"({"blend": 100.5})", 422, "Blend With Original 100.5 is outside 0 to 100"},
      {R"({"lens": 4})", 422, "Lens Type 4 is not one of 1 to 3"},
      {R"({"lens": 0})", 422, "Lens Type 0 is not one of 1 to 3"},
      {R"({"lens": 99999999999})", 422, "Lens Type 99999999999 is not one of 1 to 3"},
      {R"({"center": [40000, 0]})", 422, "does not fit a 16.16 number"},
      {R"({"lens": 2.5})", 400, "lens must be a whole number"},
      {R"({"lens": "2"})", 400, "lens must be a whole number"},
      {R"({"brightness": "bright"})", 400, "brightness must be a number"},
      {R"({"blend": true})", 400, "blend must be a number"},
      {R"({"center": [1, 2, 3]})", 400, "center must be [x, y]"},
      {R"({"center": {"x": 1, "y": 2}})", 400, "center must be [x, y]"},
      {R"({"maxWidth": 0})", 400, "maxWidth must be a whole number"},
      {R"({"lens": 2)", 400, "not valid JSON"},
      {"", 400, "not valid JSON"},
      {R"([1, 2])", 400, "must be a JSON object"},
      {oversized, 413, "too large"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body.substr(0, 60));
    const auto res = client.Post("/api/render", c.body, "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, c.status);
    const json answer = json::parse(res->body, nullptr, false);
    ASSERT_TRUE(answer.is_object()) << res->body;
    EXPECT_NE(answer.value("error", "").find(c.message), std::string::npos) << res->body;
  }
  for (const char* type : {"text/plain", "application/x-www-form-urlencoded"}) {
    const auto res = client.Post("/api/render", R"({"lens": 2})", type);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 415) << type;
    EXPECT_NE(res->body.find("application/json"), std::string::npos);
  }
  // Nothing reached the module.
  EXPECT_EQ(server_->scheduler().submitted(), 0u);
}

TEST_F(PreviewServerTest, ServesOnlyItsOwnFiles) {
  StartServer();
  auto client = Client();
  struct Case {
    const char* path;
    int status;
    const char* contentType;
  };
  const Case cases[] = {
      {"/", 200, "text/html; charset=utf-8"},
      {"/app.js", 200, "text/javascript; charset=utf-8"},
      {"/style.css", 200, "text/css; charset=utf-8"},
      {"/index.html", 404, "application/json"},
      {"/../../../../etc/passwd", 404, "application/json"},
      {"/%2e%2e/%2e%2e/etc/passwd", 404, "application/json"},
      {"/%2e%2e%2f%2e%2e%2fetc%2fpasswd", 404, "application/json"},
      {"/..%2fCMakeLists.txt", 404, "application/json"},
      {"/assets/app.js", 404, "application/json"},
      {"/api/renders/1.png", 404, "application/json"},
      {"/api/renders/../controls", 404, "application/json"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const auto res = client.Get(c.path);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, c.status);
    EXPECT_EQ(res->get_header_value("Content-Type"), c.contentType);
    EXPECT_EQ(res->body.find("root:"), std::string::npos);
  }
  const auto page = client.Get("/");
  ASSERT_TRUE(page);
  EXPECT_NE(page->body.find("<title>Lens Flare preview</title>"), std::string::npos);
}

TEST_F(PreviewServerTest, NewerRequestCancelsTheOneInFlight) {
  // Render 1 is held at its start until requests 2 and 3 have arrived: 2 then
  // waits behind it and is replaced by 3, while 1 goes to the module with its
  // cancel already requested and must stop at its first abortCheck.
  std::atomic<bool> firstStarted{false};
  std::atomic<lfweb::PreviewServer*> server{nullptr};
  StartServer([&](uint64_t id) {
    if (id != 1) return;
    firstStarted = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (server.load()->scheduler().submitted() < 3 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  server = server_.get();
  auto waitFor = [](const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  struct Answer {
    int status = 0;
    std::string body;
  };
  Answer answers[3];
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
  first.join();
  second.join();
  third.join();

  const char* const expected[3] = {"cancelled", "superseded", "done"};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i + 1);
    EXPECT_EQ(answers[i].status, i < 2 ? 409 : 200);
    const json answer = json::parse(answers[i].body, nullptr, false);
    EXPECT_EQ(answer["status"], expected[i]);
    EXPECT_EQ(answer["id"], i + 1);
  }
  EXPECT_EQ(json::parse(answers[2].body, nullptr, false)["values"]["lens"], 3);
  // The cancelled render left the module's state whole: nothing leaked or broken.
  EXPECT_EQ(server_->Shutdown(), std::vector<std::string>{});
}

TEST(PreviewCommandTest, NumbersReadBackExactly) {
  struct Case {
    Fix16 value;
    const char* text;
  };
  const Case cases[] = {
      {768 << 16, "768"}, {(40 << 16) + 32768, "40.5"}, {1, "0.00002"}, {-1, "-0.00002"},
      {0, "0"},           {-(100 << 16), "-100"},       {(1 << 16) / 10 + 1, "0.1"},
  };
  for (const Case& c : cases) EXPECT_EQ(lfweb::Fix16Decimal(c.value), c.text) << c.value;
  // Every text reads back, through the tool's rounding, as the value it came from.
  for (int64_t v = -(int64_t{1} << 31); v < (int64_t{1} << 31); v += 9973 * 65 + 1) {
    const Fix16 value = static_cast<Fix16>(v);
    ASSERT_EQ(lfhost::ToFix16(std::strtod(lfweb::Fix16Decimal(value).c_str(), nullptr)), value) << value;
  }
}

TEST(PreviewCommandTest, ArgumentsAreQuotedForTheShell) {
  const std::pair<const char*, const char*> cases[] = {
      {"plate.png", "plate.png"},
      {"shots/a-1_b.exr", "shots/a-1_b.exr"},
      {"my plate.png", "'my plate.png'"},
      {"it's.png", "'it'\\''s.png'"},
      {"$HOME.png", "'$HOME.png'"},
      {"", "''"},
  };
  for (const auto& [text, quoted] : cases) EXPECT_EQ(lfweb::ShellQuote(text), quoted);
}

}  // namespace
