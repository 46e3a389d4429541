// Every kind of event in one table: its names, the condition it raises and
// clears, and what of a record it watches. Nothing else spells an event name.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace controller {

// In the table's order.
enum class EventKindId : std::uint8_t {
  kAlarm,
  kUtility,
  kBattery,
  kUps,
  kLink,
  kHistory,
  kStarted,
  kStopping,
  kTest,
};
constexpr std::size_t kEventKindCount = 9;

struct EventKind {
  EventKindId id;
  const char* raise;        // the event's name, the raising one of a pair
  const char* clear;        // the clearing one; null for a single event
  const char* condition;    // raised and cleared ("alarm" gets ":ID"); null for none
  const char* when;         // the condition in words
  bool holdable;            // its raise waits for a target's after_s
  bool counted;             // the event log counts its repeats in one row (a flapping line)
  std::uint8_t flag;        // the record's state flag it follows; 0 for none
  const char* measurement;  // key of the measurement told with it; null for none
  const char* raise_text;   // the text after the device's name, for flag events
  const char* clear_text;
};

const std::array<EventKind, kEventKindCount>& EventKinds();
const EventKind& KindOf(EventKindId id);
// The kind named so, raising or clearing (raises tells which); null for none.
const EventKind* FindKind(const std::string& name, bool* raises = nullptr);
inline const char* EventName(EventKindId id, bool raise = true) {
  return raise ? KindOf(id).raise : KindOf(id).clear;
}

}  // namespace controller
