// How a device is named wherever it is spoken of: in lines on the terminal,
// on the status board and in the summary.
#pragma once

#include <cstdint>
#include <string>

namespace controller {

// What qdx-host's own events name as their device.
constexpr char kOwnEventDevice[] = "qdx-host";

// The site file's name for a device, its type and its data id.
struct DeviceName {
  std::string name;
  std::string type;
  std::uint32_t data_id = 0;
};

// "NAME (data id N)", how every line about a device names it.
inline std::string Who(const std::string& name, std::uint32_t data_id) {
  return name + " (data id " + std::to_string(data_id) + ")";
}
inline std::string Who(const DeviceName& d) { return Who(d.name, d.data_id); }

}  // namespace controller
