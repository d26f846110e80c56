#include "host/web/preview_server.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <deque>
#include <mutex>
#include <optional>
#include <string_view>
#include <variant>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "host/core/cancel_token.h"
#include "host/core/host_error.h"
#include "host/core/lowercase.h"
#include "host/media/keys_file.h"
#include "host/track/shot_tracker.h"
#include "host/track/track_keys.h"
#include "host/web/preview_api.h"
#include "host/web/preview_image.h"
#include "host/web/web_assets.h"

namespace lfweb {
namespace {

using nlohmann::json;

// Pictures kept for GET /api/renders/N.png: the page fetches each result right
// after it is announced.
constexpr size_t kKeptRenders = 6;
// Full frames kept for GET /api/downloads/N.png, the page's download link: a
// drag's shrunk previews never push out the frame on screen before it.
constexpr size_t kKeptDownloads = 4;

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

// An address as a Host header names it: IPv6 in brackets, an IPv4 address that
// reached an IPv6 socket without its "::ffff:" prefix.
std::string HostName(const std::string& address) {
  if (address.rfind("::ffff:", 0) == 0 && address.find('.') != std::string::npos) return address.substr(7);
  return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

// Sends `bytes` as they are kept, without the copy set_content would make: a
// page picture is megabytes, and copying it was a good part of answering.
void SendKept(httplib::Response& res, std::shared_ptr<const std::string> bytes, const char* type) {
  res.set_header("Cache-Control", "no-store");
  const size_t length = bytes->size();
  res.set_content_provider(length, type, [bytes = std::move(bytes)](size_t offset, size_t size, httplib::DataSink& sink) {
    return sink.write(bytes->data() + offset, size);
  });
}

std::string Trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return "";
  return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

// What makes a request's head ambiguous, or nothing: a second Host, or
// Content-Length values that disagree (RFC 9112 sections 3.2 and 6.3). Two
// readers of such a request, this server and a proxy before it, could each
// take a different host or a different end of the body.
std::optional<std::string> AmbiguousHead(const httplib::Request& req) {
  if (req.get_header_value_count("Host") > 1) return "the request names its Host more than once";
  std::optional<std::string> length;
  for (auto [at, end] = req.headers.equal_range("Content-Length"); at != end; ++at) {
    // A header may also carry a comma-separated list of lengths.
    for (std::string_view values = at->second;;) {
      const size_t comma = values.find(',');
      const std::string value = Trimmed(values.substr(0, comma));
      if (length && value != *length) return "the request's Content-Length headers disagree";
      length = value;
      if (comma == std::string_view::npos) break;
      values.remove_prefix(comma + 1);
    }
  }
  return std::nullopt;
}

struct KeptRender {
  uint64_t id;
  std::shared_ptr<const std::string> png;
};

// A full frame, packed for keeping when first downloaded.
struct KeptDownload {
  uint64_t id;
  std::shared_ptr<const lfhost::ImageBuffer> image;
  std::shared_ptr<std::once_flag> packing = std::make_shared<std::once_flag>();
  std::shared_ptr<std::string> png = std::make_shared<std::string>();
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
  void HandleDownload(const httplib::Request& req, httplib::Response& res);
  void Keep(uint64_t id, std::shared_ptr<const std::string> png, std::shared_ptr<const lfhost::ImageBuffer> full);

  ServerOptions options;
  CommandContext command;
  RenderScheduler scheduler;
  HttpListener http;
  int port = 0;
  std::mutex keptMutex;
  std::deque<KeptRender> kept;
  std::deque<KeptDownload> downloads;
  lfhost::CancelToken stopTracking;   // requested by Stop()
};

FrameSpan PreviewServer::Impl::Frames() const {
  const PreviewFrame& frame = scheduler.frame();
  if (frame.timeline) return {frame.timeline->first, frame.timeline->last};
  return {frame.settings.frame, frame.settings.frame};
}

void PreviewServer::Impl::Keep(uint64_t id, std::shared_ptr<const std::string> png,
                               std::shared_ptr<const lfhost::ImageBuffer> full) {
  std::lock_guard<std::mutex> lock(keptMutex);
  kept.push_back({id, std::move(png)});
  while (kept.size() > kKeptRenders) kept.pop_front();
  if (!full) return;
  downloads.push_back({id, std::move(full)});
  while (downloads.size() > kKeptDownloads) downloads.pop_front();
}

bool PreviewServer::Impl::AddressedToUs(const httplib::Request& req) const {
  const std::string host = lfhost::Lowercase(req.get_header_value("Host"));
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
  const RenderRequest request =
      ParseRenderRequest(*body, scheduler.controls(), frame.image.width(), frame.image.height(), Frames());
  if (request.values.exposure() != 0 && !frame.sceneLinear()) {
    throw lfhost::UsageError(std::string("exposure: ") + lfhost::kExposureNeedsLinear + "; this frame holds integer samples");
  }
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
    png = EncodePagePicture(small);
  } else {
    png = EncodePagePicture(*outcome.image);
  }
  Keep(outcome.id, std::make_shared<const std::string>(std::move(png)), scaled ? nullptr : outcome.image);
  const auto encoded = std::chrono::steady_clock::now();
  using Ms = std::chrono::duration<double, std::milli>;
  const std::string id = std::to_string(outcome.id);
  SendJson(res, 200,
           json{{"status", "done"},
                {"id", outcome.id},
                {"image", "/api/renders/" + id + ".png"},
                {"download", scaled ? json() : json("/api/downloads/" + id + ".png")},
                {"width", width},
                {"height", height},
                {"scaled", scaled},
                {"values", ValuesJson(outcome.values, outcome.exposure)},
                {"frame", outcome.frame},
                {"command", ReproduceCommand(outcome.values, scheduler.controls(), command,
                                             frame.timeline ? std::optional(outcome.frame) : std::nullopt, &request.keys,
                                             outcome.exposure)},
                {"renderMs", Ms(rendered - started).count()},
                {"encodeMs", Ms(encoded - rendered).count()}});
}

void PreviewServer::Impl::HandleKeys(const httplib::Request& req, httplib::Response& res,
                                     const httplib::ContentReader& read) {
  const std::optional<json> doc = ReadJson(req, res, read);
  if (!doc) return;
  const PreviewFrame& frame = scheduler.frame();
  const lfhost::CheckedControls keys(ParseKeys(*doc, scheduler.controls()), scheduler.controls(), frame.image.width(),
                                     frame.image.height());
  res.set_header("Cache-Control", "no-store");
  res.set_content(lftrack::KeysJson(keys.animated()), "application/json");
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
  SendKept(res, std::move(png), "image/png");
}

void PreviewServer::Impl::HandleDownload(const httplib::Request& req, httplib::Response& res) {
  const std::string& digits = req.matches[1].str();
  uint64_t id = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), id);
  std::optional<KeptDownload> found;
  if (ec == std::errc() && end == digits.data() + digits.size()) {
    std::lock_guard<std::mutex> lock(keptMutex);
    for (const KeptDownload& k : downloads) {
      if (k.id == id) found = k;
    }
  }
  if (!found) {
    SendError(res, 404, "render " + digits + " is not kept for download (only the latest few full frames are)");
    return;
  }
  // Packed once, by the first request for it; another waits for that one.
  std::call_once(*found->packing, [&] { *found->png = EncodeDownloadPng(*found->image); });
  SendKept(res, found->png, "image/png");
}

void PreviewServer::Impl::Routes() {
  http.set_payload_max_length(kMaxRequestBodyBytes);
  http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (const std::optional<std::string> ambiguity = AmbiguousHead(req)) {
      HttpListener::CloseAfterAnswer(res);
      SendError(res, 400, *ambiguity);
      return httplib::Server::HandlerResponse::Handled;
    }
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
  http.Get(R"(/api/downloads/(\d{1,19})\.png)",
           [this](const httplib::Request& req, httplib::Response& res) { HandleDownload(req, res); });
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
  // Every handler's refusals end here: a request that is not one is 400, a
  // value refused 422; anything else is the server's fault.
  http.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr error) {
    std::string what = "unknown error";
    try {
      if (error) std::rethrow_exception(error);
    } catch (const lfhost::HostError& e) {
      if (e.kind() == lfhost::ErrorKind::Malformed) return SendError(res, 400, e.what());
      if (e.kind() == lfhost::ErrorKind::Usage) return SendError(res, 422, e.what());
      what = e.what();
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
