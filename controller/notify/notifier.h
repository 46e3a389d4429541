// Hands events to the site's targets without ever holding up polling or the
// history: each target has a bounded queue drained by a thread of its own,
// delivering in order and retrying a webhook with back-off. A stop gives them
// kNotifyStopLimit, shared by all; what is not delivered by then is "left".
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "controller/notify/delivery.h"
#include "controller/notify/event_kinds.h"
#include "controller/notify/notify_config.h"
#include "controller/notify/notify_event.h"
#include "controller/notify/target_policy.h"

namespace controller {

constexpr std::size_t kNotifyQueueRoom = 1000;
constexpr auto kNotifyStopLimit = std::chrono::seconds(5);

struct NotifyCounters {
  std::string target;
  std::uint64_t delivered = 0, failed = 0, retried = 0, dropped = 0, suppressed = 0, left = 0;
};

class TargetWorker {
 public:
  TargetWorker(NotifyTarget t, const StopClock& stop);
  ~TargetWorker();
  void Start();
  void Push(const NotifyEvent& e);  // drops the oldest when full
  // Takes no more events but "stopping"; the queue goes out until the stop's deadline.
  void Finish();
  void Join();
  NotifyCounters Counters() const;
  const NotifyTarget& target() const { return t_; }

 private:
  void Run();
  void Send(const NotifyEvent& e);

  NotifyTarget t_;
  TargetPolicy policy_;
  const StopClock& stop_;
  mutable std::mutex m_;
  std::condition_variable cv_;
  std::deque<NotifyEvent> queue_;
  bool finish_ = false;
  std::thread thread_;
  std::atomic<std::uint64_t> delivered_{0}, failed_{0}, retried_{0}, dropped_{0}, suppressed_{0},
      left_{0};
};

class Notifier {
 public:
  explicit Notifier(const std::vector<NotifyTarget>& targets);
  ~Notifier() { Stop(); }
  // Starts the targets' threads and tells them qdx-host started.
  void Start();
  // Shows the event's line, hands it to the listener and queues it for the
  // targets that want it; any thread.
  void Post(const NotifyEvent& e);
  // Told every event, on the posting thread; set before Start().
  void OnPost(std::function<void(const NotifyEvent&)> f) { on_post_ = std::move(f); }
  // Tells "stopping" and gives what is pending kNotifyStopLimit from now;
  // returns at once.
  void BeginStop();
  // Ends every delivery now (a second stop signal); any thread.
  void CutShort() { stop_.Lower(std::chrono::steady_clock::now()); }
  // BeginStop() unless begun, then waits for the targets' threads.
  void Stop();
  std::vector<NotifyCounters> Counters() const;
  bool empty() const { return workers_.empty(); }

 private:
  StopClock stop_;  // before the workers, which hold it
  std::vector<std::unique_ptr<TargetWorker>> workers_;
  std::function<void(const NotifyEvent&)> on_post_;
  bool started_ = false;
  bool stopping_ = false;
  bool joined_ = false;
};

// qdx-host's own event (started, stopping, test...).
NotifyEvent OwnEvent(EventKindId kind, const std::string& text);

// The targets' counters as {"targets": [{"target": NAME, "delivered": N, ...}]}.
std::string NotifyJson(const std::vector<NotifyCounters>& counters);

// The targets' counters in the Prometheus text format.
std::string NotifyMetricsText(const std::vector<NotifyCounters>& counters);

}  // namespace controller
