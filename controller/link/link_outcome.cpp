// The device link's edges. What the device says: the sinks it installs, the
// records they carry, and the outcomes it tells its observers. Its port:
// writing polls without waiting, losing the port, the polls missed while it
// is lost, and reopening it with growing back-off.
#include <cerrno>

#include "controller/common/iso_time.h"
#include "controller/framework/serial_port.h"
#include "controller/link/device_link.h"

namespace controller {

namespace {

// The link state once an outcome is known; a replayed record says nothing
// about the line.
LinkState After(LinkState s, const LinkOutcome& o) {
  if (o.replayed) return s;
  switch (o.ending) {
    case Ending::kRecord:
    case Ending::kLateReply:
    case Ending::kReopened:
      return LinkState::kOk;
    case Ending::kFailure:
      return LinkState::kTimeout;
    case Ending::kLost:
      return LinkState::kLost;
    case Ending::kReopenFailed:
      return LinkState::kReopening;
    case Ending::kMissedPoll:
    case Ending::kNotice:
      break;
  }
  return s;
}

}  // namespace

void DeviceLink::InstallSinks() {
  QDXHostSinks& sinks = dev_->sinks_;
  sinks.publish = [this](int type, const unsigned char* data, unsigned int len) {
    heard_.published.push_back(LinkRecord{type, {data, data + len}});
  };
  sinks.history = [this](const unsigned char* data, unsigned int len) {
    const int type = heard_.published.empty() ? 0 : heard_.published.back().type;
    heard_.stored = LinkRecord{type, {data, data + len}};
  };
  // The framework's word that a cycle is complete: published, checked, stored.
  sinks.cycle_done = [this] { EndRecord(true); };
  // The link writes the polls itself: a line that takes them slowly must not
  // hold up the loop. With this sink the framework never reports a failed
  // write through send_failed.
  sinks.send = [this](const unsigned char* data, unsigned int len) { Send(data, len); };
  sinks.alarm = [this](const rule_value& item, bool raised) {
    Signal s;
    s.alarm = true;
    s.item = item;
    s.raised = raised;
    heard_.signals.push_back(std::move(s));
  };
  sinks.ao_report = [this](const std::string& id, float value) {
    Signal s;
    s.report_id = id;
    s.value = value;
    heard_.signals.push_back(std::move(s));
  };
  sinks.traffic = [this](bool received, const unsigned char* data, unsigned int len) {
    // Input read while the device polls is what the framework discards first.
    if (received && in_poll_) heard_.discarded += len;
    Traffic(received, data, len);
  };
}

// What the device published: the answer of the awaited cycle once the device
// completed it, a replay, or a record after its cycle had failed. A record
// published without its history step ends nothing itself: the device failed
// on the way, and Settle sees what it left.
void DeviceLink::EndRecord(bool completed) {
  LinkOutcome o;
  o.published = std::move(heard_.published);
  o.stored = std::move(heard_.stored);
  heard_.published.clear();
  heard_.stored.reset();
  o.replayed = replaying_;
  counters_.records += static_cast<long>(o.published.size());
  if (replaying_) {
    o.ending = Ending::kRecord;
  } else if (!completed) {
    o.ending = Ending::kNotice;
  } else if (exchange_ == Exchange::kAwaiting) {
    o.ending = Ending::kRecord;
    EndCycle(call_at_);
  } else {
    // It stays that failure; its record is published and stored all the same.
    o.ending = Ending::kLateReply;
    ++counters_.late_replies;
  }
  Tell(std::move(o), call_at_);
  TellSignals();
}

void DeviceLink::Tell(LinkOutcome o, Clock::time_point now) {
  o.at = now;
  o.polled_at = polled_at_;
  link_state_ = After(link_state_, o);
  o.link = link_state_;
  o.counters = counters_;
  for (LinkObserver* observer : observers_) observer->Ended(*this, o);
}

void DeviceLink::Tell(Ending ending, Clock::time_point now, std::string note, bool trouble) {
  LinkOutcome o;
  o.ending = ending;
  o.note = std::move(note);
  o.trouble = trouble;
  Tell(std::move(o), now);
}

void DeviceLink::TellSignals() {
  std::vector<Signal> signals;
  signals.swap(heard_.signals);
  for (const Signal& s : signals) {
    for (LinkObserver* observer : observers_) {
      if (s.alarm) {
        observer->Alarm(*this, s.item, s.raised);
      } else {
        observer->Report(*this, s.report_id, s.value);
      }
    }
  }
}

// The one route of everything captured.
void DeviceLink::Traffic(bool received, const unsigned char* data, std::size_t len) {
  for (LinkObserver* observer : observers_) observer->Traffic(*this, received, data, len);
}

int NextBackoffMs(int prev_ms) {
  if (prev_ms < kFirstBackoffMs) return kFirstBackoffMs;
  return prev_ms >= kMaxBackoffMs / 2 ? kMaxBackoffMs : prev_ms * 2;
}

void DeviceLink::StartSimulator(std::function<void()> started) {
  started_ = std::move(started);
  if (cfg_.sim_scenario.empty()) return;
  starting_ = StartSimProcess(sim_program_, cfg_.sim_scenario, cfg_.sim_seed, started_);
  first_start_ = true;
}

bool DeviceLink::TakeFirstSimulator() {
  if (!first_start_ || starting_.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
    return false;
  first_start_ = false;
  sim_ = starting_.get();
  port_path_ = sim_->pty_path();
  dev_->port_path_ = port_path_;
  OpenAtStart();
  return true;
}

void DeviceLink::OpenAtStart() {
  try {
    dev_->OpenPort();
  } catch (const PortMissing& e) {
    missing_ = e.why();  // the others run; this one waits for its port
    return;
  }
  exchange_ = Exchange::kIdle;
  opened_ = true;
}

// The device's bytes for the line: written as far as it takes them now, the
// rest when it has room, never waited for in the loop.
void DeviceLink::Send(const unsigned char* data, unsigned int len) {
  if (exchange_ == Exchange::kClosed || dev_->port_fd_ < 0) return;  // fails by its timeout
  unsent_.insert(unsent_.end(), data, data + len);
  Flush();
}

void DeviceLink::Flush() {
  if (unsent_.empty() || heard_.send_error != 0) return;
  const long n = WriteSome(dev_->port_fd_, unsent_.data(), unsent_.size());
  if (n < 0) {
    heard_.send_error = errno;  // Settle loses the port
    unsent_.clear();
    return;
  }
  unsent_.erase(unsent_.begin(), unsent_.begin() + n);
}

void DeviceLink::Close() {
  unsent_.clear();
  if (dev_) dev_->ClosePort();
  exchange_ = Exchange::kClosed;
}

void DeviceLink::Release() {
  if (dev_) dev_->sinks_ = QDXHostSinks{};
  dev_.reset();
}

void DeviceLink::LosePort(const std::string& why, Clock::time_point now) {
  Drop("lost (" + why + ")", "reopening in ", now);
}

// A port missing at start is lost from the first turn: told once, retried as
// any lost port.
void DeviceLink::TellMissing(Clock::time_point now) {
  if (missing_.empty()) return;
  Drop("missing at start (" + missing_ + ")", "trying again in ", now);
  missing_.clear();
}

void DeviceLink::Drop(const std::string& what, const std::string& retry, Clock::time_point now) {
  if (exchange_ == Exchange::kAwaiting) FailCycle(now);
  unsent_.clear();
  heard_.send_error = 0;
  dev_->ClosePort();
  exchange_ = Exchange::kClosed;
  reopen_at_ = now + std::chrono::milliseconds(backoff_ms_);
  std::string next = retry;
  if (sim_) {
    // Never reopen the terminal of a lost simulator: once it is gone its path
    // may be handed to another program.
    sim_.reset();
    next = "starting a new simulator in ";
  }
  Tell(Ending::kLost, now, "port " + port_path_ + " " + what + "; " + next + Seconds(backoff_ms_));
}

void DeviceLink::TryReopen(Clock::time_point now) {
  if (now < reopen_at_) return;
  bool started = false;
  try {
    if (!cfg_.sim_scenario.empty() && (!sim_ || !sim_->Alive())) {
      if (!SimulatorStarted()) return;  // still starting: the link stays closed
      started = true;
      dev_->port_path_ = port_path_;
    }
    dev_->OpenPort();
  } catch (const std::exception& e) {
    backoff_ms_ = NextBackoffMs(backoff_ms_);
    reopen_at_ = now + std::chrono::milliseconds(backoff_ms_);
    Tell(Ending::kReopenFailed, now,
         std::string(e.what()) + "; next try in " + Seconds(backoff_ms_));
    return;
  }
  exchange_ = Exchange::kIdle;
  backoff_ms_ = kFirstBackoffMs;
  next_poll_ = now;
  ++counters_.reopens;
  std::string opened = opened_ ? " reopened" : " opened";
  if (started) opened = " opened (new simulator, pid " + std::to_string(sim_->pid()) + ")";
  opened_ = true;
  Tell(Ending::kReopened, now, "port " + port_path_ + opened);
}

// A replacement simulator starts off the loop: waiting for its terminal path
// (or its exit status) would hold up every other device's polls. The
// starter's call wakes the loop once it is done; a start that failed throws here.
bool DeviceLink::SimulatorStarted() {
  if (!starting_.valid()) {
    sim_.reset();
    starting_ = StartSimProcess(sim_program_, cfg_.sim_scenario, cfg_.sim_seed, started_);
  }
  if (starting_.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return false;
  sim_ = starting_.get();
  port_path_ = sim_->pty_path();
  return true;
}

// A poll slot passed while the port is closed: a failed cycle, so a run with
// --cycles ends and the failures tell how long the device went unpolled.
void DeviceLink::MissPoll(Clock::time_point now) {
  if (!polling_ || now < next_poll_) return;
  NextSlot(now);
  ++counters_.failures;
  ++counters_.cycles;
  Tell(Ending::kMissedPoll, now, "");
}

}  // namespace controller
