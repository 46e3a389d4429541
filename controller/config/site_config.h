// The site file: which plug-ins qdx-host loads and which devices it drives.
//
//   { "plugins": ["zota_up2200.so"],
//     "devices": [ { "name": "ups1", "type": "zota_up2200", "data_id": 1001,
//                    "port": "/dev/ttyUSB0" | "sim:SCENARIO" | "sim:SCENARIO:SEED",
//                    "poll_interval_ms": 1000, "reply_timeout_ms": 800,
//                    "cache_max_age_s": 300, "link_lost_after_s": 10,
//                    "settings": { ...the device's settings document... } } ],
//     "history": { "keep_days": 400, "max_mb": 0, "log_keep_days": 400,
//                  "min_free_mb": 64 (default: at most 5 % of the file system) },
//     "notify": [ ...targets, see notify/notify_config.h... ] }
#pragma once

#include <json/value.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "controller/common/device_name.h"
#include "controller/history/history_db.h"
#include "controller/notify/notify_config.h"

namespace controller {

constexpr int kDefaultPollIntervalMs = 1000;
constexpr int kDefaultReplyTimeoutMs = 800;
constexpr int kMinPollIntervalMs = 50;
constexpr int kMaxPollIntervalMs = 3600 * 1000;
constexpr int kMinReplyTimeoutMs = 10;
constexpr int kMaxReplyTimeoutMs = 60 * 1000;
constexpr char kSimPrefix[] = "sim:";
constexpr int kDefaultCacheMaxAgeS = 300;
constexpr int kMinCacheMaxAgeS = 1;
constexpr int kMaxCacheMaxAgeS = 366 * 24 * 3600;

// Its name, type and data id, then how it is reached and polled.
struct DeviceConfig : DeviceName {
  std::string port;            // a device path, or empty for the simulator
  std::string sim_scenario;    // set when the port is the built-in simulator
  std::uint32_t sim_seed = 1;  // seed handed to the simulator
  int poll_interval_ms = kDefaultPollIntervalMs;
  int reply_timeout_ms = kDefaultReplyTimeoutMs;
  int cache_max_age_s = kDefaultCacheMaxAgeS;  // older stored records are not replayed
  int link_lost_after_s = 10;                  // link_lost after this long without a record
  Json::Value settings{Json::objectValue};
};

struct SiteConfig {
  std::vector<std::string> plugins;  // resolved paths
  std::vector<DeviceConfig> devices;
  HistoryLimits history;             // "history": each bound a whole number >= 0, 0 for none
  std::vector<NotifyTarget> notify;  // "notify": where events go
};

// Validates a parsed site document. origin names the file in messages; relative
// plug-in paths are resolved against plugin_dir. Throws std::runtime_error naming the key.
SiteConfig ParseSite(const Json::Value& doc, const std::string& origin,
                     const std::string& plugin_dir);

// Reads and validates a site file. Relative plug-in paths are resolved against
// plugin_dir when it is given, else against the site file's folder.
SiteConfig LoadSite(const std::string& path, const std::string& plugin_dir);

}  // namespace controller
