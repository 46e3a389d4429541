// Factories of the second controller framework; defined entirely inline.
#pragma once

#include <memory>
#include <vector>

class QDXVDevice;

class Provider {
 public:
  virtual ~Provider() {}
};

class QDXSPDeviceProvider : public Provider {
 public:
  virtual ~QDXSPDeviceProvider() {}
  virtual QDXVDevice* create() const = 0;
};
