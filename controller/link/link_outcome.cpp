// The device link's side of what the device says: the sinks it installs,
// the records they carry, and the outcomes it tells its observers.
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

}  // namespace controller
