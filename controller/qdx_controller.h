// The stand-in controller: loads plug-ins, creates and initialises the site's
// devices, and drives them from one poll(2) loop, storing every record.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "controller/link/capture.h"
#include "controller/history/history_writer.h"
#include "controller/framework/plugin_loader.h"
#include "controller/link/sim_process.h"
#include "controller/site_config.h"
#include "controller/status/status_board.h"
#include "host/qdx_device.h"

namespace controller {

using Clock = std::chrono::steady_clock;

constexpr int kFirstBackoffMs = 250;
constexpr int kMaxBackoffMs = 8000;

// The wait before the next reopen attempt after one of prev_ms failed.
int NextBackoffMs(int prev_ms);

// Why a stored record must not be replayed to a device, or empty when it may
// be: it must carry the device's data id in its first four bytes
// (little-endian) and be at most max_age_s old at now_s (seconds since 1970).
std::string CacheRefusal(const StoredRecord& rec, std::uint32_t data_id, int max_age_s,
                         std::int64_t now_s);

struct RunLimits {
  long cycles = 0;          // stop after this many ended cycles per device; 0: no limit
  double duration_s = 0.0;  // stop after this many seconds; 0: no limit
};

// Runtime state of one configured device.
struct DeviceSlot {
  DeviceConfig cfg;
  std::shared_ptr<QDXSPDevice> dev;
  std::unique_ptr<SimProcess> sim;
  std::string port_path;
  bool open = false;
  bool cached = false;      // a record from the history is being replayed
  int last_type = 0;        // type of the record published last, for its history row
  long cycles = 0;          // exchanges ended by a reply, a timeout or a lost port
  long records = 0;         // records published
  bool round_done = false;  // the device completed a cycle in the current delivery
  long failures = 0;        // exchanges that ended without a reply
  long late = 0;            // replies that completed after their exchange had timed out
  Clock::time_point next_poll{};
  Clock::time_point sent_at{};  // when the pending poll went out
  Clock::time_point reopen_at{};
  int backoff_ms = kFirstBackoffMs;
  // Loop bookkeeping: when the slot next needs the loop, and the port it watches.
  Clock::time_point due = Clock::time_point::max();
  int watched_fd = -1;
  Clock::time_point idle_since{};  // when the last exchange ended
  std::size_t index = 0;           // in the controller's list
  bool limit_reached = false;
  Clock::time_point babble_said{};  // when "line keeps sending" was last shown
};

// "NAME (data id N)", how every line about a device starts.
std::string Who(const DeviceSlot& slot);

// Milliseconds as "2.5 s".
std::string Seconds(long long ms);

}  // namespace controller

class QDXController : public std::enable_shared_from_this<QDXController> {
 public:
  QDXController(controller::SiteConfig site, std::string db_path, std::string sim_program);
  ~QDXController();
  QDXController(const QDXController&) = delete;
  QDXController& operator=(const QDXController&) = delete;

  // Opens the history, loads the plug-ins, creates, initialises and connects
  // every device, then replays each device's newest stored record. Throws with
  // a message naming the culprit; whatever was started is stopped again.
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

  // Closes ports and destroys devices, then providers and plug-ins, then the
  // simulators, and closes the history last.
  void Shutdown();

  // Figures of the run, also shown in its summary.
  long long records_published() const;
  controller::Clock::duration worst_poll_delay() const { return worst_poll_delay_; }
  controller::HistoryStats history_stats() const;

 private:
  void CreateDevice(controller::DeviceSlot& slot);
  void Connect(controller::DeviceSlot& slot);
  void InstallSinks(controller::DeviceSlot& slot);
  void WarnUnusedIds(const controller::DeviceSlot& slot);
  void CaptureTraffic(controller::DeviceSlot& slot);
  void ReplayCache(controller::DeviceSlot& slot);
  void PollDue(controller::DeviceSlot& slot, controller::Clock::time_point now);
  void DiscardBeforePoll(controller::DeviceSlot& slot, controller::Clock::time_point now);
  void CheckStalled(controller::DeviceSlot& slot);
  void ReadPort(controller::DeviceSlot& slot, short revents);
  void Deliver(controller::DeviceSlot& slot, unsigned char* buf, unsigned int n);
  void LosePort(controller::DeviceSlot& slot, const std::string& why);
  void TryReopen(controller::DeviceSlot& slot, controller::Clock::time_point now);
  void FailCycle(controller::DeviceSlot& slot);
  void Service(controller::DeviceSlot& slot, controller::Clock::time_point now);
  void Schedule(controller::DeviceSlot& slot, controller::Clock::time_point now);
  void Watch(controller::DeviceSlot& slot);
  void HistoryFailed(const std::string& why);
  void FinishHistory(int stop_fd);
  bool Done() const;
  void PrintSummary() const;

  controller::SiteConfig site_;
  std::string db_path_;
  std::string sim_program_;
  std::unique_ptr<controller::HistoryWriter> history_;
  std::vector<controller::Plugin> plugins_;
  std::vector<std::unique_ptr<controller::DeviceSlot>> slots_;
  std::shared_ptr<controller::CaptureWriter> capture_;
  bool fatal_ = false;  // the history could not be written
  bool history_reported_ = false;

  // The loop's state: devices by the time they next need it (earliest first,
  // stale entries skipped), the readiness set of their ports, and how late
  // polls went out against their schedule.
  using DueEntry = std::pair<controller::Clock::time_point, controller::DeviceSlot*>;
  std::vector<DueEntry> due_;
  int epoll_fd_ = -1;
  controller::RunLimits limits_;
  std::size_t limit_count_ = 0;  // devices that reached the cycle limit
  controller::Clock::duration worst_poll_delay_{};
  std::shared_ptr<controller::StatusBoard> board_;
};
