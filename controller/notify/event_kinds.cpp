#include "controller/notify/event_kinds.h"

#include "controller/status/ups_fields.h"

namespace controller {

namespace {

using K = EventKindId;

constexpr std::array<EventKind, kEventKindCount> kKinds = {{
    {K::kAlarm, "alarm_raised", "alarm_cleared", "alarm", "a threshold alarm changes", true, true,
     0, nullptr, nullptr, nullptr},
    {K::kUtility, "utility_failure", "utility_restored", "utility",
     "the utility-failure flag sets, clears", true, true, zota::kUtilityFail, "input_voltage",
     "utility failure: running on battery", "utility power restored"},
    {K::kBattery, "battery_low", "battery_ok", "battery", "the battery-low flag sets, clears", true,
     true, zota::kBatteryLow, "battery_voltage", "battery low", "battery no longer low"},
    {K::kUps, "ups_failed", "ups_ok", "ups", "the UPS-failed flag sets, clears", true, true,
     zota::kUpsFailed, nullptr, "UPS failed", "UPS no longer failed"},
    {K::kLink, "link_lost", "link_restored", "link",
     "no record for the device's link_lost_after_s, or its port lost; restored with the next "
     "record",
     true, true, 0, nullptr, nullptr, nullptr},
    {K::kHistory, "history_failing", "history_ok", "history",
     "the history's state is other than ok for 60 s, or records were dropped; and back", false,
     false, 0, nullptr, nullptr, nullptr},
    {K::kStarted, "started", nullptr, nullptr, "qdx-host itself started", false, false, 0, nullptr,
     nullptr, nullptr},
    {K::kStopping, "stopping", nullptr, nullptr, "qdx-host itself stops", false, false, 0, nullptr,
     nullptr, nullptr},
    {K::kTest, "test", nullptr, nullptr, "sent by notify-test to every target", false, false, 0,
     nullptr, nullptr, nullptr},
}};

// A kind is found by its id as an index; a measurement is one the record has.
constexpr bool KindsWellFormed() {
  for (std::size_t i = 0; i < kKinds.size(); ++i) {
    if (static_cast<std::size_t>(kKinds[i].id) != i) return false;
    if (kKinds[i].measurement == nullptr) continue;
    bool found = false;
    for (const zota::Measurement& m : zota::kMeasurements) {
      const char* a = m.key;
      const char* b = kKinds[i].measurement;
      while (*a != '\0' && *a == *b) ++a, ++b;
      found = found || *a == *b;
    }
    if (!found) return false;
  }
  return true;
}
static_assert(KindsWellFormed(), "event kinds in id order, each measurement a record's key");

}  // namespace

const std::array<EventKind, kEventKindCount>& EventKinds() { return kKinds; }

const EventKind& KindOf(EventKindId id) { return kKinds[static_cast<std::size_t>(id)]; }

const EventKind* FindKind(const std::string& name, bool* raises) {
  for (const EventKind& k : kKinds) {
    const bool up = name == k.raise;
    if (!up && (k.clear == nullptr || name != k.clear)) continue;
    if (raises) *raises = up;
    return &k;
  }
  return nullptr;
}

}  // namespace controller
