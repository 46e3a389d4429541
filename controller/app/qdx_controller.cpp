#include "controller/app/qdx_controller.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <thread>

#include "controller/app/stop_signals.h"
#include "controller/common/device_name.h"
#include "controller/common/iso_time.h"
#include "controller/common/output.h"
#include "controller/common/output_pump.h"

namespace {

using controller::Clock;
using controller::Complain;
using controller::DeviceLink;
using controller::Seconds;
using controller::Who;

// How long a stop waits for a busy database to take the queued records.
constexpr auto kHistoryDrainLimit = std::chrono::seconds(30);

}  // namespace

QDXController::QDXController(controller::SiteConfig site, std::string db_path,
                             std::string sim_program)
    : site_(std::move(site)), db_path_(std::move(db_path)), sim_program_(std::move(sim_program)) {}

QDXController::~QDXController() { Shutdown(); }

int QDXController::Run(const controller::RunLimits& limits, int stop_fd) {
  const Clock::time_point start = Clock::now();
  const Clock::time_point end = limits.duration_s > 0
                                    ? start + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(limits.duration_s))
                                    : Clock::time_point::max();
  limits_ = limits;
  bool stop = false;
  WatchInputs(stop_fd, &stop);
  turns_.assign(links_.size(), Turns{});
  began_ = start;
  for (std::size_t i = 0; loop_ && i < links_.size(); ++i) {
    links_[i]->Begin(start);
    Arrange(i, start);
  }
  if (loop_ && service_) ServiceTick();

  // Each pass touches only the links that are due or whose port is ready.
  while (loop_ && !fatal_ && !stop && !Done() && Clock::now() < end) {
    if (!loop_->RunOnce(end)) {
      Complain(std::string("waiting for the ports failed: ") + std::strerror(errno));
      fatal_ = true;
    }
  }
  stopping_ = true;
  loop_.reset();
  turns_.clear();
  if (service_) service_->Stopping("stopping: storing what is queued");
  if (notifier_) notifier_->BeginStop();  // kNotifyStopLimit, beside the history's drain
  FinishHistory(stop_fd);
  if (start_failed_) DropUnusedHistory();
  if (!start_failed_ || history_) PrintSummary();
  // A capture that stopped, or records not stored, is a run that did not do
  // what it was asked.
  return fatal_ || history_failed_ || (capture_ && capture_->failed()) ? 1 : 0;
}

// The loop's inputs besides the ports: stop signals, simulator starts done and
// the history's alert. A loop that cannot watch them ends the run.
void QDXController::WatchInputs(int stop_fd, bool* stop) {
  try {
    loop_ = std::make_unique<controller::EventLoop>();
    if (stop_fd >= 0) {
      loop_->WatchFile(stop_fd, [this, stop, stop_fd](short) {
        if (*stop) return;
        // Read at once: the first signal is the one named, whatever follows.
        const char* sig = controller::ReadStopSignal(stop_fd);
        // A service is stopped by its manager; a stray hang-up must not end it.
        if (service_ && sig && std::strcmp(sig, "SIGHUP") == 0) {
          controller::Say("qdx-host: SIGHUP received, ignored (running as a service)");
          return;
        }
        *stop = true;
        if (sig) controller::SayLast(std::string("qdx-host: ") + sig + " received, shutting down");
      });
    }
    if (sim_wake_) {
      loop_->WatchFile(sim_wake_->fd(), [this](short) {
        sim_wake_->Clear();  // before looking: a start done meanwhile wakes again
        SimulatorsDone(Clock::now());
      });
    }
    if (history_ && history_->alert_fd() >= 0) {
      history_watch_ = loop_->WatchFile(history_->alert_fd(), [this](short) {
        loop_->Unwatch(history_watch_);  // said once; the loop goes on
        HistoryFailed(history_->error());
      });
    }
  } catch (const std::system_error& e) {
    Complain(std::string("cannot watch the ports: ") + e.what());
    fatal_ = true;
  }
}

