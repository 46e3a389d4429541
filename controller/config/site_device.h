// The site file's values and one device of its list, for the site file's own
// parser: each check gives the value, or the message naming the file and key.
#pragma once

#include <json/value.h>

#include <cstddef>
#include <string>

#include "controller/common/result.h"
#include "controller/config/site_config.h"
#include "controller/framework/known_keys.h"

namespace controller {
namespace site {

std::string Quoted(const std::string& key);

// "ORIGIN: WHERE WHAT", the form of every refusal.
Failure At(const std::string& origin, const std::string& where, const std::string& what);

// Fails on the first key of obj not in known, with its near miss.
Status CheckKeys(const Json::Value& obj, const KnownKeys& known, const std::string& origin,
                 const std::string& where);

// A text without control characters: these reach terminals and logs.
Result<std::string> NonEmptyText(const Json::Value& v, const std::string& origin,
                                 const std::string& where);

// A whole number within [lo, hi]; JSON doubles with a fraction are refused.
Result<long long> WholeNumber(const Json::Value& v, long long lo, long long hi,
                              const std::string& origin, const std::string& where);

// "devices"[index], its settings checked as the device would check them.
Result<DeviceConfig> ParseDevice(const Json::Value& d, std::size_t index,
                                 const std::string& origin);

}  // namespace site
}  // namespace controller
