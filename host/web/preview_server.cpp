#include "host/web/preview_server.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <deque>
#include <mutex>
#include <optional>
#include <variant>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "host/core/cancel_token.h"
#include "host/core/host_error.h"
#include "host/media/keys_file.h"
#include "host/track/shot_tracker.h"
#include "host/track/track_keys.h"
#include "host/web/preview_api.h"
#include "host/web/preview_image.h"
#include "host/web/web_assets.h"

namespace lfweb {
namespace {

using nlohmann::json;

// zlib levels: a shrunk drag preview is thrown away within moments, so it is
// packed fast; a full frame is what the user downloads, packed a little harder.
constexpr int kPreviewPngLevel = 1;
constexpr int kFullPngLevel = 3;
// Rendered PNGs kept for GET /api/renders/N.png: the page fetches each result
// right after it is announced, and the newest full frame backs the download link.
constexpr size_t kKeptRenders = 6;

std::string Dump(const json& value) {
  // Replacement characters rather than an exception for a request path or file
  // name that is not UTF-8.
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

void SendJson(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(Dump(body), "application/json");
}

void SendError(httplib::Response& res, int status, const std::string& message) {
  SendJson(res, status, json{{"error", message}});
}

std::string DefaultMessage(int status) {
  switch (status) {
    case 400: return "malformed request";
    case 408: return "the request did not arrive in time";
    case 404: return "not found";
    case 405: return "method not allowed";
    case 413: return "request body too large (at most " + std::to_string(kMaxRequestBodyBytes) + " bytes)";
    case 414: return "request line too long";
    default: return "HTTP error " + std::to_string(status);
  }
}

// The page's id from kPageHeader ("" when there is none), or nothing when it
// is not a plain short token.
std::optional<std::string> PageOf(const httplib::Request& req) {
  std::string page = req.get_header_value(kPageHeader);
  const bool plain = page.size() <= 64 && std::all_of(page.begin(), page.end(), [](unsigned char c) {
                       return std::isalnum(c) || c == '-' || c == '_';
                     });
  if (!plain) return std::nullopt;
  return page;
}

std::string Lowercase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// An address as a Host header names it: IPv6 in brackets, an IPv4 address that
// reached an IPv6 socket without its "::ffff:" prefix.
std::string HostName(const std::string& address) {
  if (address.rfind("::ffff:", 0) == 0 && address.find('.') != std::string::npos) return address.substr(7);
  return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

struct KeptRender {
  uint64_t id;
  std::shared_ptr<const std::string> png;
};

}  // namespace

struct PreviewServer::Impl {
  Impl(const lfhost::EffectModule& module, lfhost::WorkerPool& pool, PreviewFrame frame, ServerOptions o)
      : options(std::move(o)),
        command{frame.renderArgs, frame.outputName, frame.settings, options.pluginPath},
        scheduler(module, pool, std::move(frame), options.hooks),
        http(options.limits) {}

  void Routes();
  bool AddressedToUs(const httplib::Request& req) const;
  std::optional<std::string> ReadBody(const httplib::Request& req, httplib::Response& res,
                                      const httplib::ContentReader& read);
  std::optional<json> ReadJson(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& read);
  void HandleRender(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& read);
  void HandleKeys(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& read);
  void HandleTrack(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& read);
  FrameSpan Frames() const;
  void HandleKeptRender(const httplib::Request& req, httplib::Response& res);
  void Keep(uint64_t id, std::shared_ptr<const std::string> png);

  ServerOptions options;
  CommandContext command;
  RenderScheduler scheduler;
  HttpListener http;
  int port = 0;
  std::mutex keptMutex;
  std::deque<KeptRender> kept;
  lfhost::CancelToken stopTracking;   // requested by Stop()
};

FrameSpan PreviewServer::Impl::Frames() const {
  const PreviewFrame& frame = scheduler.frame();
  if (frame.timeline) return {frame.timeline->first, frame.timeline->last};
  return {frame.settings.frame, frame.settings.frame};
}

void PreviewServer::Impl::Keep(uint64_t id, std::shared_ptr<const std::string> png) {
  std::lock_guard<std::mutex> lock(keptMutex);
  kept.push_back({id, std::move(png)});
  while (kept.size() > kKeptRenders) kept.pop_front();
}

bool PreviewServer::Impl::AddressedToUs(const httplib::Request& req) const {
  const std::string host = Lowercase(req.get_header_value("Host"));
  const std::string portSuffix = ":" + std::to_string(port);
  for (const std::string& name : {std::string("127.0.0.1"), std::string("localhost"), std::string("[::1]"),
                                  HostName(options.bindAddress), HostName(req.local_addr)}) {
    if (host == name + portSuffix || (port == 80 && host == name)) return true;
  }
  return false;
}

// The request's body, or nothing once an error has been answered.
std::optional<std::string> PreviewServer::Impl::ReadBody(const httplib::Request& req, httplib::Response& res,
                                                         const httplib::ContentReader& read) {
  // Only JSON: a web page elsewhere cannot send that type to us without a CORS
  // preflight, which this server never grants, so other sites cannot drive it.
  const std::string type = req.get_header_value("Content-Type");
  if (type.rfind("application/json", 0) != 0) {
    HttpListener::CloseAfterAnswer(res);
    SendError(res, 415, "send the request as Content-Type: application/json");
    return std::nullopt;
  }
  // The body as decoded (chunked or compressed alike), refused as soon as it
  // passes the limit rather than held whole first.
  std::string body;
  bool tooLarge = false;
  const bool whole = read([&](const char* data, size_t length) {
    tooLarge = body.size() + length > kMaxRequestBodyBytes;
    if (!tooLarge) body.append(data, length);
    return !tooLarge;
  });
  if (!whole) {
    HttpListener::CloseAfterAnswer(res);
    const HttpListener::ReadFault fault = HttpListener::CurrentReadFault();
    const int status = tooLarge || res.status == 413 || fault == HttpListener::ReadFault::kTooLarge ? 413
                       : fault == HttpListener::ReadFault::kTimedOut                                ? 408
                                                                                                    : 400;
    SendError(res, status, status == 400 ? "the request body could not be read" : DefaultMessage(status));
    return std::nullopt;
  }
  return body;
}

std::optional<json> PreviewServer::Impl::ReadJson(const httplib::Request& req, httplib::Response& res,
                                                  const httplib::ContentReader& read) {
  const std::optional<std::string> body = ReadBody(req, res, read);
  if (!body) return std::nullopt;
  json doc;
  try {
    doc = lfhost::ParseBoundedJson(*body, "the request body");
  } catch (const lfhost::HostError& e) {
    SendError(res, 400, e.what());
    return std::nullopt;
  }
  if (doc.is_discarded()) {
    SendError(res, 400, "the request body is not valid JSON");
    return std::nullopt;
  }
  return doc;
}

void PreviewServer::Impl::HandleRender(const httplib::Request& req, httplib::Response& res,
                                       const httplib::ContentReader& read) {
  const std::optional<std::string> body = ReadBody(req, res, read);
  if (!body) return;
  const std::optional<std::string> page = PageOf(req);
  if (!page) {
    SendError(res, 400, std::string(kPageHeader) + " must be at most 64 letters, digits, '-' or '_'");
    return;
  }
  const PreviewFrame& frame = scheduler.frame();
  auto parsed = ParseRenderRequest(*body, scheduler.controls(), frame.image.width(), frame.image.height(), Frames());
  if (const ApiError* error = std::get_if<ApiError>(&parsed)) {
    SendError(res, error->status, error->message);
    return;
  }
  const RenderRequest& request = std::get<RenderRequest>(parsed);
  const auto started = std::chrono::steady_clock::now();
  const PreviewOutcome outcome = scheduler.Render(*page, request.values, request.frame, HttpListener::ClientHungUp);
  const auto rendered = std::chrono::steady_clock::now();
  switch (outcome.status) {
    case PreviewOutcome::Status::kDone:
      break;
    case PreviewOutcome::Status::kCancelled:
    case PreviewOutcome::Status::kSuperseded:
      SendJson(res, 409, json{{"status", StatusName(outcome.status)}, {"id", outcome.id}, {"error", outcome.message}});
      return;
    case PreviewOutcome::Status::kFailed:
      SendJson(res, 500, json{{"status", "failed"}, {"id", outcome.id}, {"error", outcome.message}});
      return;
  }
  const bool scaled = request.maxWidth && *request.maxWidth < outcome.image->width();
  std::string png;
  int32_t width = outcome.image->width();
  int32_t height = outcome.image->height();
  if (scaled) {
    const lfhost::ImageBuffer small = ShrinkToWidth(*outcome.image, *request.maxWidth);
    width = small.width();
    height = small.height();
    png = EncodePng(small, kPreviewPngLevel);
  } else {
    png = EncodePng(*outcome.image, kFullPngLevel);
  }
  Keep(outcome.id, std::make_shared<const std::string>(std::move(png)));
  const auto encoded = std::chrono::steady_clock::now();
  using Ms = std::chrono::duration<double, std::milli>;
  SendJson(res, 200,
           json{{"status", "done"},
                {"id", outcome.id},
                {"image", "/api/renders/" + std::to_string(outcome.id) + ".png"},
                {"width", width},
                {"height", height},
                {"scaled", scaled},
                {"values", ValuesJson(outcome.values)},
                {"frame", outcome.frame},
                {"command", ReproduceCommand(outcome.values, scheduler.controls(), command,
                                             frame.timeline ? std::optional(outcome.frame) : std::nullopt, &request.keys)},
                {"renderMs", Ms(rendered - started).count()},
                {"encodeMs", Ms(encoded - rendered).count()}});
}

void PreviewServer::Impl::HandleKeys(const httplib::Request& req, httplib::Response& res,
                                     const httplib::ContentReader& read) {
  const std::optional<json> doc = ReadJson(req, res, read);
  if (!doc) return;
  auto keys = ParseKeys(*doc, scheduler.controls());
  if (const ApiError* error = std::get_if<ApiError>(&keys)) return SendError(res, error->status, error->message);
  const PreviewFrame& frame = scheduler.frame();
  const auto& parsed = std::get<lfhost::AnimatedControls>(keys);
  if (auto error = lfhost::CheckAnimatedControls(parsed, scheduler.controls(), frame.image.width(), frame.image.height())) {
    return SendError(res, 422, *error);
  }
  res.set_header("Cache-Control", "no-store");
  res.set_content(lftrack::KeysJson(parsed), "application/json");
}

void PreviewServer::Impl::HandleTrack(const httplib::Request& req, httplib::Response& res,
                                      const httplib::ContentReader& read) {
  const std::optional<json> doc = ReadJson(req, res, read);
  if (!doc) return;
  const PreviewFrame& frame = scheduler.frame();
  if (!frame.timeline) return SendError(res, 422, "a light is tracked through a sequence or video, not one image");
  const FrameSpan span = Frames();
  const json& from = doc->value("from", json());
  const json& at = doc->value("frame", json());
  if (!from.is_array() || from.size() != 2 || !from[0].is_number() || !from[1].is_number() ||
      !at.is_number_integer() || at.get<int64_t>() < span.first || at.get<int64_t>() > span.last) {
    return SendError(res, 400, "a track request is {\"from\": [x, y], \"frame\": n} with n from " +
                                   std::to_string(span.first) + " to " + std::to_string(span.last));
  }
  std::optional<lftrack::ShotTrack> shot;
  try {
    const std::unique_ptr<lfhost::FrameSource> source = frame.timeline->open(span.first, span.last);
    shot = lftrack::TrackShot(*source, {{from[0].get<double>(), from[1].get<double>()}, at.get<int64_t>(), 32, false,
                                        &stopTracking, nullptr});
  } catch (const lfhost::HostError& e) {
    return SendError(res, 422, e.what());
  }
  if (!shot) return SendError(res, 409, "tracking was cancelled");
  lfhost::AnimatedControls keys;
  keys.center = lftrack::CenterKeys(shot->frames, shot->centres);
  json lost = json::array();
  for (size_t i = 0; i < shot->seen.size(); ++i) {
    if (!shot->seen[i]) lost.push_back(shot->frames[i]);
  }
  // The centre as the keys file writes it, so the page holds what a download gives.
  SendJson(res, 200, json{{"center", json::parse(lftrack::KeysJson(keys))["center"]}, {"lost", lost}});
}

void PreviewServer::Impl::HandleKeptRender(const httplib::Request& req, httplib::Response& res) {
  const std::string& digits = req.matches[1].str();
  uint64_t id = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), id);
  std::shared_ptr<const std::string> png;
  if (ec == std::errc() && end == digits.data() + digits.size()) {
    std::lock_guard<std::mutex> lock(keptMutex);
    for (const KeptRender& k : kept) {
      if (k.id == id) png = k.png;
    }
  }
  if (!png) {
    SendError(res, 404, "render " + digits + " is not kept (only the latest few are)");
    return;
  }
  res.set_header("Cache-Control", "no-store");
  res.set_content(*png, "image/png");
}

void PreviewServer::Impl::Routes() {
  http.set_payload_max_length(kMaxRequestBodyBytes);
  http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (AddressedToUs(req)) return httplib::Server::HandlerResponse::Unhandled;
    HttpListener::CloseAfterAnswer(res);
    SendError(res, 403,
              "this preview answers only at its own address, such as http://127.0.0.1:" + std::to_string(port) +
                  "/, not at Host \"" + req.get_header_value("Host") + "\"");
    return httplib::Server::HandlerResponse::Handled;
  });
  http.set_default_headers({
      {"X-Content-Type-Options", "nosniff"},
      {"Referrer-Policy", "no-referrer"},
      {"Content-Security-Policy",
       "default-src 'self'; img-src 'self' blob: data:; object-src 'none'; base-uri 'none'; frame-ancestors 'none'"},
  });
  http.Get("/api/controls", [this](const httplib::Request&, httplib::Response& res) {
    json body = ControlsJson(scheduler.controls(), scheduler.frame());
    const lfhost::ParamValues defaults = lfhost::DefaultParamValues(
        scheduler.controls(), scheduler.frame().image.width(), scheduler.frame().image.height());
    const PreviewFrame& frame = scheduler.frame();
    body["command"] = ReproduceCommand(defaults, scheduler.controls(), command,
                                       frame.timeline ? std::optional(frame.settings.frame) : std::nullopt);
    SendJson(res, 200, body);
  });
  // Every method that carries a body goes to a handler that reads it within the
  // limit or not at all; the library would otherwise read any body whole
  // before routing.
  http.Post(".*", [this](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& read) {
    if (req.path == "/api/render") return HandleRender(req, res, read);
    if (req.path == "/api/keys") return HandleKeys(req, res, read);
    if (req.path == "/api/track") return HandleTrack(req, res, read);
    HttpListener::CloseAfterAnswer(res);
    SendError(res, 404, "not found");
  });
  const auto refuseBody = [](const httplib::Request&, httplib::Response& res, const httplib::ContentReader&) {
    HttpListener::CloseAfterAnswer(res);
    SendError(res, 405, "method not allowed");
  };
  http.Put(".*", refuseBody);
  http.Patch(".*", refuseBody);
  http.Delete(".*", refuseBody);
  http.Get(R"(/api/renders/(\d{1,19})\.png)",
           [this](const httplib::Request& req, httplib::Response& res) { HandleKeptRender(req, res); });
  // Static files: only exact paths from the compiled-in table, so "/../x",
  // "/%2e%2e/x" or any other path simply is not found.
  http.Get(".*", [](const httplib::Request& req, httplib::Response& res) {
    const WebAsset* asset = FindWebAsset(req.path);
    if (!asset) {
      SendError(res, 404, "not found");
      return;
    }
    res.set_header("Cache-Control", "no-cache");
    res.set_content(std::string(asset->body), std::string(asset->contentType).c_str());
  });
  http.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (!res.body.empty()) return;
    // The library answers 400 for any request it could not read; say why.
    switch (HttpListener::CurrentReadFault()) {
      case HttpListener::ReadFault::kTooLarge: res.status = 413; break;
      case HttpListener::ReadFault::kTimedOut: res.status = 408; break;
      case HttpListener::ReadFault::kNone: break;
    }
    SendError(res, res.status, DefaultMessage(res.status));
  });
  http.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr error) {
    std::string what = "unknown error";
    try {
      if (error) std::rethrow_exception(error);
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
    }
    SendError(res, 500, "internal error: " + what);
  });
}

