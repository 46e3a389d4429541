// The status line the service manager shows of the devices.
#include <cstdio>

#include "controller/app/qdx_controller.h"

namespace {

using controller::Clock;

std::string Age(Clock::duration d) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f s", std::chrono::duration<double>(d).count());
  return text;
}

}  // namespace

namespace controller {

std::string ServiceStatus(const std::vector<std::unique_ptr<DeviceLink>>& links,
                          Clock::time_point newest_record, bool ready) {
  std::size_t ok = 0;
  for (const auto& link : links) ok += link->link_state() == LinkState::kOk;
  std::string s =
      std::to_string(links.size()) + (links.size() == 1 ? " device, " : " devices, ") +
      std::to_string(ok) + " ok, newest record " +
      (newest_record == Clock::time_point::min() ? std::string("none yet")
                                                 : Age(Clock::now() - newest_record) + " ago");
  if (!ready) s = "waiting for the history to take writes; " + s;
  return s;
}

}  // namespace controller
