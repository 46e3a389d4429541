// What the controller knows about each device right now, kept for readers on
// other threads (the HTTP server), and a bounded stream of the changes.
//
// The poll loop only ever takes one short lock here: it copies a record or a
// value in and, while someone listens, appends one formatted event to a ring.
// Readers copy what they need out under the same lock and format without it.
// A listener that falls a whole ring behind is dropped instead of slowing the
// loop down.
#pragma once

#include <boost/optional.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "controller/common/device_name.h"
#include "controller/common/link_state.h"
#include "host/qdx_device.h"

namespace controller {

struct AlarmInfo {
  std::string signal_id;
  bool configured = false;  // a threshold is set in the device's settings
  bool active = false;
  float value = 0.0f;  // last value checked against it
  float threshold = 0.0f;
  float hysteresis = 0.0f;
  bool low = false;
  int level = 0;
  std::int64_t changed_ms = 0;  // when it was last raised or cleared; 0: never
};

struct ReportInfo {
  float value = 0.0f;
  std::int64_t time_ms = 0;
};

struct DeviceStatus {
  std::string name;
  std::string type;
  std::string port;
  std::uint32_t data_id = 0;
  int poll_interval_ms = 0;
  LinkState link = LinkState::kOk;  // as the device's link last told it
  std::int64_t link_ms = 0;         // when the link state last changed
  LinkCounters counters;            // as the device's link last told them
  int record_type = 0;
  std::vector<unsigned char> record;  // the last published record; empty before the first
  bool replayed = false;              // it was replayed from the history
  std::int64_t record_ms = 0;         // when it was published
  // The first record of the running utility failure; 0: none, or unknown.
  std::int64_t on_battery_ms = 0;
  std::map<std::string, AlarmInfo> alarms;    // by signal id
  std::map<std::string, ReportInfo> reports;  // by report id
  std::string history = "ok";                 // the history's state (HistoryStateName)
};

class StatusBoard;

// One listener's place in the event stream. Destroying it unsubscribes.
class EventSubscription {
 public:
  enum class Result { kEvents, kIdle, kEnded, kDropped };

  // Waits up to timeout for events after the last ones taken and appends
  // their text to out; oldest, when given, receives when the first of them was
  // emitted. kDropped: the listener fell too far behind; kEnded: the stream
  // was closed.
  Result Wait(std::chrono::milliseconds timeout, std::string& out,
              std::chrono::steady_clock::time_point* oldest = nullptr);
  // Counts this listener as dropped, for a reason of the reader's own (it
  // stopped taking what it was sent).
  void Dropped();

  ~EventSubscription();
  EventSubscription(const EventSubscription&) = delete;
  EventSubscription& operator=(const EventSubscription&) = delete;

 private:
  friend class StatusBoard;
  EventSubscription(std::shared_ptr<StatusBoard> board, std::uint64_t next)
      : board_(std::move(board)), next_(next) {}
  std::shared_ptr<StatusBoard> board_;
  std::uint64_t next_;
};

class StatusBoard : public std::enable_shared_from_this<StatusBoard> {
 public:
  static constexpr std::size_t kDefaultEventCapacity = 4096;
  static constexpr std::size_t kDefaultMaxSubscribers = 32;

  explicit StatusBoard(std::size_t event_capacity = kDefaultEventCapacity,
                       std::size_t max_subscribers = kDefaultMaxSubscribers);

  // Called by the poll loop. Devices are numbered in the order they are added.
  // The link state and counters are the device link's, as they stand after
  // the record or the change; the board keeps a copy for readers.
  void AddDevice(const DeviceName& device, int poll_interval_ms, const std::string& port,
                 const QDXVDevice& dev);
  void Record(std::size_t i, int type, const unsigned char* data, unsigned int len, bool replayed,
              LinkState link, const LinkCounters& counters);
  void Alarm(std::size_t i, const rule_value& item, bool raised);
  void Report(std::size_t i, const std::string& report_id, float value);
  // Anything else the link tells: a failure, a missed poll, a lost or reopened
  // port. Sends an event even when the state stays, since the counters moved.
  void Link(std::size_t i, LinkState link, const LinkCounters& counters, const std::string& port);
  // The state of the history every device's records go to; any thread.
  void SetHistory(const std::string& state);
  // The file they go to when it is not the one given at start (empty: that
  // one), so that answers read what is being stored; any thread.
  void SetHistoryPath(const std::string& path);
  std::string history_path() const;
  // An event of the event log, as its JSON; any thread.
  void LogEvent(const std::string& json);
  // One record dropped from the history's full queue; any thread.
  void HistoryDropped();

  // Any thread.
  std::vector<DeviceStatus> Snapshot() const;
  boost::optional<DeviceStatus> Find(const std::string& name) const;
  std::size_t max_subscribers() const { return max_subscribers_; }
  // Null when the stream is closed or max_subscribers listen already.
  std::unique_ptr<EventSubscription> Subscribe();
  // Ends every subscription; later ones are refused.
  void CloseEvents();
  std::size_t subscribers() const;
  long dropped() const;  // listeners dropped for falling behind or not reading
  // More metrics text from elsewhere (the notification targets); before serving.
  void SetExtraMetrics(std::function<std::string()> f) { extra_metrics_ = std::move(f); }
  std::string ExtraMetrics() const { return extra_metrics_ ? extra_metrics_() : std::string(); }
  // The targets' counters as JSON (GET /api/notify); before serving.
  void SetNotifyJson(std::function<std::string()> f) { notify_json_ = std::move(f); }
  std::string NotifyJson() const { return notify_json_ ? notify_json_() : "{\"targets\":[]}"; }
  long long history_dropped() const;
  // The events whose repeats the event log counts in one row (GET /api/log,
  // so that the page counts live ones alike); before serving.
  void SetLogRepeats(std::vector<std::string> events) { log_repeats_ = std::move(events); }
  const std::vector<std::string>& log_repeats() const { return log_repeats_; }

 private:
  friend class EventSubscription;
  std::vector<std::string> log_repeats_;
  std::function<std::string()> extra_metrics_;
  std::function<std::string()> notify_json_;
  static void SetLink(DeviceStatus& d, LinkState link, std::int64_t now_ms);
  // One event about a device, while someone listens: who it is, then what fill
  // writes; mu_ is held.
  template <typename Fill>
  void EmitAbout(const char* kind, const DeviceStatus& d, Fill fill);
  // Formats and appends one event; mu_ is held.
  void Emit(const char* kind, const std::string& data);

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<DeviceStatus> devices_;
  std::vector<std::shared_ptr<const std::string>> ring_;
  std::vector<std::chrono::steady_clock::time_point> ring_times_;  // when each was emitted
  std::uint64_t head_ = 0;                                         // number of the next event
  std::size_t subscribers_ = 0;
  std::size_t max_subscribers_;
  long dropped_ = 0;
  bool closed_ = false;
  std::string history_ = "ok";
  std::string history_path_;
  long long history_dropped_ = 0;
};

}  // namespace controller