PreviewServer::PreviewServer(const lfhost::EffectModule& module, lfhost::WorkerPool& pool, PreviewFrame frame,
                             ServerOptions options)
    : impl_(std::make_unique<Impl>(module, pool, std::move(frame), std::move(options))) {
  impl_->Routes();
  // The HTTP library's default also sets SO_REUSEPORT, which would let a second
  // preview bind the same port and split the page's requests between the two;
  // SO_REUSEADDR alone keeps quick restarts working and refuses a port in use.
  impl_->http.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  });
  const std::string& address = impl_->options.bindAddress;
  if (impl_->options.port == 0) {
    impl_->port = impl_->http.bind_to_any_port(address);
    if (impl_->port <= 0) throw lfhost::HostError("cannot listen on " + address + ": no free port or bad address");
  } else {
    if (!impl_->http.bind_to_port(address, impl_->options.port)) {
      throw lfhost::HostError("cannot listen on " + address + ":" + std::to_string(impl_->options.port) +
                              " (in use or bad address; --port 0 picks a free port)");
    }
    impl_->port = impl_->options.port;
  }
}

PreviewServer::~PreviewServer() { Stop(); }

std::vector<std::string> PreviewServer::Shutdown() {
  Stop();
  return impl_->scheduler.Shutdown();
}

int PreviewServer::port() const { return impl_->port; }

std::string PreviewServer::url() const {
  const std::string& address = impl_->options.bindAddress;
  const std::string host = address.find(':') != std::string::npos ? "[" + address + "]" : address;
  return "http://" + host + ":" + std::to_string(impl_->port) + "/";
}

RenderScheduler& PreviewServer::scheduler() { return impl_->scheduler; }

bool PreviewServer::Run() { return impl_->http.Serve(); }

bool PreviewServer::Answer(httplib::Stream& stream) { return impl_->http.ServeStream(stream); }

void PreviewServer::Stop() {
  // Requests waiting on a render or a track are answered first, so that their
  // connections are free to end.
  impl_->stopTracking.Request();
  impl_->scheduler.Stop();
  impl_->http.Halt();
}

}  // namespace lfweb
