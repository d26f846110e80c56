// The HTTP side of `lensflare serve`: the page's three files and a small JSON API
// over one RenderScheduler.
//
//   GET  /                    the page (also /app.js, /style.css, /favicon.ico;
//                             nothing else)
//   GET  /api/controls        the frame and the module's controls (ControlsJson)
//   POST /api/render          a render request (ParseRenderRequest), for the
//                             page named by the Preview-Page header (kPageHeader;
//                             requests without one share a line); answers
//                               200 {"status":"done", "id", "image", "download"
//                                    (null for a shrunk preview), "command",
//                                    "values", "width", "height", "scaled", ...}
//                               409 {"status":"cancelled"|"superseded", "error"}
//                                   when a newer request from the page took its place
//                               400/422 {"error"} for a refused request
//                               413 for a body over kMaxRequestBodyBytes, however sent,
//                               415 for a body not sent as application/json
//                             A client that hangs up cancels its render.
//   GET  /api/renders/N.png   the picture of render N, as the page shows it: an
//                             exact PNG, stored rather than compressed so that it
//                             is made and sent at once (the latest few are kept)
//   GET  /api/downloads/N.png the full frame of render N as a compressed PNG, the
//                             same pixels (the latest few full frames are kept)
// Every error answer is JSON {"error": message}. A request whose Host is not
// this server's own address (127.0.0.1, localhost, [::1], the bound address or
// the address the connection came in on, with the port) is refused with 403:
// a page elsewhere must not reach the preview through a name that it makes
// resolve to this machine. A request that names its Host twice, or whose
// Content-Length values disagree, is refused with 400.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/core/module_loader.h"
#include "host/core/worker_pool.h"
#include "host/web/http_listener.h"
#include "host/web/preview_frame.h"
#include "host/web/render_scheduler.h"

namespace lfweb {

// The header with which the page names itself: up to 64 letters, digits, '-' or '_'.
inline constexpr const char* kPageHeader = "Preview-Page";

struct ServerOptions {
  std::string bindAddress = "127.0.0.1";
  int port = 0;                       // 0: any free port
  std::string pluginPath;             // named in the command when not the default module
  RenderScheduler::Hooks hooks;
  ConnectionLimits limits;
};

class PreviewServer {
 public:
  // Sets up the effect and binds the socket; throws HostError if either fails.
  PreviewServer(const lfhost::EffectModule& module, lfhost::WorkerPool& pool, PreviewFrame frame,
                ServerOptions options);
  ~PreviewServer();
  PreviewServer(const PreviewServer&) = delete;
  PreviewServer& operator=(const PreviewServer&) = delete;

  int port() const;
  std::string url() const;          // "http://127.0.0.1:8321/"
  RenderScheduler& scheduler();

  // Answers requests until Stop(); returns false if serving failed.
  bool Run();
  // Answers the requests `stream` carries, on this thread, as Run answers a
  // connection's (HttpListener::ServeStream).
  bool Answer(httplib::Stream& stream);
  // Cancels renders, answers waiting requests and makes Run return. Callable
  // from any thread, before, during or after Run.
  void Stop();
  // Stop(), then the effect's setdowns; the module's protocol faults, if any.
  std::vector<std::string> Shutdown();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace lfweb
