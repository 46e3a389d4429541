// What qdx-host tells a service manager through its notification socket
// (systemd's Type=notify): readiness, a status line, the watchdog's
// keep-alive and the stop. Where no manager listens (no NOTIFY_SOCKET) none
// of this is made.
#pragma once

#include <chrono>
#include <string>

namespace controller {

class ServiceNotifier {
 public:
  // Whether a service manager listens.
  static bool Wanted();

  // Reads the watchdog's interval, if the manager keeps one for this process.
  ServiceNotifier();

  // How often Tick is due: well inside the watchdog's interval.
  std::chrono::milliseconds period() const { return period_; }

  // Called from the poll loop only, so a loop that stops turning stops the
  // keep-alive. Tells readiness once `ready` holds; until then asks for more
  // start time, as the loop turns and only the history is awaited.
  void Tick(bool ready, const std::string& status);

  // The loop has ended: the history's drain and the closing lines follow.
  void Stopping(const std::string& status);

 private:
  bool watchdog_ = false;
  std::chrono::milliseconds period_;
  bool ready_ = false;
};

}  // namespace controller
