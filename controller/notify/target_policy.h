// What of a target's events goes out when: after_s holds a raising event
// until it has held that long, repeat_s sends it again while it holds, and
// min_interval_s lets the same event of a device through once per interval,
// counting the rest and sending the device's current state when the interval
// ends if it differs from the last one sent. Used by the target's own thread.
#pragma once

#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "controller/notify/notify_config.h"
#include "controller/notify/notify_event.h"

namespace controller {

class TargetPolicy {
 public:
  static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

  explicit TargetPolicy(const NotifyTarget& t) : t_(t) {}
  // What goes out now of an event just come, now in ms of a steady clock.
  std::vector<NotifyEvent> Take(NotifyEvent e, std::int64_t now);
  // What is due by now: held events, repeats, states after an interval.
  std::vector<NotifyEvent> Due(std::int64_t now);
  std::int64_t NextWake() const;
  std::uint64_t suppressed() const { return suppressed_total_; }
  // Raising events waiting for after_s, their condition still holding.
  std::size_t held() const { return held_.size(); }

 private:
  struct Timed {
    NotifyEvent e;
    std::int64_t at;
  };
  void Gate(NotifyEvent e, std::int64_t now, bool force, std::vector<NotifyEvent>& out);

  const NotifyTarget& t_;
  std::map<std::string, Timed> held_;              // condition|device: a raise waiting for after_s
  std::map<std::string, Timed> repeats_;           // condition|device: the raise, its next repeat
  std::map<std::string, std::string> sent_;        // condition|device: last event name sent
  std::map<std::string, NotifyEvent> latest_;      // condition|device: last event come
  std::map<std::string, std::int64_t> last_sent_;  // event|device: when
  std::map<std::string, std::int64_t> interval_end_;  // condition|device: when to compare
  std::map<std::string, std::uint64_t> suppressed_;   // event name: count since last sent
  std::uint64_t suppressed_total_ = 0;
};

}  // namespace controller
