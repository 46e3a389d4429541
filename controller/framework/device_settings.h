// What the controller takes from a device's settings document, and its
// threshold evaluation.
//
// Settings document (besides "appSetting", which the driver reads itself):
//   "aoSetting":        { id: { "absEnabled": bool, "absDelta": number,
//                               "pctEnabled": bool, "pctDelta": number,
//                               "periodEnabled": bool, "periodMinutes": number } }
//   "thresholdSetting": { signal id: { "level": int >= 1, "value": number,
//                                      "low": bool, "hysteresis": number,
//                                      "SignalName": text } }
// A threshold is configured when "value" is given; it alarms above the value, or
// below it with "low": true, and clears once the value is back by "hysteresis".
#pragma once

#include <boost/optional.hpp>
#include <functional>
#include <string>
#include <vector>

#include "host/qdx_device.h"

namespace controller {

// Loads analogue-report settings and thresholds into the device. Throws
// std::invalid_argument naming the key path ("settings.aoSetting.ID.absDelta")
// when a value has the wrong type, is out of a float's range, or is a band or
// period (hysteresis, absDelta, pctDelta, periodMinutes) below 0.
void LoadDeviceSettings(const Json::Value& setting, QDXVDevice& dev);

// Checks a whole settings document before a device sees it: what
// LoadDeviceSettings reads, "appSetting" an object whose "b_mode" is an
// integer or integer text within int, and "thresholdSetting" members objects
// whose "SignalName", "NMAlarmID", "ID" and "SignalNumber" are texts, and
// every object holding only its known keys. Throws std::invalid_argument
// naming the key path and the value found, or the unknown key and the known
// one it is close to.
void CheckDeviceSettings(const Json::Value& setting);

// The "thresholdSetting.ID" and "aoSetting.ID" entries keyed by an id no check
// of the device uses, so that they can never fire: checks tells whether a
// signal id is checked, reports whether a report id is reported.
std::vector<std::string> UnusedSettingIds(const Json::Value& setting,
                                          const std::function<bool(const std::string&)>& checks,
                                          const std::function<bool(const std::string&)>& reports);

// The threshold item for one checked value, or none when the signal has no
// configured threshold.
boost::optional<rule_value> FormThresholdItem(const QDXVDevice& dev, const std::string& signal_id,
                                              const std::string& sub_id, float value, int kind);

// Raises and clears alarms for the cycle's items; true when any alarm changed.
bool EvaluateThresholds(QDXVDevice& dev, const std::vector<rule_value>& items);

}  // namespace controller
