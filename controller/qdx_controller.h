// The stand-in controller: loads plug-ins, creates and initialises the site's
// devices, and gives each device link its turns from one event loop, storing
// every record.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "controller/event_loop.h"
#include "controller/framework/plugin_loader.h"
#include "controller/history/history_writer.h"
#include "controller/link/capture.h"
#include "controller/link/device_link.h"
#include "controller/site_config.h"
#include "controller/status/status_board.h"
#include "host/qdx_device.h"

namespace controller {

// Why a stored record must not be replayed to a device, or empty when it may
// be: it must carry the device's data id in its first four bytes
// (little-endian) and be at most max_age_s old at now_s (seconds since 1970).
std::string CacheRefusal(const HistoryRow& rec, std::uint32_t data_id, int max_age_s,
                         std::int64_t now_s);

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
  controller::Clock::duration worst_poll_delay() const;
  controller::HistoryStats history_stats() const;

 private:
  // What the loop holds for one link: its port's watch and its wake.
  struct Turns {
    controller::EventLoop::Id watch = 0;
    int fd = -1;
    controller::EventLoop::Id timer = 0;
    controller::Clock::time_point filed = controller::Clock::time_point::max();
    bool reached = false;  // the cycle limit
  };

  // Start-up wiring.
  std::shared_ptr<QDXSPDevice> CreateDevice(const controller::DeviceConfig& cfg);
  void Connect(controller::DeviceLink& link);
  void InstallSinks(controller::DeviceLink& link);
  void WarnUnusedIds(const controller::DeviceLink& link);
  void ReplayCache(controller::DeviceLink& link);

  // The loop.
  void Arrange(std::size_t i, controller::Clock::time_point now);
  void HistoryFailed(const std::string& why);
  void FinishHistory(int stop_fd);
  bool Done() const;
  void PrintSummary() const;

  controller::SiteConfig site_;
  std::string db_path_;
  std::string sim_program_;
  std::unique_ptr<controller::HistoryWriter> history_;
  std::vector<controller::Plugin> plugins_;
  std::vector<std::unique_ptr<controller::DeviceLink>> links_;
  std::shared_ptr<controller::CaptureWriter> capture_;
  bool fatal_ = false;  // the history could not be written
  bool history_reported_ = false;
  bool stopping_ = false;  // the loop has ended: no more turns

  std::unique_ptr<controller::EventLoop> loop_;
  std::vector<Turns> turns_;  // one per link
  controller::RunLimits limits_;
  std::size_t limit_count_ = 0;  // devices that reached the cycle limit
  std::shared_ptr<controller::StatusBoard> board_;
};
