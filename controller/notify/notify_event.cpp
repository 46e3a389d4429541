#include "controller/notify/notify_event.h"

#include <json/writer.h>

#include "controller/common/iso_time.h"
#include "controller/notify/event_kinds.h"

namespace controller {

const std::vector<std::string>& EventNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> n;
    for (const EventKind& k : EventKinds()) {
      n.emplace_back(k.raise);
      if (k.clear) n.emplace_back(k.clear);
    }
    return n;
  }();
  return names;
}

bool IsEventName(const std::string& name) { return FindKind(name) != nullptr; }

std::vector<std::string> CountedEventNames() {
  std::vector<std::string> out;
  for (const std::string& name : EventNames()) {
    if (FindKind(name)->counted) out.push_back(name);
  }
  return out;
}

std::string ConditionOf(const NotifyEvent& e, bool* raises) {
  bool up = false;
  const EventKind* k = FindKind(e.name, &up);
  if (k == nullptr || k->condition == nullptr) return std::string();
  if (raises) *raises = up;
  std::string c = k->condition;
  // Each alarm is a condition of its own.
  if (k->id == EventKindId::kAlarm) c += ":" + e.details.get("alarm_id", "").asString();
  return c;
}

std::string RepeatKey(const NotifyEvent& e) {
  const EventKind* k = FindKind(e.name);
  return k != nullptr && k->counted ? ConditionOf(e) : std::string();
}

std::string EventJson(const NotifyEvent& e) {
  Json::Value v(Json::objectValue);
  v["event"] = e.name;
  v["device"] = e.device;
  v["data_id"] = e.data_id;
  v["time"] = FormatUtcMs(e.time_ms);
  v["time_ms"] = static_cast<Json::Int64>(e.time_ms);
  v["text"] = e.text;
  v["details"] = e.details;
  Json::StreamWriterBuilder b;
  b["indentation"] = "";
  return Json::writeString(b, v);
}

}  // namespace controller
