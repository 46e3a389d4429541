#include "controller/config/site_config.h"

#include <json/reader.h>
#include <stdlib.h>

#include <algorithm>
#include <climits>
#include <map>
#include <memory>
#include <set>

#include "controller/common/decimal.h"
#include "controller/common/device_name.h"
#include "controller/common/file.h"
#include "controller/common/json_scan.h"
#include "controller/common/printable.h"
#include "controller/framework/device_settings.h"
#include "controller/framework/known_keys.h"

namespace controller {

namespace {

constexpr char kPlugins[] = "plugins";
constexpr char kDevices[] = "devices";
constexpr char kHistory[] = "history";
constexpr long long kMaxHistoryBound = INT_MAX;
// Reading and parsing take many times the file's size in memory; a site file
// of a few devices is a few KiB.
constexpr std::size_t kMaxSiteBytes = 16 * 1024 * 1024;
constexpr int kMaxSiteDepth = 64;
// Each value costs the parser about 100 bytes, an item of a list as small as
// "0," 50 times its size: 16 MiB of them would take 800 MB. A device takes
// about 20 values, so this leaves room for 10,000 devices in some 20 MB.
constexpr std::size_t kMaxSiteValues = 200000;
constexpr std::size_t kSiteDevicesRoom = 10000;

// The keys of the site file's own objects.
const KnownKeys kSiteKeys = {kPlugins, kDevices, kHistory, "notify"};
const KnownKeys kDeviceKeys = {"name",
                               "type",
                               "data_id",
                               "port",
                               "poll_interval_ms",
                               "reply_timeout_ms",
                               "cache_max_age_s",
                               "link_lost_after_s",
                               "settings"};

[[noreturn]] void Fail(const std::string& origin, const std::string& where,
                       const std::string& what) {
  throw std::runtime_error(origin + ": " + where + " " + what);
}

std::string Quoted(const std::string& key) { return "\"" + key + "\""; }

std::string Resolve(const std::string& path, const std::string& base) {
  if (path.empty() || path[0] == '/' || base.empty()) return path;
  return base + "/" + path;
}

void CheckKeys(const Json::Value& obj, const KnownKeys& known, const std::string& origin,
               const std::string& where) {
  std::string key;
  std::string hint;
  if (UnknownKey(obj, known, key, hint))
    Fail(origin, Printable(where + Quoted(key)),
         "is not a known key" + Printable(DidYouMean(hint)));
}

// These texts reach terminals and logs: a newline or an escape sequence in
// them would forge lines or rewrite the screen.
std::string NonEmptyText(const Json::Value& v, const std::string& origin,
                         const std::string& where) {
  if (!v.isString() || v.asString().empty()) Fail(origin, where, "must be a non-empty text");
  const std::string control = ControlCharacterIn(v.asString());
  if (!control.empty()) Fail(origin, where, "holds the control character " + control);
  return v.asString();
}

// A name every output carries: the one rule for device and target names.
std::string Name(const Json::Value& v, const std::string& origin, const std::string& where) {
  const std::string fault = v.isString() ? NameFault(v.asString()) : "must be a non-empty text";
  if (!fault.empty()) Fail(origin, where, fault);
  return v.asString();
}

// Where a port leads, so that two spellings of one port (a link under
// /dev/serial/by-id) compare equal; the text itself when it does not exist.
std::string RealPort(const std::string& port) {
  char buf[PATH_MAX];
  return ::realpath(port.c_str(), buf) != nullptr ? std::string(buf) : port;
}

// A whole number within [lo, hi]; JSON doubles with a fraction are refused.
long long WholeNumber(const Json::Value& v, long long lo, long long hi, const std::string& origin,
                      const std::string& where) {
  const std::string range =
      "must be a whole number from " + std::to_string(lo) + " to " + std::to_string(hi);
  if (!v.isIntegral() || v.isBool()) Fail(origin, where, range);
  const long long n = v.isUInt64() ? static_cast<long long>(std::min<Json::UInt64>(
                                         v.asUInt64(), static_cast<Json::UInt64>(LLONG_MAX)))
                                   : static_cast<long long>(v.asInt64());
  if (n < lo || n > hi) Fail(origin, where, range);
  return n;
}

// "sim:SCENARIO" or "sim:SCENARIO:SEED".
void ParseSimPort(const std::string& port, DeviceConfig& dev, const std::string& origin,
                  const std::string& where) {
  const std::string rest = port.substr(sizeof(kSimPrefix) - 1);
  const auto colon = rest.find(':');
  dev.sim_scenario = rest.substr(0, colon);
  if (dev.sim_scenario.empty()) Fail(origin, where, "names no simulator scenario");
  if (colon == std::string::npos) return;
  const std::string seed = rest.substr(colon + 1);
  const bool digits = !seed.empty() && seed.find_first_not_of("0123456789") == std::string::npos;
  if (!digits) Fail(origin, where, "has a simulator seed that is not a whole number");
  const std::optional<std::uint32_t> n = ParseDecimal<std::uint32_t>(seed);
  if (!n) Fail(origin, where, "has a simulator seed above 4294967295");
  dev.sim_seed = *n;
}

DeviceConfig ParseDevice(const Json::Value& d, std::size_t index, const std::string& origin) {
  const std::string at = Quoted(kDevices) + "[" + std::to_string(index) + "]";
  if (!d.isObject()) Fail(origin, at, "must be an object");
  CheckKeys(d, kDeviceKeys, origin, at + ".");
  DeviceConfig dev;
  for (const char* key : {"type", "data_id", "port"}) {
    if (!d.isMember(key)) Fail(origin, at + "." + Quoted(key), "is missing");
  }
  dev.type = Name(d["type"], origin, at + ".\"type\"");
  dev.data_id = static_cast<std::uint32_t>(
      WholeNumber(d["data_id"], 1, UINT32_MAX, origin, at + ".\"data_id\""));
  dev.name = d.isMember("name") ? Name(d["name"], origin, at + ".\"name\"")
                                : dev.type + "#" + std::to_string(dev.data_id);
  const std::string port = NonEmptyText(d["port"], origin, at + ".\"port\"");
  if (port.compare(0, sizeof(kSimPrefix) - 1, kSimPrefix) == 0) {
    ParseSimPort(port, dev, origin, at + ".\"port\"");
  } else {
    dev.port = port;
  }
  if (d.isMember("poll_interval_ms"))
    dev.poll_interval_ms =
        static_cast<int>(WholeNumber(d["poll_interval_ms"], kMinPollIntervalMs, kMaxPollIntervalMs,
                                     origin, at + ".\"poll_interval_ms\""));
  if (d.isMember("reply_timeout_ms"))
    dev.reply_timeout_ms =
        static_cast<int>(WholeNumber(d["reply_timeout_ms"], kMinReplyTimeoutMs, kMaxReplyTimeoutMs,
                                     origin, at + ".\"reply_timeout_ms\""));
  if (d.isMember("cache_max_age_s"))
    dev.cache_max_age_s =
        static_cast<int>(WholeNumber(d["cache_max_age_s"], kMinCacheMaxAgeS, kMaxCacheMaxAgeS,
                                     origin, at + ".\"cache_max_age_s\""));
  if (d.isMember("link_lost_after_s"))
    dev.link_lost_after_s = static_cast<int>(WholeNumber(
        d["link_lost_after_s"], 1, kMaxCacheMaxAgeS, origin, at + ".\"link_lost_after_s\""));
  if (d.isMember("settings")) {
    if (!d["settings"].isObject()) Fail(origin, at + ".\"settings\"", "must be an object");
    // Checked here, before any device exists: a plug-in may take a bad value
    // silently (a mode of 0 turns every check off) or fail without naming it.
    // Before the copy: a large bad one would take its memory twice.
    try {
      CheckDeviceSettings(d["settings"]);
    } catch (const std::invalid_argument& e) {
      throw std::runtime_error(origin + ": device \"" + dev.name + "\": " + e.what());
    }
    dev.settings = d["settings"];
  }
  return dev;
}

HistoryLimits ParseHistory(const Json::Value& h, const std::string& origin) {
  HistoryLimits out;
  if (h.isNull()) return out;
  const std::string at = Quoted(kHistory);
  if (!h.isObject()) Fail(origin, at, "must be an object");
  CheckKeys(h,
            {"keep_days", "max_mb", "min_free_mb", "minute_days", "ten_minute_days", "hour_days"},
            origin, at + ".");
  const auto bound = [&](const char* key) {
    return WholeNumber(h[key], 0, kMaxHistoryBound, origin, at + "." + Quoted(key));
  };
  const std::pair<const char*, int*> days[] = {{"keep_days", &out.keep_days},
                                               {"minute_days", &out.minute_days},
                                               {"ten_minute_days", &out.ten_minute_days},
                                               {"hour_days", &out.hour_days}};
  for (const auto& d : days)
    if (h.isMember(d.first)) *d.second = static_cast<int>(bound(d.first));
  if (h.isMember("max_mb")) out.max_mb = bound("max_mb");
  if (h.isMember("min_free_mb")) {
    out.min_free_mb = bound("min_free_mb");
    out.min_free_set = true;
  }
  return out;
}

}  // namespace

SiteConfig ParseSite(const Json::Value& doc, const std::string& origin,
                     const std::string& plugin_dir) {
  if (!doc.isObject()) Fail(origin, "the document", "must be a JSON object");
  CheckKeys(doc, kSiteKeys, origin, "");
  SiteConfig site;
  site.history = ParseHistory(doc[kHistory], origin);

  const Json::Value& plugins = doc[kPlugins];
  if (!plugins.isArray() || plugins.empty())
    Fail(origin, Quoted(kPlugins), "must be a non-empty list of plug-in paths");
  for (Json::ArrayIndex i = 0; i < plugins.size(); ++i) {
    const std::string where = Quoted(kPlugins) + "[" + std::to_string(i) + "]";
    site.plugins.push_back(Resolve(NonEmptyText(plugins[i], origin, where), plugin_dir));
  }

  const Json::Value& devices = doc[kDevices];
  if (!devices.isArray() || devices.empty())
    Fail(origin, Quoted(kDevices), "must be a non-empty list of devices");
  std::set<std::string> names;
  std::set<std::uint32_t> ids;
  std::map<std::string, std::size_t> ports;  // real path, device index
  for (Json::ArrayIndex i = 0; i < devices.size(); ++i) {
    DeviceConfig dev = ParseDevice(devices[i], i, origin);
    const std::string at = Quoted(kDevices) + "[" + std::to_string(i) + "]";
    if (!names.insert(dev.name).second)
      Fail(origin, at + ".\"name\"", "repeats the device name " + dev.name);
    // The data id keys the history, so two devices must never share one.
    if (!ids.insert(dev.data_id).second)
      Fail(origin, at + ".\"data_id\"", "repeats the data id " + std::to_string(dev.data_id));
    // A second open of a port would fail as if another program held it, or
    // both devices would read each other's replies. Each "sim:" port is a
    // simulator of its own.
    if (!dev.port.empty()) {
      const std::string real = RealPort(dev.port);
      const auto taken = ports.emplace(real, i);
      if (!taken.second) {
        const DeviceConfig& first = site.devices[taken.first->second];
        Fail(origin, at + ".\"port\"",
             "of device \"" + dev.name + "\" is " + dev.port +
                 (real != dev.port ? " (" + real + ")" : "") + ", the port of device \"" +
                 first.name + "\" (" + Quoted(kDevices) + "[" +
                 std::to_string(taken.first->second) + "]) too; a port serves one device");
      }
    }
    site.devices.push_back(std::move(dev));
  }
  site.notify =
      ParseNotify(doc["notify"], origin, std::vector<std::string>(names.begin(), names.end()));
  return site;
}

SiteConfig LoadSite(const std::string& path, const std::string& plugin_dir) {
  std::optional<std::string> read = ReadFileUpTo(path, kMaxSiteBytes);
  if (!read) throw std::runtime_error("cannot read site file " + path);
  std::string& body = *read;
  if (body.size() > kMaxSiteBytes)
    throw std::runtime_error(path + ": larger than " +
                             std::to_string(kMaxSiteBytes / (1024 * 1024)) +
                             " MiB; a site file is a few KiB");
  const JsonShape shape = ScanJson(body);
  if (shape.depth > kMaxSiteDepth)
    throw std::runtime_error(path + ": nested deeper than " + std::to_string(kMaxSiteDepth) +
                             " levels");
  if (shape.values > kMaxSiteValues)
    throw std::runtime_error(path + ": holds more than " + std::to_string(kMaxSiteValues) +
                             " JSON values, room for " + std::to_string(kSiteDevicesRoom) +
                             " devices; a site file of a few devices holds a few hundred");
  Json::CharReaderBuilder builder;
  builder["rejectDupKeys"] = true;
  builder["failIfExtra"] = true;
  builder["stackLimit"] = kMaxSiteDepth + 1;
  builder["collectComments"] = false;  // never used; kept, they would cost memory per value
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value doc;
  std::string errors;
  try {
    if (!reader->parse(body.data(), body.data() + body.size(), &doc, &errors))
      throw std::runtime_error(path + ": not valid JSON: " + errors);
  } catch (const Json::Exception& e) {
    throw std::runtime_error(path + ": not valid JSON: " + e.what());
  }
  body = std::string();
  return ParseSite(doc, path, plugin_dir.empty() ? FolderOf(path) : plugin_dir);
}

}  // namespace controller
