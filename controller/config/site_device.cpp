#include "controller/config/site_device.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <optional>
#include <stdexcept>

#include "controller/common/decimal.h"
#include "controller/common/device_name.h"
#include "controller/common/printable.h"
#include "controller/framework/device_settings.h"

namespace controller {
namespace site {

namespace {

const KnownKeys kDeviceKeys = {"name",
                               "type",
                               "data_id",
                               "port",
                               "poll_interval_ms",
                               "reply_timeout_ms",
                               "cache_max_age_s",
                               "link_lost_after_s",
                               "settings"};

// A device's bounded numbers, checked in this order.
struct Bounded {
  const char* key;
  long long lo;
  long long hi;
  int DeviceConfig::*field;
};
const Bounded kDeviceNumbers[] = {
    {"poll_interval_ms", kMinPollIntervalMs, kMaxPollIntervalMs, &DeviceConfig::poll_interval_ms},
    {"reply_timeout_ms", kMinReplyTimeoutMs, kMaxReplyTimeoutMs, &DeviceConfig::reply_timeout_ms},
    {"cache_max_age_s", kMinCacheMaxAgeS, kMaxCacheMaxAgeS, &DeviceConfig::cache_max_age_s},
    {"link_lost_after_s", 1, kMaxCacheMaxAgeS, &DeviceConfig::link_lost_after_s}};

// A name every output carries: the one rule for device and target names.
Result<std::string> Name(const Json::Value& v, const std::string& origin,
                         const std::string& where) {
  const std::string fault = v.isString() ? NameFault(v.asString()) : "must be a non-empty text";
  if (!fault.empty()) return At(origin, where, fault);
  return v.asString();
}

// "sim:SCENARIO" or "sim:SCENARIO:SEED".
Status ParseSimPort(const std::string& port, DeviceConfig& dev, const std::string& origin,
                    const std::string& where) {
  const std::string rest = port.substr(sizeof(kSimPrefix) - 1);
  const auto colon = rest.find(':');
  dev.sim_scenario = rest.substr(0, colon);
  if (dev.sim_scenario.empty()) return At(origin, where, "names no simulator scenario");
  if (colon == std::string::npos) return {};
  const std::string seed = rest.substr(colon + 1);
  const bool digits = !seed.empty() && seed.find_first_not_of("0123456789") == std::string::npos;
  if (!digits) return At(origin, where, "has a simulator seed that is not a whole number");
  const std::optional<std::uint32_t> n = ParseDecimal<std::uint32_t>(seed);
  if (!n) return At(origin, where, "has a simulator seed above 4294967295");
  dev.sim_seed = *n;
  return {};
}

// Its type, data id and name, which later messages may name.
Status Identity(const Json::Value& d, DeviceConfig& dev, const std::string& origin,
                const std::string& at) {
  const Result<std::string> type = Name(d["type"], origin, at + ".\"type\"");
  if (!type.ok()) return type.failure();
  dev.type = type.value();
  const Result<long long> id =
      WholeNumber(d["data_id"], 1, UINT32_MAX, origin, at + ".\"data_id\"");
  if (!id.ok()) return id.failure();
  dev.data_id = static_cast<std::uint32_t>(id.value());
  if (!d.isMember("name")) {
    dev.name = dev.type + "#" + std::to_string(dev.data_id);
    return {};
  }
  const Result<std::string> name = Name(d["name"], origin, at + ".\"name\"");
  if (!name.ok()) return name.failure();
  dev.name = name.value();
  return {};
}

Status Port(const Json::Value& d, DeviceConfig& dev, const std::string& origin,
            const std::string& at) {
  const std::string where = at + ".\"port\"";
  const Result<std::string> port = NonEmptyText(d["port"], origin, where);
  if (!port.ok()) return port.failure();
  if (port.value().compare(0, sizeof(kSimPrefix) - 1, kSimPrefix) == 0)
    return ParseSimPort(port.value(), dev, origin, where);
  dev.port = port.value();
  return {};
}

Status Numbers(const Json::Value& d, DeviceConfig& dev, const std::string& origin,
               const std::string& at) {
  for (const Bounded& b : kDeviceNumbers) {
    if (!d.isMember(b.key)) continue;
    const Result<long long> n = WholeNumber(d[b.key], b.lo, b.hi, origin, at + "." + Quoted(b.key));
    if (!n.ok()) return n.failure();
    dev.*b.field = static_cast<int>(n.value());
  }
  return {};
}

Status Settings(const Json::Value& d, DeviceConfig& dev, const std::string& origin,
                const std::string& at) {
  if (!d.isMember("settings")) return {};
  if (!d["settings"].isObject()) return At(origin, at + ".\"settings\"", "must be an object");
  // Checked here, before any device exists: a plug-in may take a bad value
  // silently (a mode of 0 turns every check off) or fail without naming it.
  // Before the copy: a large bad one would take its memory twice.
  try {
    CheckDeviceSettings(d["settings"]);
  } catch (const std::invalid_argument& e) {
    return Fail(origin + ": device \"" + dev.name + "\": " + e.what());
  }
  dev.settings = d["settings"];
  return {};
}

}  // namespace

std::string Quoted(const std::string& key) { return "\"" + key + "\""; }

Failure At(const std::string& origin, const std::string& where, const std::string& what) {
  return Fail(origin + ": " + where + " " + what);
}

Status CheckKeys(const Json::Value& obj, const KnownKeys& known, const std::string& origin,
                 const std::string& where) {
  std::string key;
  std::string hint;
  if (UnknownKey(obj, known, key, hint))
    return At(origin, Printable(where + Quoted(key)),
              "is not a known key" + Printable(DidYouMean(hint)));
  return {};
}

Result<std::string> NonEmptyText(const Json::Value& v, const std::string& origin,
                                 const std::string& where) {
  if (!v.isString() || v.asString().empty()) return At(origin, where, "must be a non-empty text");
  const std::string control = ControlCharacterIn(v.asString());
  if (!control.empty()) return At(origin, where, "holds the control character " + control);
  return v.asString();
}

Result<long long> WholeNumber(const Json::Value& v, long long lo, long long hi,
                              const std::string& origin, const std::string& where) {
  const std::string range =
      "must be a whole number from " + std::to_string(lo) + " to " + std::to_string(hi);
  if (!v.isIntegral() || v.isBool()) return At(origin, where, range);
  const long long n = v.isUInt64() ? static_cast<long long>(std::min<Json::UInt64>(
                                         v.asUInt64(), static_cast<Json::UInt64>(LLONG_MAX)))
                                   : static_cast<long long>(v.asInt64());
  if (n < lo || n > hi) return At(origin, where, range);
  return n;
}

Result<DeviceConfig> ParseDevice(const Json::Value& d, std::size_t index,
                                 const std::string& origin) {
  const std::string at = "\"devices\"[" + std::to_string(index) + "]";
  if (!d.isObject()) return At(origin, at, "must be an object");
  const Status keys = CheckKeys(d, kDeviceKeys, origin, at + ".");
  if (!keys.ok()) return keys.failure();
  for (const char* key : {"type", "data_id", "port"}) {
    if (!d.isMember(key)) return At(origin, at + "." + Quoted(key), "is missing");
  }
  DeviceConfig dev;
  for (const auto step : {Identity, Port, Numbers, Settings}) {
    const Status done = step(d, dev, origin, at);
    if (!done.ok()) return done.failure();
  }
  return dev;
}

}  // namespace site
}  // namespace controller
