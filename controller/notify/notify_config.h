// The site file's "notify" list: where events go and which of them.
//
//   "notify": [ { "name": "pager", "command": ["/usr/local/bin/page-me", "--urgent"],
//                 "events": ["utility_failure"], "devices": ["ups1"], "after_s": 30 },
//               { "name": "chat", "webhook": "https://hooks.example.net/ups",
//                 "headers": {"Authorization": "Bearer ..."}, "ca_file": "/etc/ca.pem" } ]
//
// A webhook's URL and headers often hold a token: they are never printed,
// logged, served or used as a label; the name stands for the target.
#pragma once

#include <json/value.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace controller {

constexpr int kDefaultNotifyTimeoutS = 10;
constexpr int kDefaultRetryS = 3600;
constexpr int kDefaultMinIntervalS = 60;

struct NotifyTarget {
  std::string name;
  std::vector<std::string> command;  // an argument vector, no shell
  std::string webhook;               // http:// or https:// URL
  std::string ca_file;
  std::vector<std::pair<std::string, std::string>> headers;
  int timeout_s = kDefaultNotifyTimeoutS;
  int retry_s = kDefaultRetryS;
  std::set<std::string> events;   // empty: every event
  std::set<std::string> devices;  // empty: every device
  int after_s = 0;                // a raising event only if it still holds then
  int repeat_s = 0;               // sent again while it holds; 0: never
  int min_interval_s = kDefaultMinIntervalS;

  bool Wants(const std::string& event, const std::string& device, bool own) const;
};

// Validates the list; throws std::runtime_error naming the key, with a
// suggestion for a misspelt key, event or device name.
std::vector<NotifyTarget> ParseNotify(const Json::Value& list, const std::string& origin,
                                      const std::vector<std::string>& device_names);

}  // namespace controller
