// Which events a device's outcomes fire: each condition on its change only.
// The first live record fires only what is not normal; a record replayed
// from the history at start fires nothing, and the alarms it raised wait for
// the first live record to still hold.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "controller/notify/event_kinds.h"
#include "controller/notify/notify_event.h"
#include "host/qdx_device.h"

namespace zota {
struct DecodedRecord;
}

namespace controller {

constexpr int kDefaultLinkLostAfterS = 10;
constexpr std::int64_t kHistoryFailingAfterMs = 60 * 1000;

class DeviceEvents {
 public:
  using Clock = std::chrono::steady_clock;
  DeviceEvents(std::string name, std::uint32_t data_id, Clock::duration lost_after,
               Clock::time_point start);

  std::vector<NotifyEvent> Record(int type, const unsigned char* data, std::size_t len,
                                  bool replayed, Clock::time_point at, std::int64_t utc_ms);
  // An alarm change told with the record before it.
  std::vector<NotifyEvent> Alarm(const rule_value& item, bool raised, bool replayed,
                                 std::int64_t utc_ms);
  // An exchange without a record; port_lost: the port went away.
  std::vector<NotifyEvent> NoRecord(bool port_lost, Clock::time_point at, std::int64_t utc_ms);

 private:
  NotifyEvent Make(const char* name, std::string text, std::int64_t utc_ms) const;
  void Flag(std::vector<NotifyEvent>& out, const zota::DecodedRecord& rec, const EventKind& k,
            std::int64_t ms) const;
  void TellReplayedAlarms(std::vector<NotifyEvent>& out, std::int64_t utc_ms);

  std::string name_;
  std::uint32_t data_id_;
  Clock::duration lost_after_;
  Clock::time_point last_record_;
  bool live_ = false;  // a live decoded record was seen
  std::uint8_t state_ = 0;
  bool lost_ = false;
  bool told_replayed_ = false;                         // the replay's alarms were told or dropped
  std::map<std::string, rule_value> replayed_alarms_;  // raised by the replay, not told yet
};

// history_failing when the history's state is bad for kHistoryFailingAfterMs
// or records were dropped; history_ok when it is good again without drops.
class HistoryEvents {
 public:
  std::vector<NotifyEvent> Update(bool state_good, std::uint64_t dropped, std::int64_t utc_ms);

 private:
  bool failing_ = false;
  std::int64_t bad_since_ms_ = -1;
  std::uint64_t dropped_ = 0;
};

}  // namespace controller
