// The status page's files, compiled into the program from web/ so that
// qdx-host serves them wherever it is installed.
#pragma once

#include <cstddef>

namespace controller {

struct WebAsset {
  const char* path;  // request path, e.g. "/app.js"
  const char* content_type;
  const unsigned char* data;
  std::size_t size;
};

extern const WebAsset kWebAssets[];
extern const std::size_t kWebAssetCount;

}  // namespace controller
