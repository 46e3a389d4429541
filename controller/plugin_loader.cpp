#include "controller/plugin_loader.h"

#include <dlfcn.h>

#include <cstring>

namespace host {

struct Plugin::Library {
  void* handle = nullptr;
  explicit Library(void* h) : handle(h) {}
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  ~Library() { ::dlclose(handle); }
};

namespace {

std::string LoaderMessage() {
  const char* msg = ::dlerror();
  return msg ? msg : "unknown error";
}

}  // namespace

Plugin Plugin::Load(const std::string& path) {
  ::dlerror();
  // Resolve everything now, so a plug-in that needs a missing framework symbol
  // fails here with the loader's message instead of on first use.
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    throw PluginError("cannot load plug-in " + path + ": " + LoaderMessage());
  }
  auto lib = std::make_shared<Library>(handle);
  ::dlerror();
  void* sym = ::dlsym(handle, "get_providers");
  if (sym == nullptr) {
    throw PluginError("plug-in " + path + " has no entry point get_providers: " + LoaderMessage());
  }
  GetProvidersFn get_providers = nullptr;
  static_assert(sizeof(get_providers) == sizeof(sym), "function and data pointers differ");
  std::memcpy(&get_providers, &sym, sizeof(sym));

  Plugin plugin;
  plugin.path_ = path;
  plugin.lib_ = lib;
  for (std::shared_ptr<Provider>& raw : get_providers()) {
    if (!raw) continue;
    Provider* p = raw.get();
    // The wrapper releases the provider first, then its share of the library.
    plugin.providers_.emplace_back(p, [raw = std::move(raw), lib](Provider*) mutable {
      raw.reset();
      lib.reset();
    });
  }
  return plugin;
}

std::shared_ptr<QDXSPDevice> Plugin::Create(const std::shared_ptr<Provider>& provider) const {
  const auto* factory = dynamic_cast<const QDXSPDeviceProvider*>(provider.get());
  if (factory == nullptr) return nullptr;
  QDXSPDevice* dev = factory->create();
  if (dev == nullptr) return nullptr;
  std::shared_ptr<Library> lib = lib_;
  // Destroyed through the virtual destructor, then the library share dropped.
  return std::shared_ptr<QDXSPDevice>(dev, [lib](QDXSPDevice* d) mutable {
    delete static_cast<QDXVDevice*>(d);
    lib.reset();
  });
}

std::shared_ptr<QDXSPDevice> Plugin::CreateDevice(const std::string& type) const {
  for (const auto& provider : providers_) {
    auto dev = Create(provider);
    if (dev && dev->DeviceType() == type) return dev;
  }
  return nullptr;
}

bool Plugin::IsLoaded(const std::string& path) {
  void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (h == nullptr) return false;
  ::dlclose(h);
  return true;
}

}  // namespace host
