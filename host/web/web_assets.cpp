#include "host/web/web_assets.h"

namespace lfweb {

const WebAsset* FindWebAsset(std::string_view urlPath) {
  for (const WebAsset& asset : WebAssets()) {
    if (asset.urlPath == urlPath) return &asset;
  }
  return nullptr;
}

}  // namespace lfweb
