#include "controller/notify/notifier.h"

#include <json/writer.h>

#include <algorithm>

#include "controller/common/device_name.h"
#include "controller/common/iso_time.h"
#include "controller/common/metric_label.h"
#include "controller/common/output.h"

namespace controller {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kFirstRetry = std::chrono::seconds(1);
constexpr auto kLongestRetry = std::chrono::seconds(60);
constexpr std::uint64_t kDropSayEvery = 100;  // a flood of drops is said now and then

std::int64_t SteadyMs(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

// The counters each target keeps, as metrics and JSON name them.
struct Kind {
  const char* name;
  const char* help;
  std::uint64_t NotifyCounters::*field;
};
const Kind kKinds[] = {
    {"delivered", "Events a target took", &NotifyCounters::delivered},
    {"failed", "Events a target did not take, retries exhausted", &NotifyCounters::failed},
    {"retried", "Repeated attempts to deliver an event", &NotifyCounters::retried},
    {"dropped", "Events dropped from a full queue", &NotifyCounters::dropped},
    {"suppressed", "Events held back by min_interval_s", &NotifyCounters::suppressed},
    {"left", "Events not delivered by the stop's deadline", &NotifyCounters::left},
};

}  // namespace

NotifyEvent OwnEvent(EventKindId kind, const std::string& text) {
  NotifyEvent e;
  e.name = EventName(kind);
  e.device = kOwnEventDevice;
  e.own = true;
  e.time_ms = NowUtcMs();
  e.text = text;
  return e;
}

TargetWorker::TargetWorker(NotifyTarget t, const StopClock& stop)
    : t_(std::move(t)), policy_(t_), stop_(stop) {}

TargetWorker::~TargetWorker() {
  Finish();
  Join();
}

void TargetWorker::Start() {
  thread_ = std::thread([this] { Run(); });
}

void TargetWorker::Push(const NotifyEvent& e) {
  std::uint64_t dropped = 0;
  {
    std::lock_guard<std::mutex> lock(m_);
    if (finish_ && e.name != EventName(EventKindId::kStopping)) return;
    if (queue_.size() >= kNotifyQueueRoom) {
      queue_.pop_front();
      dropped = ++dropped_;
    }
    queue_.push_back(e);
  }
  cv_.notify_one();
  if (dropped == 1 || (dropped > 0 && dropped % kDropSayEvery == 0))
    Say("notify: target \"" + t_.name + "\": queue full, oldest event dropped (" +
        std::to_string(dropped) + " so far)");
}

void TargetWorker::Finish() {
  {
    std::lock_guard<std::mutex> lock(m_);
    finish_ = true;
  }
  cv_.notify_one();
}

void TargetWorker::Join() {
  if (thread_.joinable()) thread_.join();
}

NotifyCounters TargetWorker::Counters() const {
  NotifyCounters c;
  c.target = t_.name;
  c.delivered = delivered_;
  c.failed = failed_;
  c.retried = retried_;
  c.dropped = dropped_;
  c.suppressed = suppressed_;
  c.left = left_;
  return c;
}

void TargetWorker::Run() {
  std::unique_lock<std::mutex> lock(m_);
  while (true) {
    const std::int64_t wake = policy_.NextWake();
    const auto until = wake == TargetPolicy::kNever
                           ? Clock::time_point::max()
                           : Clock::time_point(std::chrono::milliseconds(wake));
    if (queue_.empty() && !finish_) {
      if (until == Clock::time_point::max()) {
        cv_.wait(lock);
      } else {
        cv_.wait_until(lock, until);
      }
    }
    if (finish_ && (queue_.empty() || stop_.Passed())) break;
    std::deque<NotifyEvent> taken;
    taken.swap(queue_);
    lock.unlock();
    std::vector<NotifyEvent> out;
    for (NotifyEvent& e : taken) {
      auto now_out = policy_.Take(std::move(e), SteadyMs(Clock::now()));
      out.insert(out.end(), now_out.begin(), now_out.end());
    }
    auto due = policy_.Due(SteadyMs(Clock::now()));
    out.insert(out.end(), due.begin(), due.end());
    suppressed_ = policy_.suppressed();
    for (std::size_t i = 0; i < out.size(); ++i) {
      if (stop_.Passed()) {
        left_ += out.size() - i;
        break;
      }
      Send(out[i]);
    }
    lock.lock();
  }
  // What a stop cut short: the queue, and the events after_s still held back,
  // which would have gone out had the run gone on.
  left_ += queue_.size() + policy_.held();
  queue_.clear();
}

// In order: a webhook that fails is tried again, later each time, until
// retry_s has passed; what queues meanwhile waits its turn.
void TargetWorker::Send(const NotifyEvent& e) {
  const std::string json = EventJson(e);
  const Clock::time_point give_up = Clock::now() + std::chrono::seconds(t_.retry_s);
  Clock::duration wait = kFirstRetry;
  for (int attempt = 0;; ++attempt) {
    const Answer a = Deliver(t_, e, json, stop_);
    if (a.delivered) {
      ++delivered_;
      return;
    }
    if (a.left) {
      ++left_;
      return;
    }
    const Clock::time_point next = Clock::now() + wait;
    if (!a.retry || next > give_up) {
      ++failed_;
      Say("notify: target \"" + t_.name + "\": " + e.name + " not delivered: " + a.said);
      return;
    }
    if (attempt == 0)
      Say("notify: target \"" + t_.name + "\": " + e.name + " failed (" + a.said +
          "); trying again");
    // Ends early when a stop's deadline comes first, whenever the stop came.
    if (!stop_.Sleep(next)) {
      ++left_;
      return;
    }
    ++retried_;
    wait = std::min<Clock::duration>(wait * 2, kLongestRetry);
  }
}

Notifier::Notifier(const std::vector<NotifyTarget>& targets) {
  for (const NotifyTarget& t : targets)
    workers_.push_back(std::make_unique<TargetWorker>(t, stop_));
}

void Notifier::Start() {
  if (started_) return;
  started_ = true;
  for (auto& w : workers_) w->Start();
  Post(OwnEvent(EventKindId::kStarted, "qdx-host: started"));
}

void Notifier::Post(const NotifyEvent& e) {
  // Stamped like the record lines, so a journal read later says when. An
  // alarm has its own line already, with the same words.
  const bool alarm = e.name == EventName(EventKindId::kAlarm, true) ||
                     e.name == EventName(EventKindId::kAlarm, false);
  if (!alarm) Say(FormatLocalMs(e.time_ms) + "  event " + e.name + ": " + e.text);
  if (on_post_) on_post_(e);
  for (auto& w : workers_) {
    if (w->target().Wants(e.name, e.device, e.own)) w->Push(e);
  }
}

void Notifier::BeginStop() {
  if (!started_ || stopping_) return;
  stopping_ = true;
  Post(OwnEvent(EventKindId::kStopping, "qdx-host: stopping"));
  stop_.Lower(Clock::now() + kNotifyStopLimit);
  for (auto& w : workers_) w->Finish();
}

void Notifier::Stop() {
  BeginStop();
  if (!started_ || joined_) return;
  joined_ = true;
  for (auto& w : workers_) w->Join();
}

std::vector<NotifyCounters> Notifier::Counters() const {
  std::vector<NotifyCounters> out;
  for (const auto& w : workers_) out.push_back(w->Counters());
  return out;
}

std::string NotifyMetricsText(const std::vector<NotifyCounters>& counters) {
  if (counters.empty()) return std::string();
  std::string out;
  for (const Kind& k : kKinds) {
    const std::string metric = std::string("qdx_notify_") + k.name + "_total";
    out += "# HELP " + metric + " " + k.help + ".\n# TYPE " + metric + " counter\n";
    for (const NotifyCounters& c : counters)
      out += metric + "{target=\"" + LabelValue(c.target) + "\"} " + std::to_string(c.*(k.field)) +
             "\n";
  }
  return out;
}

std::string NotifyJson(const std::vector<NotifyCounters>& counters) {
  Json::Value targets(Json::arrayValue);
  for (const NotifyCounters& c : counters) {
    Json::Value t(Json::objectValue);
    t["target"] = c.target;
    for (const Kind& k : kKinds) t[k.name] = static_cast<Json::UInt64>(c.*(k.field));
    targets.append(t);
  }
  Json::Value doc(Json::objectValue);
  doc["targets"] = targets;
  Json::StreamWriterBuilder b;
  b["indentation"] = "";
  return Json::writeString(b, doc);
}

}  // namespace controller
