// lensflare serve as a user starts it: a frame of a sequence reaches the module
// with its own number and the page's command names that frame; bad options and
// inputs stop it with one line and the usual exit status; SIGTERM stops it
// cleanly.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <OpenImageIO/imagebufalgo.h>

#include "host/media/image_io.h"
#include "host/media/plate_composite.h"
#include "tests/host/media_fixture.h"
#include "tests/host/module_fixture.h"

namespace {

using nlohmann::json;

// The tool running `serve ARGS --port 0` through the shell, which first
// prints its own process id (the tool's, after exec); read until the address.
class ServeProcess {
 public:
  explicit ServeProcess(const std::string& args) {
    out_ = popen(("echo $$; exec " + lftest::ShellQuote(LF_TEST_CLI_PATH) + " serve " + args + " --port 0 2>&1").c_str(),
                 "r");
    char line[512];
    const std::regex address(R"(http://127\.0\.0\.1:(\d+)/)");
    std::cmatch found;
    if (out_ && fgets(line, sizeof line, out_)) pid_ = std::atoi(line);
    while (out_ && fgets(line, sizeof line, out_)) {
      output_ += line;
      if (std::regex_search(line, found, address)) {
        port_ = std::stoi(found[1].str());
        break;
      }
    }
  }
  ~ServeProcess() {
    if (out_) Stop();
  }
  int port() const { return port_; }

  // SIGTERM, then the exit status and everything it printed.
  std::pair<int, std::string> Stop() {
    if (pid_ > 0) kill(pid_, SIGTERM);   // never -1: that would signal every process
    char chunk[256];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, out_)) > 0;) output_.append(chunk, n);
    const int raw = pclose(out_);
    out_ = nullptr;
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, output_};
  }

 private:
  FILE* out_ = nullptr;
  pid_t pid_ = -1;
  int port_ = 0;
  std::string output_;
};

class ServeCliTest : public lftest::MediaTest {
 protected:
  // POSTs a render to the page; its answer, with the PNG it names as `served`.
  json RenderOnPage(const ServeProcess& serve, const std::string& body) {
    httplib::Client client("127.0.0.1", serve.port());
    client.set_read_timeout(20, 0);
    const auto res = client.Post("/api/render", body, "application/json");
    EXPECT_TRUE(res && res->status == 200) << (res ? res->body : "no answer");
    if (!res || res->status != 200) return json();
    const json answer = json::parse(res->body);
    const auto png = client.Get(answer["image"].get<std::string>().c_str());
    EXPECT_TRUE(png);
    if (png) std::ofstream(Path("served.png"), std::ios::binary) << png->body;
    return answer;
  }
  // Runs the page's command as shown, with the tool's path and its output
  // `output` in the test's folder; what it printed.
  std::string RunPageCommand(std::string command, const std::string& output) {
    command.replace(0, std::string("lensflare").size(), lftest::ShellQuote(LF_TEST_CLI_PATH));
    command.replace(command.find(" -o " + output) + 4, output.size(), Path(output));
    const lftest::CliRun run = lftest::RunShell(command + " 2>&1");
    EXPECT_EQ(run.status, 0) << command << "\n" << run.out;
    return run.out;
  }
};

