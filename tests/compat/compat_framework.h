// The recording side of the second framework's controller: what the driver
// calls is kept in order, so the tests can check the calls and their order.
#pragma once

#include <string>
#include <vector>

#include "host/qdx_device.h"

namespace compat {

using Bytes = std::vector<unsigned char>;

// One framework call made by the driver.
struct Call {
  std::string op;
  std::string id;  // signal or report id
  std::string sub;
  float value = 0.0f;
  long n = 0;  // record type, threshold kind or item count
  Bytes bytes;
};

// Every call since the last clear, oldest first.
extern std::vector<Call> g_calls;

}  // namespace compat
