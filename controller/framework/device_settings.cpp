#include "controller/framework/device_settings.h"

#include <json/writer.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <functional>
#include <stdexcept>

#include "controller/common/decimal.h"
#include "controller/common/printable.h"
#include "controller/framework/known_keys.h"

namespace controller {

namespace {

constexpr char kAo[] = "aoSetting";
constexpr char kTh[] = "thresholdSetting";
constexpr char kApp[] = "appSetting";
constexpr std::size_t kMaxShownText = 40;

// The keys each object of a settings document may hold: what the plug-in reads
// and what the controller reads. Anything else is a misspelling that would be
// taken silently (a threshold without its value never alarms).
const KnownKeys kSettingsKeys = {kApp, kAo, kTh};
const KnownKeys kAppKeys = {"b_mode"};
const KnownKeys kAoKeys = {"absEnabled", "absDelta",      "pctEnabled",
                           "pctDelta",   "periodEnabled", "periodMinutes"};
const KnownKeys kThresholdKeys = {"level",      "value",     "low", "hysteresis",
                                  "SignalName", "NMAlarmID", "ID",  "SignalNumber"};

// The offending value as a person would write it, briefly.
std::string Shown(const Json::Value& v) {
  switch (v.type()) {
    case Json::nullValue:
      return "null";
    case Json::objectValue:
      return "an object";
    case Json::arrayValue:
      return "a list";
    case Json::stringValue: {
      const std::string text = v.asString();
      if (text.size() <= kMaxShownText) return "\"" + text + "\"";
      return "\"" + text.substr(0, kMaxShownText) + "...\"";
    }
    default: {
      Json::StreamWriterBuilder w;
      w["indentation"] = "";
      w["precision"] = 15;  // 1e39 as written, not 9.9999999999999994e+38
      return Json::writeString(w, v);
    }
  }
}

void OnlyKnownKeys(const Json::Value& obj, const KnownKeys& known, const std::string& path) {
  std::string key;
  std::string hint;
  if (UnknownKey(obj, known, key, hint))
    throw std::invalid_argument(Printable("settings" + (path.empty() ? "" : "." + path) + "." +
                                          key + ": unknown key" + DidYouMean(hint)));
}

[[noreturn]] void Refuse(const std::string& path, const std::string& rule, const Json::Value& v) {
  throw std::invalid_argument(Printable("settings." + path + ": " + rule + ", got " + Shown(v)));
}

bool ReadFlag(const Json::Value& item, const std::string& path, const char* key, bool fallback) {
  const Json::Value& v = item[key];
  if (v.isNull()) return fallback;
  if (!v.isBool()) Refuse(path + "." + key, "must be true or false", v);
  return v.asBool();
}

float ReadNumber(const Json::Value& item, const std::string& path, const char* key,
                 float fallback) {
  const Json::Value& v = item[key];
  if (v.isNull()) return fallback;
  if (!v.isNumeric() || v.isBool()) Refuse(path + "." + key, "must be a number", v);
  // Past a float's range the value would become infinite: an alarm that never
  // fires or never clears.
  const double n = v.asDouble();
  if (!(std::fabs(n) <= FLT_MAX)) Refuse(path + "." + key, "must be within +-3.4e38", v);
  return static_cast<float>(n);
}

// A band or period below 0 turns its check inside out: an alarm that flaps,
// a report on every poll.
float ReadSize(const Json::Value& item, const std::string& path, const char* key) {
  const float n = ReadNumber(item, path, key, 0.0f);
  if (n < 0.0f) Refuse(path + "." + key, "must be 0 or more", item[key]);
  return n;
}

const Json::Value* Section(const Json::Value& setting, const char* name) {
  if (!setting.isObject()) return nullptr;
  const Json::Value& s = setting[name];
  if (s.isNull()) return nullptr;
  if (!s.isObject()) Refuse(name, "must be an object", s);
  return &s;
}

// Whole decimal text within int: optional sign, then digits only.
bool IntText(const std::string& text) {
  const bool plus = !text.empty() && text[0] == '+';
  return ParseDecimal<int>(std::string_view(text).substr(plus ? 1 : 0), !plus).has_value();
}

bool IntValue(const Json::Value& v) {
  if (v.isString()) return IntText(v.asString());
  return v.isIntegral() && !v.isBool() && v.isInt();
}

// Reads the report settings and thresholds, into dev when it is given.
void Load(const Json::Value& setting, QDXVDevice* dev) {
  if (const Json::Value* ao = Section(setting, kAo)) {
    for (auto it = ao->begin(); it != ao->end(); ++it) {
      const std::string id = it.name();
      const std::string path = std::string(kAo) + "." + id;
      if (!it->isObject()) Refuse(path, "must be an object", *it);
      QDXVDevice::BAOSetting s{};
      s.abs_enabled = ReadFlag(*it, path, "absEnabled", false);
      s.abs_delta = ReadSize(*it, path, "absDelta");
      s.pct_enabled = ReadFlag(*it, path, "pctEnabled", false);
      s.pct_delta = ReadSize(*it, path, "pctDelta");
      s.period_enabled = ReadFlag(*it, path, "periodEnabled", false);
      s.period_minutes = ReadSize(*it, path, "periodMinutes");
      if (dev) dev->ao_settings_[id] = s;
    }
  }
  if (const Json::Value* th = Section(setting, kTh)) {
    for (auto it = th->begin(); it != th->end(); ++it) {
      if (!it->isObject() || (*it)["value"].isNull()) continue;  // alarm identities only
      const std::string id = it.name();
      const std::string path = std::string(kTh) + "." + id;
      const float level = ReadNumber(*it, path, "level", 1.0f);
      if (level < 1.0f || level > 1000.0f)
        Refuse(path + ".level", "must be 1 to 1000", (*it)["level"]);
      const float value = ReadNumber(*it, path, "value", 0.0f);
      const bool low = ReadFlag(*it, path, "low", false);
      const float hyst = ReadSize(*it, path, "hysteresis");
      if (!dev) continue;
      dev->threshold_levels_[id] = static_cast<int>(level);
      dev->threshold_values_[id] = value;
      dev->threshold_low_[id] = low;
      dev->threshold_hyst_[id] = hyst;
    }
  }
}

}  // namespace

void LoadDeviceSettings(const Json::Value& setting, QDXVDevice& dev) { Load(setting, &dev); }

void CheckDeviceSettings(const Json::Value& setting) {
  if (!setting.isObject())
    throw std::invalid_argument("settings: must be an object, got " + Shown(setting));
  OnlyKnownKeys(setting, kSettingsKeys, "");
  // What a device reads itself: a mode it would otherwise take as 0 (every
  // check off) and identity parts it would fail on or turn into other text.
  if (const Json::Value* app = Section(setting, kApp)) {
    OnlyKnownKeys(*app, kAppKeys, kApp);
    const Json::Value& mode = (*app)["b_mode"];
    if (!mode.isNull() && !IntValue(mode))
      Refuse(std::string(kApp) + ".b_mode", "must be an integer", mode);
  }
  if (const Json::Value* th = Section(setting, kTh)) {
    for (auto it = th->begin(); it != th->end(); ++it) {
      const std::string path = std::string(kTh) + "." + it.name();
      if (!it->isObject()) Refuse(path, "must be an object", *it);
      OnlyKnownKeys(*it, kThresholdKeys, path);
      for (const char* part : {"SignalName", "NMAlarmID", "ID", "SignalNumber"}) {
        const Json::Value& v = (*it)[part];
        if (!v.isNull() && !v.isString()) Refuse(path + "." + part, "must be a text", v);
      }
    }
  }
  if (const Json::Value* ao = Section(setting, kAo)) {
    for (auto it = ao->begin(); it != ao->end(); ++it) {
      if (it->isObject()) OnlyKnownKeys(*it, kAoKeys, std::string(kAo) + "." + it.name());
    }
  }
  Load(setting, nullptr);
}

std::vector<std::string> UnusedSettingIds(const Json::Value& setting,
                                          const std::function<bool(const std::string&)>& checks,
                                          const std::function<bool(const std::string&)>& reports) {
  std::vector<std::string> unused;
  if (!setting.isObject()) return unused;
  for (const char* section : {kTh, kAo}) {
    const Json::Value& s = setting[section];
    if (!s.isObject()) continue;
    for (const std::string& id : s.getMemberNames()) {
      // Report settings may be keyed by the signal (a template) or the report.
      const bool used = checks(id) || (section == kAo && reports(id));
      if (!used) unused.push_back(Printable(std::string(section) + "." + id));
    }
  }
  return unused;
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

}  // namespace controller
