// What a device link tells the rest of the controller: one outcome for each
// exchange with its device (a record, a late reply, a failure, a lost port, a
// reopen...), then the alarms and analogue reports the device raised with it,
// and every chunk on its line. The terminal, the status board, the history
// and the capture each observe links through this.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "controller/common/link_state.h"
#include "host/qdx_device.h"

namespace controller {

using Clock = std::chrono::steady_clock;

class DeviceLink;

enum class Ending {
  kRecord,        // a record answered the poll, or was replayed from the history at start
  kLateReply,     // a record completed after its cycle had failed by its timeout
  kFailure,       // a cycle ended without a record: no complete reply, a reply not decoded
  kMissedPoll,    // a poll interval passed while the port was lost
  kLost,          // the port went away (or was not there at start); a cycle under way failed
  kReopenFailed,  // opening it again failed; the next try waits longer
  kReopened,
  // Nothing ended: a word about the line or the device, or a record the
  // device published without completing its cycle.
  kNotice,
};

struct LinkRecord {
  int type = 0;
  std::vector<unsigned char> data;
};

struct LinkOutcome {
  Ending ending = Ending::kNotice;
  std::vector<LinkRecord> published;  // what the device published, in order
  // What it handed to the history, typed as the record published before it.
  std::optional<LinkRecord> stored;
  bool replayed = false;          // a stored record handed back at start
  Clock::time_point at{};         // when the link learned it
  Clock::time_point polled_at{};  // when the poll of the latest cycle went out
  LinkState link = LinkState::kOk;
  LinkCounters counters;  // after it
  std::string note;       // a line for the operator, after the device's name; empty: none
  bool trouble = false;   // the note tells of a fault in the controller or a plug-in
};

class LinkObserver {
 public:
  virtual ~LinkObserver() = default;
  virtual void Ended(const DeviceLink& link, const LinkOutcome& outcome) = 0;
  virtual void Alarm(const DeviceLink&, const rule_value&, bool /*raised*/) {}
  virtual void Report(const DeviceLink&, const std::string& /*report_id*/, float /*value*/) {}
  // Every chunk sent (received false), read or discarded.
  virtual void Traffic(const DeviceLink&, bool /*received*/, const unsigned char*, std::size_t) {}
};

}  // namespace controller
