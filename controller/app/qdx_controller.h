// The stand-in controller: loads plug-ins, creates and initialises the site's
// devices, and gives each device link its turns from one event loop, storing
// every record.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "controller/app/event_loop.h"
#include "controller/app/notify_observer.h"
#include "controller/app/service_notify.h"
#include "controller/capture/capture.h"
#include "controller/config/site_config.h"
#include "controller/framework/plugin_loader.h"
#include "controller/history/history_writer.h"
#include "controller/link/device_link.h"
#include "controller/link/link_observer.h"
#include "controller/notify/notifier.h"
#include "controller/status/status_board.h"
#include "host/qdx_device.h"

namespace controller {

// Why a stored record must not be replayed to a device, or empty when it may
// be: it must carry the device's data id in its first four bytes
// (little-endian) and be at most max_age_s old at now_s (seconds since 1970).
std::string CacheRefusal(const HistoryRow& rec, std::uint32_t data_id, int max_age_s,
                         std::int64_t now_s);

// The service manager's status line: devices, how many are ok, the newest
// record's age; first the wait for the history while it is not ready.
std::string ServiceStatus(const std::vector<std::unique_ptr<DeviceLink>>& links,
                          Clock::time_point newest_record, bool ready);

struct RunLimits {
  long cycles = 0;          // stop after this many ended cycles per device; 0: no limit
  double duration_s = 0.0;  // stop after this many seconds; 0: no limit
};

}  // namespace controller

class QDXController : public std::enable_shared_from_this<QDXController> {
 public:
  QDXController(controller::SiteConfig site, std::string db_path, std::string sim_program);
  ~QDXController();
  QDXController(const QDXController&) = delete;
  QDXController& operator=(const QDXController&) = delete;

  // Loads the plug-ins, creates, initialises and connects every device, then
  // opens the history and replays each device's newest stored record. Throws
  // with a message naming the culprit; whatever was started is stopped again.
  // Simulators are only handed to the starter thread here: Run opens their
  // ports once they are up, and ends the run as a failed start if one is not.
  void Start();

  // Runs the loop until the limits are reached or stop_fd becomes readable.
  // Returns the process exit status.
  int Run(const controller::RunLimits& limits, int stop_fd);

  // Writes every chunk each device sends and receives to path from now on;
  // before Start(), so that a capture that cannot be written stops the start
  // before the history is opened. Throws controller::CaptureError when the file
  // cannot be written.
  void StartCapture(const std::string& path);

  // Shares every device's state with readers on other threads; before Start.
  void SetStatusBoard(std::shared_ptr<controller::StatusBoard> board) { board_ = std::move(board); }

  // Tells a service manager readiness, status and the keep-alive from the
  // loop, and makes SIGHUP harmless; before Run.
  void SetService(std::shared_ptr<controller::ServiceNotifier> s) { service_ = std::move(s); }

  // Leaves out the lines each poll makes (TerminalObserver); before Start.
  void QuietPolls(bool on) { per_poll_lines_ = !on; }

  // Closes ports and destroys devices, then providers and plug-ins, then the
  // simulators, and closes the history last.
  void Shutdown();

  // Figures of the run, also shown in its summary.
  long long records_published() const;
  controller::Clock::duration worst_poll_delay() const;
  controller::HistoryStats history_stats() const;

 private:
  // What the loop holds for one link: its port's watch and its wake.
  struct Turns {
    controller::EventLoop::Id watch = 0;
    int fd = -1;
    bool output = false;  // the watch includes room for output
    controller::EventLoop::Id timer = 0;
    controller::Clock::time_point filed = controller::Clock::time_point::max();
    bool reached = false;  // the cycle limit
  };

  // Start-up wiring.
  std::shared_ptr<QDXSPDevice> CreateDevice(const controller::DeviceConfig& cfg);
  void Connect(controller::DeviceLink& link);
  void SayOn(controller::DeviceLink& link);
  void MakeObservers();
  void WarnUnusedIds(const controller::DeviceLink& link);
  void ReplayCache(controller::DeviceLink& link);

  // The loop.
  void WatchInputs(int stop_fd, bool* stop);
  void Arrange(std::size_t i, controller::Clock::time_point now);
  void SimulatorsDone(controller::Clock::time_point now);
  void DropUnusedHistory();
  void HistoryFailed(const std::string& why);
  void FinishHistory(int stop_fd);
  bool DrainWatched(controller::Clock::time_point deadline, int stop_fd);
  bool Done() const;
  void PrintSummary() const;

  // The service manager's share of the loop.
  void ServiceTick();

  controller::SiteConfig site_;
  std::string db_path_;
  std::string sim_program_;
  std::unique_ptr<controller::HistoryWriter> history_;
  std::vector<controller::Plugin> plugins_;
  std::vector<std::unique_ptr<controller::DeviceLink>> links_;
  std::shared_ptr<controller::CaptureWriter> capture_;
  std::vector<std::unique_ptr<controller::LinkObserver>> observers_;  // of every link
  bool fatal_ = false;                                                // the loop cannot go on
  bool history_failed_ = false;  // records were not stored: the run fails at its end
  bool history_reported_ = false;
  controller::EventLoop::Id history_watch_ = 0;   // the writer's alert
  bool stopping_ = false;                         // the loop has ended: no more turns
  bool start_failed_ = false;                     // a simulator's first start failed
  controller::Clock::time_point began_{};         // the first poll slot, which late links join
  std::shared_ptr<controller::Wakeup> sim_wake_;  // a simulator start is done

  std::unique_ptr<controller::EventLoop> loop_;
  std::vector<Turns> turns_;  // one per link
  controller::RunLimits limits_;
  std::size_t limit_count_ = 0;  // devices that reached the cycle limit
  std::shared_ptr<controller::StatusBoard> board_;
  std::unique_ptr<controller::Notifier> notifier_;  // events to the terminal and targets
  std::shared_ptr<controller::HistoryGauge> history_gauge_ =
      std::make_shared<controller::HistoryGauge>();
  bool per_poll_lines_ = true;
  std::shared_ptr<controller::ServiceNotifier> service_;
  controller::Clock::time_point newest_record_ = controller::Clock::time_point::min();
};
