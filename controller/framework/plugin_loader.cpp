#include "controller/framework/plugin_loader.h"

#include <dlfcn.h>

#include <cstring>

namespace controller {

struct Plugin::Library {
  void* handle_ = nullptr;
  explicit Library(void* h) : handle_(h) {}
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  ~Library() { ::dlclose(handle_); }
};

namespace {

constexpr char kEntryPoint[] = "get_providers";

std::string LoaderMessage() {
  const char* msg = ::dlerror();
  return msg ? msg : "unknown error";
}

// A bare file name means the file in the current directory, as on a command
// line; dlopen alone would search the system library paths for it instead.
std::string LoaderPath(const std::string& path) {
  return path.find('/') == std::string::npos ? "./" + path : path;
}

}  // namespace

Plugin Plugin::Load(const std::string& path) {
  ::dlerror();
  // Resolve everything now, so a plug-in that needs a missing framework symbol
  // fails here with the loader's message instead of on first use.
  void* handle = ::dlopen(LoaderPath(path).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    throw std::runtime_error("cannot load plug-in " + path + ": " + LoaderMessage());
  }
  auto lib = std::make_shared<Library>(handle);
  ::dlerror();
  void* sym = ::dlsym(handle, kEntryPoint);
  if (sym == nullptr) {
    throw std::runtime_error("plug-in " + path + " has no entry point " + kEntryPoint + ": " +
                             LoaderMessage());
  }
  GetProvidersFn get_providers = nullptr;
  static_assert(sizeof(get_providers) == sizeof(sym), "function and data pointers differ");
  std::memcpy(&get_providers, &sym, sizeof(sym));

  // An exception from the plug-in is turned into ours while the library is
  // still mapped: its type and destructor may live in the plug-in's code.
  std::vector<std::shared_ptr<Provider>> found;
  bool failed = true;
  std::string failure = "unknown exception";
  try {
    found = get_providers();
    failed = false;
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
  }
  if (failed) {
    throw std::runtime_error("plug-in " + path + ": " + kEntryPoint + " failed: " + failure);
  }

  Plugin plugin;
  plugin.path_ = path;
  plugin.lib_ = lib;
  for (std::shared_ptr<Provider>& raw : found) {
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
  void* h = ::dlopen(LoaderPath(path).c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (h == nullptr) return false;
  ::dlclose(h);
  return true;
}

}  // namespace controller
