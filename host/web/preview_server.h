// The HTTP side of `lensflare serve`: the page's three files and a small JSON API
// over one RenderScheduler.
//
//   GET  /                    the page (also /app.js, /style.css; nothing else)
//   GET  /api/controls        the frame and the module's controls (ControlsJson)
//   POST /api/render          a render request (ParseRenderRequest); answers
//                               200 {"status":"done", "id", "image", "command",
//                                    "values", "width", "height", "scaled", ...}
//                               409 {"status":"cancelled"|"superseded", "error"}
//                                   when a newer request took its place
//                               400/422 {"error"} for a refused request
//                               413 for a body over kMaxRequestBodyBytes,
//                               415 for a body not sent as application/json
//   GET  /api/renders/N.png   the PNG of render N (the latest few are kept)
// Every error answer is JSON {"error": message}.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/module_loader.h"
#include "host/web/preview_frame.h"
#include "host/web/render_scheduler.h"
#include "host/worker_pool.h"

namespace lfweb {

struct ServerOptions {
  std::string bindAddress = "127.0.0.1";
  int port = 0;                       // 0: any free port
  std::string pluginPath;             // named in the command when not the default module
  RenderScheduler::RenderStartHook onRenderStart;
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
