// The service manager's share of the loop: a timer of its own, so the
// keep-alive stops with the loop, and a status line of the devices.
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

void QDXController::ServiceTick() {
  // Ready once the history took a write: every port opened and the page
  // listens before the loop starts.
  const bool ready = history_ && history_->writable();
  service_->Tick(ready, ServiceStatus(ready));
  loop_->At(Clock::now() + service_->period(), [this] {
    if (!fatal_ && !stopping_) ServiceTick();
  });
}

std::string QDXController::ServiceStatus(bool ready) const {
  std::size_t ok = 0;
  for (const auto& link : links_) ok += link->link_state() == controller::LinkState::kOk;
  std::string s =
      std::to_string(links_.size()) + (links_.size() == 1 ? " device, " : " devices, ") +
      std::to_string(ok) + " ok, newest record " +
      (newest_record_ == Clock::time_point::min() ? std::string("none yet")
                                                  : Age(Clock::now() - newest_record_) + " ago");
  if (!ready) s = "waiting for the history to take writes; " + s;
  return s;
}
