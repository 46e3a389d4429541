// A device's settings document checked before the device sees it: what it
// would take silently or fail on without naming it is refused, naming the key
// path and the value found.
#include "controller/framework/device_settings.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "support/expect.h"
#include "support/json.h"

namespace {

struct BadSettings {
  const char* doc;
  const char* message;
};

void PrintTo(const BadSettings& b, std::ostream* os) { *os << b.doc; }

class DeviceSettingsTest : public ::testing::TestWithParam<BadSettings> {};

TEST_P(DeviceSettingsTest, RejectsNamingKeyPathAndValue) {
  const Json::Value doc = test_support::ParseJson(GetParam().doc);
  test_support::ExpectThrowWithMessage<std::invalid_argument>(
      [&] { controller::CheckDeviceSettings(doc); }, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DeviceSettingsTest,
    ::testing::Values(
        BadSettings{R"({"appSetting": {"b_mode": "abc"}})",
                    R"(settings.appSetting.b_mode: must be an integer, got "abc")"},
        BadSettings{R"({"appSetting": {"b_mode": true}})",
                    "settings.appSetting.b_mode: must be an integer, got true"},
        BadSettings{R"({"appSetting": {"b_mode": 1.5}})",
                    "settings.appSetting.b_mode: must be an integer, got 1.5"},
        BadSettings{R"({"appSetting": {"b_mode": "99999999999"}})",
                    R"(settings.appSetting.b_mode: must be an integer, got "99999999999")"},
        BadSettings{R"({"appSetting": {"b_mode": 2147483648}})",
                    "settings.appSetting.b_mode: must be an integer, got 2147483648"},
        BadSettings{R"({"appSetting": {"b_mode": " 3"}})",
                    R"(settings.appSetting.b_mode: must be an integer, got " 3")"},
        BadSettings{R"({"appSetting": 3})", "settings.appSetting: must be an object, got 3"},
        BadSettings{R"({"thresholdSetting": [{"ID": 1}]})",
                    "settings.thresholdSetting: must be an object, got a list"},
        BadSettings{R"({"thresholdSetting": {"S": "x"}})",
                    R"(settings.thresholdSetting.S: must be an object, got "x")"},
        BadSettings{R"({"thresholdSetting": {"S": {"SignalName": {"x": 1}}}})",
                    "settings.thresholdSetting.S.SignalName: must be a text, got an object"},
        BadSettings{R"({"thresholdSetting": {"S": {"ID": 17}}})",
                    "settings.thresholdSetting.S.ID: must be a text, got 17"},
        BadSettings{R"({"thresholdSetting": {"S": {"value": 1, "low": "yes"}}})",
                    R"(settings.thresholdSetting.S.low: must be true or false, got "yes")"},
        BadSettings{R"({"aoSetting": {"X": {"absDelta": "2"}}})",
                    R"(settings.aoSetting.X.absDelta: must be a number, got "2")"},
        // A key or value cannot forge a terminal line.
        BadSettings{R"({"thresholdSetting": {"S\nFAKE": {"lw": 1}}})",
                    R"(settings.thresholdSetting.S\x0AFAKE.lw: unknown key)"},
        BadSettings{R"({"aoSetting": {"X": {"absDelta": "\u001b[2J"}}})",
                    R"(must be a number, got "\x1B[2J")"},
        // Below 0 an alarm flaps on a steady value and a report goes out every poll.
        BadSettings{R"({"thresholdSetting": {"S": {"value": 228, "hysteresis": -5}}})",
                    "settings.thresholdSetting.S.hysteresis: must be 0 or more, got -5"},
        BadSettings{R"({"aoSetting": {"X": {"periodEnabled": true, "periodMinutes": -1}}})",
                    "settings.aoSetting.X.periodMinutes: must be 0 or more, got -1"},
        BadSettings{R"({"thresholdSetting": {"S": {"value": 1e39}}})",
                    "settings.thresholdSetting.S.value: must be within +-3.4e38, got 1e+39"},
        // A misspelt key would be taken silently: no alarm, a false alarm, no report.
        BadSettings{R"({"thresholdSetting": {"S": {"valeu": 180}}})",
                    R"(settings.thresholdSetting.S.valeu: unknown key; did you mean "value"?)"},
        BadSettings{R"({"thresholdSetting": {"S": {"value": 180, "Low": true}}})",
                    R"(settings.thresholdSetting.S.Low: unknown key; did you mean "low"?)"},
        BadSettings{R"({"aoSetting": {"X": {"absEnabld": true}}})",
                    R"(settings.aoSetting.X.absEnabld: unknown key; did you mean "absEnabled"?)"},
        BadSettings{R"({"appSetting": {"mode": 1}})",
                    R"(settings.appSetting.mode: unknown key; did you mean "b_mode"?)"},
        BadSettings{R"({"thresholdSettings": {}})",
                    R"(settings.thresholdSettings: unknown key; did you mean "thresholdSetting"?)"},
        BadSettings{R"({"thresholdSetting": {"S": {"xy": 1}}})",
                    "settings.thresholdSetting.S.xy: unknown key"}));

TEST_F(DeviceSettingsTest, AcceptsWholeModesAndTextIdentities) {
  for (const char* settings :
       {R"({"appSetting": {"b_mode": "-3"}})", R"({"appSetting": {"b_mode": 2147483647}})",
        R"({"appSetting": null, "thresholdSetting": {"S": {"ID": "17", "NMAlarmID": null}}})"})
    EXPECT_NO_THROW(controller::CheckDeviceSettings(test_support::ParseJson(settings))) << settings;
}

TEST_F(DeviceSettingsTest, NamesEntriesNoCheckUses) {
  const Json::Value doc = test_support::ParseJson(
      R"({"thresholdSetting": {"SIG": {}, "REP": {}, "S9": {}},
          "aoSetting": {"SIG": {}, "REP": {}, "R9": {}}})");
  const auto checks = [](const std::string& id) { return id == "SIG"; };
  const auto reports = [](const std::string& id) { return id == "REP"; };
  EXPECT_EQ(
      controller::UnusedSettingIds(doc, checks, reports),
      (std::vector<std::string>{"thresholdSetting.REP", "thresholdSetting.S9", "aoSetting.R9"}));
}

}  // namespace
