// Loads driver plug-ins the way the controller does: by path, through the
// plain entry point "get_providers".
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/qdx_device.h"
#include "host/qdx_provider.h"

namespace controller {

// A loaded plug-in. Providers and devices handed out hold a share of the
// library, so it is unloaded only after the last of them (whose destructors
// live in the plug-in) is gone, whatever the order of release.
class Plugin {
 public:
  // Throws std::runtime_error naming the path and the loader's message when the file
  // is missing, is not a shared object or lacks the entry point, and when the
  // entry point throws. A path without a slash names a file in the current
  // directory.
  static Plugin Load(const std::string& path);

  const std::string& path() const { return path_; }
  const std::vector<std::shared_ptr<Provider>>& providers() const { return providers_; }

  // A new device from one of this plug-in's serial-device providers.
  std::shared_ptr<QDXSPDevice> Create(const std::shared_ptr<Provider>& provider) const;

  // A new device of the given type from the first provider that makes it, or
  // nullptr when no provider of this plug-in does.
  std::shared_ptr<QDXSPDevice> CreateDevice(const std::string& type) const;

  // Whether the library is still mapped; for tests of the unload order.
  static bool IsLoaded(const std::string& path);

 private:
  struct Library;
  std::string path_;
  std::shared_ptr<Library> lib_;
  std::vector<std::shared_ptr<Provider>> providers_;
};

}  // namespace controller
