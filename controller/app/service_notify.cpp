#include "controller/app/service_notify.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace controller {

namespace {

constexpr std::chrono::milliseconds kLongestPeriod{1000};
constexpr int kWatchdogShare = 3;    // keep-alives per watchdog interval, at least
constexpr int kStartExtension = 10;  // periods of start time asked for at each tick

std::string StatusLine(const std::string& status) {
  // One line: the manager shows it as it is.
  std::string s = status;
  std::replace(s.begin(), s.end(), '\n', ' ');
  return "STATUS=" + s;
}

}  // namespace

bool ServiceNotifier::Wanted() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  return socket != nullptr && socket[0] != '\0';
}

ServiceNotifier::ServiceNotifier() : period_(kLongestPeriod) {
  std::uint64_t usec = 0;
  // Only when the interval is meant for this process (WATCHDOG_PID).
  watchdog_ = ::sd_watchdog_enabled(0, &usec) > 0 && usec > 0;
  if (watchdog_) {
    const std::chrono::milliseconds share(usec / 1000 / kWatchdogShare);
    period_ = std::max(std::chrono::milliseconds(1), std::min(period_, share));
  }
}

void ServiceNotifier::Tick(bool ready, const std::string& status) {
  std::string msg = StatusLine(status);
  if (watchdog_) msg += "\nWATCHDOG=1";
  if (ready && !ready_) {
    ready_ = true;
    msg += "\nREADY=1";
  } else if (!ready_) {
    const auto usec = std::chrono::microseconds(period_ * kStartExtension).count();
    msg += "\nEXTEND_TIMEOUT_USEC=" + std::to_string(usec);
  }
  ::sd_notify(0, msg.c_str());
}

void ServiceNotifier::Stopping(const std::string& status) {
  ::sd_notify(0, ("STOPPING=1\n" + StatusLine(status)).c_str());
}

}  // namespace controller
