// An event told to the operator and to the site's notification targets: a
// condition of a device (or of qdx-host itself) that changed.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <string>
#include <vector>

namespace controller {

struct NotifyEvent {
  std::string name;                        // one of event_kinds.h
  std::string device;                      // the device's name; "qdx-host" for its own events
  std::uint32_t data_id = 0;               // 0 for qdx-host's own events
  std::int64_t time_ms = 0;                // UTC, since 1970
  std::string text;                        // the one line the terminal prints
  Json::Value details{Json::objectValue};  // value, limit, unit, flags...
  bool own = false;                        // qdx-host's own event: device filters do not apply
};

// Every event name a target may ask for, raise before clear, in event_kinds.h's order.
const std::vector<std::string>& EventNames();
bool IsEventName(const std::string& name);
// Those whose repeats the event log counts in one row, in the same order.
std::vector<std::string> CountedEventNames();

// The condition an event raises or clears ("utility", "alarm:ID"...), and
// whether it raises it; empty for events of no condition (started, test...).
std::string ConditionOf(const NotifyEvent& e, bool* raises = nullptr);

// What a repeat must share with the event, beyond its name and device, for
// the event log to count both in one row: its condition; empty when the
// event's kind is not counted.
std::string RepeatKey(const NotifyEvent& e);

// The event as the JSON a target receives, on one line.
std::string EventJson(const NotifyEvent& e);

}  // namespace controller
