// Which events a device's outcomes fire, and what a target's policy lets through.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "controller/notify/event_detector.h"
#include "controller/notify/notifier.h"
#include "controller/notify/target_policy.h"

namespace {

using controller::DeviceEvents;
using controller::NotifyEvent;
using Clock = std::chrono::steady_clock;

// A UPS record with data id 1001 and the given state byte.
std::vector<unsigned char> Record(std::uint8_t state) {
  std::vector<unsigned char> r = {0xE9, 0x03, 0x00, 0x00, 0xFC, 0x08, 0xF7, 0x08, 0xFC,
                                  0x08, 0x54, 0x01, 0xF4, 0x01, 0xCC, 0x00, 0x0E, 0x01,
                                  0x09, 0xEA, 0x07, 0x05, 0x01, 0x0C, 0x00, 0x03};
  r[18] = state;
  return r;
}

// A step: 'r' a live record, 'c' a cached (replayed) record, 'a'/'x' an alarm
// raised/cleared (after a replay when 'c' came last), 'n' an exchange without
// a record at s seconds, 'p' the port lost.
struct Step {
  char what;
  int arg;  // state byte, or seconds since the start
};

struct Case {
  const char* name;
  std::vector<Step> steps;
  const char* fired;  // the events' names, in order
};

std::string Fired(const Case& c) {
  const Clock::time_point start{};
  DeviceEvents d("ups1", 1001, std::chrono::seconds(10), start);
  rule_value alarm;
  alarm.alarm_id = "A1";
  alarm.signal_id = "2A2615101001";
  std::string out;
  bool replayed = false;
  for (const Step& s : c.steps) {
    std::vector<NotifyEvent> e;
    const Clock::time_point at = start + std::chrono::seconds(s.arg);
    if (s.what == 'r' || s.what == 'c') {
      replayed = s.what == 'c';
      const auto rec = Record(static_cast<std::uint8_t>(s.arg));
      e = d.Record(5035, rec.data(), rec.size(), replayed, start, 0);
    } else if (s.what == 'a' || s.what == 'x') {
      e = d.Alarm(alarm, s.what == 'a', replayed, 0);
    } else {
      e = d.NoRecord(s.what == 'p', at, 0);
    }
    for (const NotifyEvent& n : e) {
      out += (out.empty() ? "" : ",") + n.name;
      // The device first: the event carries its own time, the text none.
      EXPECT_EQ(n.text.rfind("ups1", 0), 0u) << n.text;
    }
  }
  return out;
}

TEST(NotifyEventsTest, FireOnChangeOnly) {
  const std::vector<Case> cases = {
      {"normal start fires nothing", {{'r', 0x09}, {'r', 0x09}}, ""},
      {"start in a power failure fires it once", {{'r', 0x89}, {'r', 0x89}}, "utility_failure"},
      {"failure and return",
       {{'r', 0x09}, {'r', 0x89}, {'r', 0x09}},
       "utility_failure,utility_restored"},
      {"battery and UPS flags",
       {{'r', 0x00}, {'r', 0x50}, {'r', 0x00}},
       "battery_low,ups_failed,battery_ok,ups_ok"},
      {"a replayed record fires nothing", {{'c', 0x89}}, ""},
      {"after a replay the first live record tells what is not normal",
       {{'c', 0x89}, {'r', 0x89}},
       "utility_failure"},
      {"an alarm raised and cleared",
       {{'r', 0x09}, {'a', 0}, {'x', 0}},
       "alarm_raised,alarm_cleared"},
      {"the replay's alarm that still holds is told once live",
       {{'c', 0x09}, {'a', 0}, {'r', 0x09}, {'r', 0x09}},
       "alarm_raised"},
      {"the replay's alarm cleared by the live record is never told",
       {{'c', 0x09}, {'a', 0}, {'r', 0x09}, {'x', 0}, {'r', 0x09}},
       ""},
      {"silence shorter than the limit", {{'r', 0x09}, {'n', 9}}, ""},
      {"silence for the limit, told once, then restored",
       {{'r', 0x09}, {'n', 10}, {'n', 11}, {'r', 0x09}},
       "link_lost,link_restored"},
      {"a lost port is a lost link at once", {{'r', 0x09}, {'p', 1}, {'n', 20}}, "link_lost"},
  };
  for (const Case& c : cases) EXPECT_EQ(Fired(c), c.fired) << c.name;
}

NotifyEvent Ev(const char* name) {
  NotifyEvent e;
  e.name = name;
  e.device = "ups1";
  return e;
}

std::string Names(const std::vector<NotifyEvent>& v) {
  std::string out;
  for (const NotifyEvent& e : v) out += (out.empty() ? "" : ",") + e.name;
  return out;
}

TEST(NotifyEventsTest, PolicyHoldsRepeatsAndSuppresses) {
  controller::NotifyTarget t;
  t.min_interval_s = 60;
  controller::TargetPolicy p(t);
  EXPECT_EQ(Names(p.Take(Ev("utility_failure"), 0)), "utility_failure");
  EXPECT_EQ(Names(p.Take(Ev("utility_restored"), 1000)), "utility_restored");
  // Within the interval: suppressed, and the state that holds is sent when it ends.
  EXPECT_EQ(Names(p.Take(Ev("utility_failure"), 2000)), "");
  EXPECT_EQ(p.suppressed(), 1u);
  EXPECT_EQ(p.NextWake(), 60000);
  const auto due = p.Due(60000);
  ASSERT_EQ(Names(due), "utility_failure");
  EXPECT_EQ(due[0].details["suppressed"]["utility_failure"].asUInt64(), 1u);

  controller::NotifyTarget held;
  held.after_s = 30;
  held.repeat_s = 100;
  controller::TargetPolicy h(held);
  // Cleared before after_s: neither is sent.
  EXPECT_EQ(Names(h.Take(Ev("link_lost"), 0)), "");
  EXPECT_EQ(Names(h.Take(Ev("link_restored"), 5000)), "");
  EXPECT_EQ(Names(h.Due(40000)), "");
  // Still holding after after_s: sent, repeated, and its clearing follows.
  EXPECT_EQ(Names(h.Take(Ev("utility_failure"), 100000)), "");
  EXPECT_EQ(Names(h.Due(130000)), "utility_failure");
  EXPECT_EQ(Names(h.Due(230000)), "utility_failure");
  EXPECT_EQ(Names(h.Take(Ev("utility_restored"), 240000)), "utility_restored");
}

// An event held back by after_s when the run stops is cut short like a
// delivery under way: left, not lost from the counts.
TEST(NotifyEventsTest, AnEventHeldAtTheStopIsLeft) {
  controller::NotifyTarget t;
  t.name = "pager";
  t.command = {"true"};
  t.events = {"utility_failure"};
  t.after_s = 30;
  controller::Notifier n({t});
  n.Start();
  n.Post(Ev("utility_failure"));
  n.Stop();
  const auto counters = n.Counters();
  ASSERT_EQ(counters.size(), 1u);
  EXPECT_EQ(counters[0].left, 1u);
  EXPECT_EQ(counters[0].delivered, 0u);
}

}  // namespace
