// Factory classes a driver plug-in hands to the controller through get_providers.
// Defined entirely inline: controller and plug-ins compile the same definitions.
#pragma once

#include <memory>
#include <vector>

class QDXSPDevice;

// Common root of every factory, so the controller can keep any kind in one list.
class Provider {
 public:
  virtual ~Provider() {}
};

// Factory of serial-port devices. The returned device belongs to the caller and
// must be destroyed through a QDXVDevice (or derived) pointer.
class QDXSPDeviceProvider : public Provider {
 public:
  virtual ~QDXSPDeviceProvider() {}
  virtual QDXSPDevice* create() const = 0;
};

// Signature of the entry point every plug-in exports under the plain name
// "get_providers".
using GetProvidersFn = std::vector<std::shared_ptr<Provider>> (*)();
