#include "controller/host_settings.h"

#include <stdexcept>

namespace host {

namespace {

std::string KeyPath(const std::string& section, const std::string& id, const char* key) {
  return "\"" + section + "\".\"" + id + "\".\"" + key + "\"";
}

bool ReadFlag(const Json::Value& item, const std::string& section, const std::string& id,
              const char* key, bool fallback) {
  const Json::Value& v = item[key];
  if (v.isNull()) return fallback;
  if (!v.isBool())
    throw std::invalid_argument("settings: " + KeyPath(section, id, key) +
                                " must be true or false");
  return v.asBool();
}

float ReadNumber(const Json::Value& item, const std::string& section, const std::string& id,
                 const char* key, float fallback) {
  const Json::Value& v = item[key];
  if (v.isNull()) return fallback;
  if (!v.isNumeric() || v.isBool())
    throw std::invalid_argument("settings: " + KeyPath(section, id, key) + " must be a number");
  return v.asFloat();
}

const Json::Value* Section(const Json::Value& setting, const char* name) {
  if (!setting.isObject()) return nullptr;
  const Json::Value& s = setting[name];
  if (s.isNull()) return nullptr;
  if (!s.isObject())
    throw std::invalid_argument(std::string("settings: \"") + name + "\" must be an object");
  return &s;
}

}  // namespace

void LoadDeviceSettings(const Json::Value& setting, QDXVDevice& dev) {
  static const std::string kAo = "aoSetting";
  static const std::string kTh = "thresholdSetting";
  if (const Json::Value* ao = Section(setting, kAo.c_str())) {
    for (auto it = ao->begin(); it != ao->end(); ++it) {
      const std::string id = it.name();
      if (!it->isObject())
        throw std::invalid_argument("settings: \"" + kAo + "\".\"" + id + "\" must be an object");
      QDXVDevice::BAOSetting s{};
      s.abs_enabled = ReadFlag(*it, kAo, id, "absEnabled", false);
      s.abs_delta = ReadNumber(*it, kAo, id, "absDelta", 0.0f);
      s.pct_enabled = ReadFlag(*it, kAo, id, "pctEnabled", false);
      s.pct_delta = ReadNumber(*it, kAo, id, "pctDelta", 0.0f);
      s.period_enabled = ReadFlag(*it, kAo, id, "periodEnabled", false);
      s.period_minutes = ReadNumber(*it, kAo, id, "periodMinutes", 0.0f);
      dev.ao_settings_[id] = s;
    }
  }
  if (const Json::Value* th = Section(setting, kTh.c_str())) {
    for (auto it = th->begin(); it != th->end(); ++it) {
      if (!it->isObject() || (*it)["value"].isNull()) continue;  // alarm identities only
      const std::string id = it.name();
      const float level = ReadNumber(*it, kTh, id, "level", 1.0f);
      if (level < 1.0f || level > 1000.0f)
        throw std::invalid_argument("settings: " + KeyPath(kTh, id, "level") +
                                    " must be between 1 and 1000");
      dev.threshold_levels_[id] = static_cast<int>(level);
      dev.threshold_values_[id] = ReadNumber(*it, kTh, id, "value", 0.0f);
      dev.threshold_low_[id] = ReadFlag(*it, kTh, id, "low", false);
      dev.threshold_hyst_[id] = ReadNumber(*it, kTh, id, "hysteresis", 0.0f);
    }
  }
}

boost::optional<rule_value> FormThresholdItem(const QDXVDevice& dev, const std::string& signal_id,
                                              const std::string& sub_id, float value, int kind) {
  const auto level = dev.threshold_levels_.find(signal_id);
  const auto limit = dev.threshold_values_.find(signal_id);
  // Entries with level 0 are placeholders, not configured thresholds.
  if (level == dev.threshold_levels_.end() || level->second < 1 ||
      limit == dev.threshold_values_.end()) {
    return boost::none;
  }
  rule_value item;
  item.signal_id = signal_id;
  item.sub_id = sub_id;
  item.alarm_id = signal_id;
  item.value = value;
  item.threshold = limit->second;
  item.level = level->second;
  item.kind = kind;
  const auto low = dev.threshold_low_.find(signal_id);
  item.low = low != dev.threshold_low_.end() && low->second;
  item.name = (item.low ? "below " : "above ") + std::to_string(item.threshold);
  return item;
}

bool EvaluateThresholds(QDXVDevice& dev, const std::vector<rule_value>& items) {
  bool changed = false;
  dev.raised_ids_.clear();
  dev.cleared_ids_.clear();
  for (const rule_value& item : items) {
    const auto h = dev.threshold_hyst_.find(item.signal_id);
    const float hyst = h == dev.threshold_hyst_.end() ? 0.0f : h->second;
    bool& active = dev.alarm_active_[item.signal_id];
    bool now;
    if (item.low) {
      now = active ? item.value < item.threshold + hyst : item.value < item.threshold;
    } else {
      now = active ? item.value > item.threshold - hyst : item.value > item.threshold;
    }
    dev.last_values_[item.signal_id] = item.value;
    if (now == active) continue;
    active = now;
    changed = true;
    (now ? dev.raised_ids_ : dev.cleared_ids_).push_back(item.signal_id);
    if (dev.sinks_.alarm) dev.sinks_.alarm(item, now);
  }
  return changed;
}

}  // namespace host
