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
#include <string>
#include <vector>

#include "host/qdx_device.h"

namespace controller {

// Loads analogue-report settings and thresholds into the device. Throws
// std::invalid_argument naming the key path ("settings.aoSetting.ID.absDelta")
// when a value has the wrong type.
void LoadDeviceSettings(const Json::Value& setting, QDXVDevice& dev);

// Checks a whole settings document before a device sees it: what
// LoadDeviceSettings reads, "appSetting" an object whose "b_mode" is an
// integer or integer text within int, and "thresholdSetting" members objects
// whose "SignalName", "NMAlarmID", "ID" and "SignalNumber" are texts. Throws
// std::invalid_argument naming the key path and the value found.
void CheckDeviceSettings(const Json::Value& setting);

// The threshold item for one checked value, or none when the signal has no
// configured threshold.
boost::optional<rule_value> FormThresholdItem(const QDXVDevice& dev, const std::string& signal_id,
                                              const std::string& sub_id, float value, int kind);

// Raises and clears alarms for the cycle's items; true when any alarm changed.
bool EvaluateThresholds(QDXVDevice& dev, const std::vector<rule_value>& items);

}  // namespace controller