// Keeps the loop's watch of a link's port and its wake in step with the link,
// after anything the link did.
void QDXController::Arrange(std::size_t i, Clock::time_point now) {
  DeviceLink& link = *links_[i];
  Turns& t = turns_[i];
  if (limits_.cycles > 0 && !t.reached && link.counters().cycles >= limits_.cycles) {
    t.reached = true;
    ++limit_count_;
    link.StopPolling();
  }
  const int fd = link.fd();
  try {
    if (fd != t.fd) {
      if (t.watch != 0) loop_->Unwatch(t.watch);
      t.watch = 0;
      t.fd = -1;
      t.output = false;
      if (fd >= 0) {
        t.watch = loop_->WatchFile(fd, [this, i](short revents) {
          if (fatal_ || stopping_) return;
          links_[i]->Ready(revents, Clock::now());
          Arrange(i, Clock::now());
        });
        t.fd = fd;
      }
    }
    // Room on a line is watched only while a poll waits for it: a line with
    // room would wake the loop at every pass.
    if (t.watch != 0 && link.wants_output() != t.output) {
      loop_->WatchOutput(t.watch, !t.output);
      t.output = !t.output;
    }
  } catch (const std::system_error& e) {
    link.LosePort(std::string("cannot watch it: ") + e.code().message(), now);
    if (t.watch != 0) loop_->Unwatch(t.watch);  // before a reopen can reuse the number
    t.watch = 0;
    t.fd = -1;
    t.output = false;
  }
  const Clock::time_point due = link.Wake(t.filed);
  if (due == t.filed) return;  // already filed under this time
  if (t.timer != 0) loop_->Cancel(t.timer);
  t.timer = 0;
  t.filed = due;
  if (due == Clock::time_point::max()) return;
  t.timer = loop_->At(due, [this, i] {
    turns_[i].timer = 0;
    turns_[i].filed = Clock::time_point::max();  // taken: the next wake is filed anew
    if (fatal_ || stopping_) return;
    links_[i]->Turn(Clock::now());
    Arrange(i, Clock::now());
  });
}

// Storing has stopped for good; polling, alarms and the page go on.
void QDXController::HistoryFailed(const std::string& why) {
  history_failed_ = true;
  if (history_reported_) return;
  history_reported_ = true;
  Complain(why + "; stopping the history, monitoring goes on");
}

// Stores what is still queued and lets the targets finish before the summary
// is shown. A stop signal during the wait (a second Ctrl-C) cuts both short;
// what is left is counted as not stored, and as left by the targets.
void QDXController::FinishHistory(int stop_fd) {
  if (history_) {
    const controller::HistoryStats before = history_->stats();
    if (before.waiting > 0 &&
        (before.retries > 0 || history_->state() == controller::HistoryState::kFailing))
      controller::SayLast("history: storing " + std::to_string(before.waiting) +
                          " queued records (Ctrl-C again to stop waiting)");
  }
  if (DrainWatched(Clock::now() + kHistoryDrainLimit, stop_fd) || !history_) return;
  history_failed_ = true;
  if (!history_reported_) Complain(history_->error());
  history_reported_ = true;
}

// The writer's Finish() and the targets' end block until their threads have
// ended, so they are waited for on a thread while an event loop here reads
// the stop signals and learns from an event descriptor when they returned.
// Where no loop can be made the wait runs to its deadlines unwatched.
bool QDXController::DrainWatched(Clock::time_point deadline, int stop_fd) {
  controller::HistoryWriter* writer = history_.get();
  controller::Notifier* notifier = notifier_.get();
  const auto finish = [writer, notifier, deadline] {
    const bool stored = !writer || writer->Finish(deadline);
    if (notifier) notifier->Stop();
    return stored;
  };
  std::unique_ptr<controller::EventLoop> loop;
  std::shared_ptr<controller::Wakeup> done;
  bool finished = false;
  bool stored = false;
  std::thread wait;
  try {
    done = controller::Wakeup::Make();
    loop = std::make_unique<controller::EventLoop>();
    loop->WatchFile(done->fd(), [&finished](short) { finished = true; });
    if (stop_fd >= 0) {
      const bool service = service_ != nullptr;
      loop->WatchFile(stop_fd, [writer, notifier, stop_fd, service](short) {
        const char* sig = controller::ReadStopSignal(stop_fd);
        // Under a service manager a hang-up stops nothing, this wait included.
        if (!sig || (service && std::strcmp(sig, "SIGHUP") == 0)) return;
        if (writer) writer->CutShort();
        if (notifier) notifier->CutShort();
      });
    }
    wait = std::thread([&finish, &stored, done] {
      stored = finish();
      done->Signal();
    });
  } catch (const std::system_error&) {
    return finish();
  }
  // Bounded: the drain and the targets have deadlines of their own.
  while (!finished && loop->RunOnce(Clock::time_point::max())) {
  }
  wait.join();
  return stored;
}