TEST_F(ServeCliTest, SequenceFrameKeepsItsNumber) {
  for (int n = 11; n <= 13; ++n) {
    char name[32];
    std::snprintf(name, sizeof name, "plate.%04d.png", n);
    lfhost::WriteImage(lftest::PatternFrame(64, 48, n), Path(name));
  }
  const std::string pattern = Path("plate.%04d.png");
  ServeProcess serve(lftest::ShellQuote(pattern) + " --frame 12");
  ASSERT_GT(serve.port(), 0);

  // The 105mm lens draws rays from rand(), seeded with the frame's number.
  const json answer = RenderOnPage(serve, R"({"lens":3,"center":[20,15]})");
  EXPECT_EQ(answer["command"], "lensflare render " + pattern +
                                   " --frames 12 -o flare.%04d.png --lens 105mm --brightness 100 --center 20,15 --blend 0 --par 1:1");
  const lfhost::ImageBuffer served = lfhost::ReadImage(Path("served.png"));
  const lfhost::ImageBuffer plate = lftest::PatternFrame(64, 48, 12);
  const lfhost::ParamValues values{20 * 65536, 15 * 65536, 100.0, 3, 0};
  auto renderAs = [&](int64_t frame) {
    auto effect = lftest::StartedEffect();
    lfhost::ImageBuffer out = plate.Clone();
    EXPECT_TRUE(effect->Render(plate, out, effect->Check(values), {.frame = frame}).ok());
    return out;
  };
  EXPECT_TRUE(lftest::SamePixels(served, renderAs(12)));
  EXPECT_FALSE(lftest::SamePixels(served, renderAs(0))) << "the frame number did not reach the rays";

  // The command as shown writes the same pixels as frame 12 of a one-frame sequence.
  RunPageCommand(answer["command"], "flare.%04d.png");
  EXPECT_TRUE(lftest::SamePixels(lfhost::ReadImage(Path("flare.0012.png")), served));

  // Another frame with keys: the keyed control is left to the keys file, and
  // the keys interpolate as render's do; the file written back reads the same.
  httplib::Client client("127.0.0.1", serve.port());
  client.set_read_timeout(20, 0);
  const std::string keys = R"({"brightness":{"11":{"value":50,"ease":"hold"},"13":150}})";
  const auto other = client.Post("/api/render", R"({"frame":12,"lens":3,"keys":)" + keys + "}", "application/json");
  ASSERT_TRUE(other);
  ASSERT_EQ(other->status, 200) << other->body;
  const json keyed = json::parse(other->body);
  EXPECT_EQ(keyed["values"]["brightness"], 50.0);
  EXPECT_EQ(keyed["command"], "lensflare render " + pattern +
                                  " --frames 12 -o flare.%04d.png --keys keys.json --lens 105mm --center 25.6,19.2 --blend 0 --par 1:1");
  const auto written = client.Post("/api/keys", keys, "application/json");
  ASSERT_TRUE(written);
  EXPECT_EQ(written->body, "{\n  \"brightness\": {\n    \"11\": {\"value\": 50, \"ease\": \"hold\"},\n    \"13\": 150\n  }\n}\n");
  // A light is tracked through every frame of the sequence, from any of them.
  const auto tracked = client.Post("/api/track", R"({"from":[7,25],"frame":12})", "application/json");
  ASSERT_TRUE(tracked);
  ASSERT_EQ(tracked->status, 200) << tracked->body;
  EXPECT_EQ(json::parse(tracked->body)["center"].size(), 3u);

  const auto [status, output] = serve.Stop();
  EXPECT_EQ(status, 0);
  EXPECT_NE(output.find("Stopped."), std::string::npos) << output;
}

