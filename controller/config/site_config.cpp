#include "controller/config/site_config.h"

#include <json/reader.h>
#include <stdlib.h>

#include <climits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>

#include "controller/common/file.h"
#include "controller/common/json_scan.h"
#include "controller/common/result.h"
#include "controller/config/site_device.h"

namespace controller {

namespace {

using site::At;
using site::Quoted;

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
const KnownKeys kHistoryKeys = {"keep_days",       "max_mb",    "min_free_mb",  "minute_days",
                                "ten_minute_days", "hour_days", "log_keep_days"};

std::string Resolve(const std::string& path, const std::string& base) {
  if (path.empty() || path[0] == '/' || base.empty()) return path;
  return base + "/" + path;
}

// Where a port leads, so that two spellings of one port (a link under
// /dev/serial/by-id) compare equal; the text itself when it does not exist.
std::string RealPort(const std::string& port) {
  char buf[PATH_MAX];
  return ::realpath(port.c_str(), buf) != nullptr ? std::string(buf) : port;
}

Result<HistoryLimits> ParseHistory(const Json::Value& h, const std::string& origin) {
  HistoryLimits out;
  if (h.isNull()) return out;
  const std::string at = Quoted(kHistory);
  if (!h.isObject()) return At(origin, at, "must be an object");
  const Status keys = site::CheckKeys(h, kHistoryKeys, origin, at + ".");
  if (!keys.ok()) return keys.failure();
  std::int64_t days[] = {out.keep_days, out.minute_days, out.ten_minute_days, out.hour_days,
                         out.log_keep_days};
  const std::pair<const char*, std::int64_t*> bounds[] = {
      {"keep_days", &days[0]},          {"minute_days", &days[1]},   {"ten_minute_days", &days[2]},
      {"hour_days", &days[3]},          {"log_keep_days", &days[4]}, {"max_mb", &out.max_mb},
      {"min_free_mb", &out.min_free_mb}};
  for (const auto& b : bounds) {
    if (!h.isMember(b.first)) continue;
    const Result<long long> n =
        site::WholeNumber(h[b.first], 0, kMaxHistoryBound, origin, at + "." + Quoted(b.first));
    if (!n.ok()) return n.failure();
    *b.second = n.value();
  }
  // Each at most kMaxHistoryBound: an int holds it.
  out.keep_days = static_cast<int>(days[0]);
  out.minute_days = static_cast<int>(days[1]);
  out.ten_minute_days = static_cast<int>(days[2]);
  out.hour_days = static_cast<int>(days[3]);
  out.log_keep_days = static_cast<int>(days[4]);
  out.min_free_set = h.isMember("min_free_mb");
  return out;
}

Result<std::vector<std::string>> ParsePlugins(const Json::Value& plugins, const std::string& origin,
                                              const std::string& plugin_dir) {
  if (!plugins.isArray() || plugins.empty())
    return At(origin, Quoted(kPlugins), "must be a non-empty list of plug-in paths");
  std::vector<std::string> out;
  for (Json::ArrayIndex i = 0; i < plugins.size(); ++i) {
    const std::string where = Quoted(kPlugins) + "[" + std::to_string(i) + "]";
    const Result<std::string> path = site::NonEmptyText(plugins[i], origin, where);
    if (!path.ok()) return path.failure();
    out.push_back(Resolve(path.value(), plugin_dir));
  }
  return out;
}

// What the devices before one hold that it must not repeat.
struct Taken {
  std::set<std::string> names;
  std::set<std::uint32_t> ids;
  std::map<std::string, std::size_t> ports;  // real path, device index
};

Status CheckUnique(const DeviceConfig& dev, std::size_t i, const std::vector<DeviceConfig>& before,
                   Taken& taken, const std::string& origin) {
  const std::string at = Quoted(kDevices) + "[" + std::to_string(i) + "]";
  if (!taken.names.insert(dev.name).second)
    return At(origin, at + ".\"name\"", "repeats the device name " + dev.name);
  // The data id keys the history, so two devices must never share one.
  if (!taken.ids.insert(dev.data_id).second)
    return At(origin, at + ".\"data_id\"", "repeats the data id " + std::to_string(dev.data_id));
  // A second open of a port would fail as if another program held it, or
  // both devices would read each other's replies. Each "sim:" port is a
  // simulator of its own.
  if (dev.port.empty()) return {};
  const std::string real = RealPort(dev.port);
  const auto port = taken.ports.emplace(real, i);
  if (port.second) return {};
  const DeviceConfig& first = before[port.first->second];
  return At(origin, at + ".\"port\"",
            "of device \"" + dev.name + "\" is " + dev.port +
                (real != dev.port ? " (" + real + ")" : "") + ", the port of device \"" +
                first.name + "\" (" + Quoted(kDevices) + "[" + std::to_string(port.first->second) +
                "]) too; a port serves one device");
}

Result<std::vector<DeviceConfig>> ParseDevices(const Json::Value& devices,
                                               const std::string& origin) {
  if (!devices.isArray() || devices.empty())
    return At(origin, Quoted(kDevices), "must be a non-empty list of devices");
  std::vector<DeviceConfig> out;
  Taken taken;
  for (Json::ArrayIndex i = 0; i < devices.size(); ++i) {
    Result<DeviceConfig> dev = site::ParseDevice(devices[i], i, origin);
    if (!dev.ok()) return dev.failure();
    const Status unique = CheckUnique(dev.value(), i, out, taken, origin);
    if (!unique.ok()) return unique.failure();
    out.push_back(std::move(dev).value());
  }
  return out;
}

// The notify room refuses by throwing; here that is a failure like the others.
Result<std::vector<NotifyTarget>> ParseTargets(const Json::Value& list, const std::string& origin,
                                               const std::vector<DeviceConfig>& devices) {
  std::set<std::string> names;
  for (const DeviceConfig& dev : devices) names.insert(dev.name);
  try {
    return ParseNotify(list, origin, std::vector<std::string>(names.begin(), names.end()));
  } catch (const std::runtime_error& e) {
    return Fail(e.what());
  }
}

Result<SiteConfig> CheckSite(const Json::Value& doc, const std::string& origin,
                             const std::string& plugin_dir) {
  if (!doc.isObject()) return At(origin, "the document", "must be a JSON object");
  const Status keys = site::CheckKeys(doc, kSiteKeys, origin, "");
  if (!keys.ok()) return keys.failure();
  SiteConfig out;
  Result<HistoryLimits> history = ParseHistory(doc[kHistory], origin);
  if (!history.ok()) return history.failure();
  out.history = history.value();
  Result<std::vector<std::string>> plugins = ParsePlugins(doc[kPlugins], origin, plugin_dir);
  if (!plugins.ok()) return plugins.failure();
  out.plugins = std::move(plugins).value();
  Result<std::vector<DeviceConfig>> devices = ParseDevices(doc[kDevices], origin);
  if (!devices.ok()) return devices.failure();
  out.devices = std::move(devices).value();
  Result<std::vector<NotifyTarget>> notify = ParseTargets(doc["notify"], origin, out.devices);
  if (!notify.ok()) return notify.failure();
  out.notify = std::move(notify).value();
  return out;
}

// The file's document, within the bounds of its size, depth and count of values.
Result<Json::Value> ReadDocument(const std::string& path) {
  std::optional<std::string> read = ReadFileUpTo(path, kMaxSiteBytes);
  if (!read) return Fail("cannot read site file " + path);
  const std::string& body = *read;
  if (body.size() > kMaxSiteBytes)
    return Fail(path + ": larger than " + std::to_string(kMaxSiteBytes / (1024 * 1024)) +
                " MiB; a site file is a few KiB");
  const JsonShape shape = ScanJson(body);
  if (shape.depth > kMaxSiteDepth)
    return Fail(path + ": nested deeper than " + std::to_string(kMaxSiteDepth) + " levels");
  if (shape.values > kMaxSiteValues)
    return Fail(path + ": holds more than " + std::to_string(kMaxSiteValues) +
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
      return Fail(path + ": not valid JSON: " + errors);
  } catch (const Json::Exception& e) {
    return Fail(path + ": not valid JSON: " + e.what());
  }
  return doc;
}

// The entries' callers take a refusal as an exception.
template <typename T>
T OrThrow(Result<T> result) {
  if (!result.ok()) throw std::runtime_error(result.reason());
  return std::move(result).value();
}

}  // namespace

SiteConfig ParseSite(const Json::Value& doc, const std::string& origin,
                     const std::string& plugin_dir) {
  return OrThrow(CheckSite(doc, origin, plugin_dir));
}

SiteConfig LoadSite(const std::string& path, const std::string& plugin_dir) {
  // The file's text is gone before the document is checked.
  const Json::Value doc = OrThrow(ReadDocument(path));
  return ParseSite(doc, path, plugin_dir.empty() ? FolderOf(path) : plugin_dir);
}

}  // namespace controller
