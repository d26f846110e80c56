// The preview page's files, compiled into the program from host/web/assets. The
// server answers static requests from this table alone: a request path either
// equals one of these entries or gets a 404, so no request can reach the disk.
#pragma once

#include <span>
#include <string_view>

namespace lfweb {

struct WebAsset {
  std::string_view urlPath;       // "/", "/app.js", "/style.css", "/favicon.ico"
  std::string_view contentType;
  std::string_view body;
};

std::span<const WebAsset> WebAssets();

// The asset served at exactly `urlPath`, or null.
const WebAsset* FindWebAsset(std::string_view urlPath);

}  // namespace lfweb