// A plate is shown as the render command writes it: a half-float one rendered
// onto at its depth and shown converted to sRGB at 8 bits, one whose header
// states a pixel aspect rendered at that aspect. The page's command names the
// aspect; render without --par takes the same one from the header, and both
// say so.
TEST_F(ServeCliTest, PlateIsShownAsTheRenderCommandWritesIt) {
  struct Case {
    std::string make;     // oiiotool's arguments that make the plate, before -o
    std::string plate, output, body;
    std::string par;      // in the page's command
    std::string note;     // on stderr, from serve and from render without --par
  };
  const Case cases[] = {
      {"--pattern fill:topleft=0.05,0.1,0.2:bottomright=2.5,1.2,0.4 64x48 3 -d half", "plate.exr", "flare.exr",
       R"({"lens":2,"center":[20,15],"blend":30})", "1:1", ""},
      {"--pattern checker:color1=0.2,0.5,0.1:color2=0.9,0.3,0.6 64x48 3 -d uint8 --attrib PixelAspectRatio 0.88",
       "plate.png", "flare.png", R"({"lens":3,"center":[20,15]})", "22:25",
       "lensflare: note: pixel aspect 22:25 (0.88) from the header of "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.plate);
    lftest::RunTool("oiiotool " + c.make + " -o " + lftest::ShellQuote(Path(c.plate)));
    ServeProcess serve(lftest::ShellQuote(Path(c.plate)));
    ASSERT_GT(serve.port(), 0);
    const json answer = RenderOnPage(serve, c.body);
    const std::string command = answer["command"];
    EXPECT_NE(command.find(" --par " + c.par), std::string::npos) << command;
    const std::string note = c.note.empty() ? "lensflare: note:" : c.note + Path(c.plate) + "; --par sets another\n";
    EXPECT_EQ(RunPageCommand(command, c.output).find("note:"), std::string::npos);
    // The same command without --par: the header's aspect, said.
    std::string unstated = command;
    unstated.erase(unstated.find(" --par "), 7 + c.par.size());
    unstated.replace(unstated.find(" -o " + c.output) + 4, c.output.size(), "again." + c.output);
    const std::string said = RunPageCommand(unstated, "again." + c.output);
    EXPECT_EQ(said.find(note) != std::string::npos, !c.note.empty()) << said;

    const lfhost::Plate written = lfhost::ReadPlate(Path(c.output));
    const OIIO::TypeDesc depth = written.image().spec().format;
    EXPECT_EQ(depth, c.plate == "plate.exr" ? OIIO::TypeDesc::HALF : OIIO::TypeDesc::UINT8);
    const lfhost::ImageBuffer shown =
        depth == OIIO::TypeDesc::HALF
            ? lfhost::PlateForDisplay(written.image(), lfhost::PlateLook::For(depth, std::nullopt, ""))
            : lfhost::ReadImage(Path(c.output));
    EXPECT_TRUE(lftest::SamePixels(lfhost::ReadImage(Path("served.png")), shown));
    EXPECT_TRUE(lftest::SamePixels(lfhost::ReadImage(Path(c.output)), lfhost::ReadImage(Path("again." + c.output))));
    const auto [status, output] = serve.Stop();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(output.find(note) != std::string::npos, !c.note.empty()) << output;
  }
}

TEST_F(ServeCliTest, BadStartsSayWhatIsWrong) {
  lfhost::WriteImage(lftest::PatternFrame(8, 8, 0), Path("plate.png"));
  lfhost::WriteImage(lftest::PatternFrame(8, 8, 1), Path("shot.0001.png"));
  // A port that is taken: held by a plain listening socket of this test.
  const int held = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(held, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(held, 1), 0);
  socklen_t length = sizeof address;
  getsockname(held, reinterpret_cast<sockaddr*>(&address), &length);
  const std::string takenPort = std::to_string(ntohs(address.sin_port));
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string message;
  };
  std::vector<char> png = lftest::FileBytes(Path("plate.png"));
  std::ofstream(Path("cut.png"), std::ios::binary).write(png.data(), static_cast<std::streamsize>(png.size() / 2));
  const Case cases[] = {
      {{"serve", "--frame", "3"}, 2, "--frame: the built-in frame is a single image"},
      {{"serve", Path("cut.png"), "--port", "0"}, 1, "cut.png: cannot read the image"},
      {{"serve", Path("plate.png"), "--frame", "1"}, 2, "is a single image, not a sequence or video"},
      {{"serve", Path("shot.%04d.png"), "--frame", "7", "--port", "0"}, 2, "--frame 7: not a frame of"},
      {{"serve", "--port", "65536"}, 2, "--port: 65536 is outside 0 to 65535"},
      {{"serve", Path("missing.png"), "--port", "0"}, 1, "missing.png: no such file"},
      {{"serve", "--port", takenPort}, 1, "cannot listen on 127.0.0.1:" + takenPort},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1]);
    const lftest::CliRun run = lftest::RunCli(c.args, dir_ / "run");
    EXPECT_EQ(run.status, c.status);
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }
  close(held);
}

}  // namespace