// The service manager's share of the loop: a timer of its own, so the
// keep-alive stops with the loop.
void QDXController::ServiceTick() {
  // Ready once the history took a write: every port but a simulator's (which
  // opens once it is up) is opened and the page listens before the loop starts.
  const bool ready = history_ && history_->writable();
  service_->Tick(ready, controller::ServiceStatus(links_, newest_record_, ready));
  loop_->At(Clock::now() + service_->period(), [this] {
    if (!fatal_ && !stopping_) ServiceTick();
  });
}

bool QDXController::Done() const { return limits_.cycles > 0 && limit_count_ == links_.size(); }

void QDXController::PrintSummary() const {
  for (const auto& link : links_) {
    const controller::LinkCounters& c = link->counters();
    controller::SayLast(
        Who(link->cfg()) + ": " + std::to_string(c.cycles) + " cycles, " +
        std::to_string(c.records) + " records published, " + std::to_string(c.failures) +
        " communication failures" +
        (c.late_replies ? ", " + std::to_string(c.late_replies) + " late replies" : ""));
  }
  const auto worst =
      std::chrono::duration_cast<std::chrono::milliseconds>(worst_poll_delay()).count();
  if (const std::uint64_t dropped = controller::OutputLinesDropped())
    controller::SayLast("output: " + controller::Grouped(dropped) +
                        " lines dropped (reader too slow)");
  controller::SayLast("polls: the latest went out " + std::to_string(worst) + " ms after its time");
  if (notifier_) {
    for (const controller::NotifyCounters& c : notifier_->Counters())
      controller::SayLast("notify: target \"" + c.target + "\": " + std::to_string(c.delivered) +
                          " delivered, " + std::to_string(c.failed) + " failed, " +
                          std::to_string(c.retried) + " retried, " + std::to_string(c.dropped) +
                          " dropped, " + std::to_string(c.suppressed) + " suppressed" +
                          (c.left ? ", " + std::to_string(c.left) + " left at stop" : ""));
  }
  if (!history_) return;
  const controller::HistoryStats h = history_->stats();
  controller::SayLast(
      "history: " + std::to_string(h.stored) + " records stored in " + std::to_string(h.commits) +
      " commits, " + std::to_string(h.written_late) + " written late (longest wait " +
      Seconds(h.longest_wait.count()) + ", database busy " + std::to_string(h.retries) + " times" +
      (h.full ? ", disk full " + std::to_string(h.full) + " times" : "") + ")" +
      (h.dropped ? ", " + std::to_string(h.dropped) + " dropped" : "") +
      (h.events_dropped ? ", " + std::to_string(h.events_dropped) + " events not logged" : "") +
      (h.waiting ? ", " + std::to_string(h.waiting) + " not stored" : ""));
}

long long QDXController::records_published() const {
  long long n = 0;
  for (const auto& link : links_) n += link->counters().records;
  return n;
}

Clock::duration QDXController::worst_poll_delay() const {
  Clock::duration worst{};
  for (const auto& link : links_) worst = std::max(worst, link->worst_poll_delay());
  return worst;
}

controller::HistoryStats QDXController::history_stats() const {
  return history_ ? history_->stats() : controller::HistoryStats{};
}

void QDXController::Shutdown() {
  if (notifier_) notifier_->Stop();
  for (auto& link : links_) link->Close();
  for (auto& link : links_) link->Release();  // plug-in code: before the plug-in goes
  plugins_.clear();                           // providers, then the libraries
  links_.clear();                             // the simulators
  history_.reset();
}
