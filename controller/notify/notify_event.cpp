#include "controller/notify/notify_event.h"

#include <json/writer.h>

#include <algorithm>

#include "controller/common/iso_time.h"

namespace controller {

namespace {

struct Pair {
  const char* raise;
  const char* clear;
  const char* condition;
};

constexpr Pair kPairs[] = {
    {"alarm_raised", "alarm_cleared", "alarm"}, {"utility_failure", "utility_restored", "utility"},
    {"battery_low", "battery_ok", "battery"},   {"ups_failed", "ups_ok", "ups"},
    {"link_lost", "link_restored", "link"},     {"history_failing", "history_ok", "history"},
};

}  // namespace

const std::vector<std::string>& EventNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> n;
    for (const Pair& p : kPairs) {
      n.emplace_back(p.raise);
      n.emplace_back(p.clear);
    }
    n.emplace_back("started");
    n.emplace_back("stopping");
    n.emplace_back("test");
    return n;
  }();
  return names;
}

bool IsEventName(const std::string& name) {
  const auto& n = EventNames();
  return std::find(n.begin(), n.end(), name) != n.end();
}

std::string ConditionOf(const NotifyEvent& e, bool* raises) {
  for (const Pair& p : kPairs) {
    const bool up = e.name == p.raise;
    if (!up && e.name != p.clear) continue;
    if (raises) *raises = up;
    std::string c = p.condition;
    // Each alarm is a condition of its own.
    if (c == "alarm") c += ":" + e.details.get("alarm_id", "").asString();
    return c;
  }
  return std::string();
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
