#include "controller/qdx_controller.h"

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <system_error>
#include <thread>

#include "controller/common/output.h"
#include "controller/common/output_pump.h"
#include "controller/stop_signals.h"

namespace {

using controller::Clock;
using controller::Complain;
using controller::DeviceLink;
using controller::Seconds;
using controller::Who;

// How long a stop waits for a busy database to take the queued records.
constexpr auto kHistoryDrainLimit = std::chrono::seconds(30);
constexpr int kStopWatchMs = 50;  // how soon a second stop signal cuts that wait short

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
  try {
    loop_ = std::make_unique<controller::EventLoop>();
    if (stop_fd >= 0) {
      loop_->WatchFile(stop_fd, [&stop, stop_fd](short) {
        if (stop) return;
        stop = true;
        // Read at once: the first signal is the one named, whatever follows.
        if (const char* sig = controller::ReadStopSignal(stop_fd))
          controller::SayLast(std::string("qdx-host: ") + sig + " received, shutting down");
      });
    }
    if (history_ && history_->alert_fd() >= 0)
      loop_->WatchFile(history_->alert_fd(), [this](short) { HistoryFailed(history_->error()); });
  } catch (const std::system_error& e) {
    Complain(std::string("cannot watch the ports: ") + e.what());
    fatal_ = true;
  }
  turns_.assign(links_.size(), Turns{});
  for (std::size_t i = 0; loop_ && i < links_.size(); ++i) {
    links_[i]->Begin(start);
    Arrange(i, start);
  }

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
  FinishHistory(stop_fd);
  PrintSummary();
  // A capture that stopped is a run that did not do what it was asked.
  return fatal_ || (capture_ && capture_->failed()) ? 1 : 0;
}

// Keeps the loop's watch of a link's port and its wake in step with the link,
// after anything the link did.
void QDXController::Arrange(std::size_t i, Clock::time_point now) {
  DeviceLink& link = *links_[i];
  Turns& t = turns_[i];
  if (limits_.cycles > 0 && !t.reached && link.cycles() >= limits_.cycles) {
    t.reached = true;
    ++limit_count_;
    link.StopPolling();
  }
  const int fd = link.fd();
  if (fd != t.fd) {
    if (t.watch != 0) loop_->Unwatch(t.watch);
    t.watch = 0;
    t.fd = -1;
    if (fd >= 0) {
      try {
        t.watch = loop_->WatchFile(fd, [this, i](short revents) {
          if (fatal_ || stopping_) return;
          links_[i]->Readable(revents, Clock::now());
          Arrange(i, Clock::now());
        });
        t.fd = fd;
      } catch (const std::system_error& e) {
        link.LosePort(std::string("cannot watch it: ") + e.code().message());
      }
    }
  }
  const Clock::time_point due = link.Wake(now, t.filed);
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

void QDXController::HistoryFailed(const std::string& why) {
  fatal_ = true;
  if (history_reported_) return;
  history_reported_ = true;
  Complain(why + "; stopping");
}

// Stores what is still queued before the summary is shown. A stop signal
// during the wait (a second Ctrl-C) cuts it short; what is left is counted as
// not stored.
void QDXController::FinishHistory(int stop_fd) {
  if (!history_) return;
  const controller::HistoryStats before = history_->stats();
  if (before.waiting > 0 && before.retries > 0)
    controller::SayLast("history: storing " + std::to_string(before.waiting) +
                        " queued records (Ctrl-C again to stop waiting)");
  std::atomic<bool> finished{false};
  controller::HistoryWriter* writer = history_.get();
  std::thread watch([&finished, writer, stop_fd] {
    while (!finished.load() && stop_fd >= 0) {
      pollfd p{stop_fd, POLLIN, 0};
      if (::poll(&p, 1, kStopWatchMs) > 0 && controller::ReadStopSignal(stop_fd)) {
        writer->CutShort();
        return;
      }
    }
  });
  const bool stored = history_->Finish(Clock::now() + kHistoryDrainLimit);
  finished = true;
  watch.join();
  if (!stored) HistoryFailed(history_->error());
}

bool QDXController::Done() const { return limits_.cycles > 0 && limit_count_ == links_.size(); }

void QDXController::PrintSummary() const {
  for (const auto& link : links_) {
    controller::SayLast(
        Who(link->cfg()) + ": " + std::to_string(link->cycles()) + " cycles, " +
        std::to_string(link->records()) + " records published, " +
        std::to_string(link->failures()) + " communication failures" +
        (link->late() ? ", " + std::to_string(link->late()) + " late replies" : ""));
  }
  const auto worst =
      std::chrono::duration_cast<std::chrono::milliseconds>(worst_poll_delay()).count();
  if (const std::uint64_t dropped = controller::OutputLinesDropped())
    controller::SayLast("output: " + controller::Grouped(dropped) +
                        " lines dropped (reader too slow)");
  controller::SayLast("polls: the latest went out " + std::to_string(worst) + " ms after its time");
  if (!history_) return;
  const controller::HistoryStats h = history_->stats();
  controller::SayLast("history: " + std::to_string(h.stored) + " records stored in " +
                      std::to_string(h.commits) + " commits, " + std::to_string(h.late) +
                      " written late (longest wait " + Seconds(h.longest_wait.count()) +
                      ", database busy " + std::to_string(h.retries) + " times)" +
                      (h.waiting ? ", " + std::to_string(h.waiting) + " not stored" : ""));
}

long long QDXController::records_published() const {
  long long n = 0;
  for (const auto& link : links_) n += link->records();
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
  for (auto& link : links_) link->Close();
  for (auto& link : links_) link->Release();  // plug-in code: before the plug-in goes
  plugins_.clear();                           // providers, then the libraries
  links_.clear();                             // the simulators
  history_.reset();
}
