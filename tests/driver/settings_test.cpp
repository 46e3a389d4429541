// Settings loading by the device and the controller, and threshold evaluation.
#include <map>

#include "device_fixture.h"

namespace unit {
namespace {

using StrMap = std::map<std::string, std::string>;
using IntMap = std::map<std::string, int>;

struct ModeCase {
  const char* name;
  const char* json;
  int mode_before;
  int mode_after;
  const char* printed;
};

class SettingsTest : public DeviceFixture {};

class ModeTest : public SettingsTest, public testing::WithParamInterface<ModeCase> {};

TEST_P(ModeTest, ReadsTheModeAndTouchesNoSignalMap) {
  dev_.b_mode_ = GetParam().mode_before;
  const Json::Value doc = ParseJson(GetParam().json);
  StdoutCapture out;
  EXPECT_TRUE(dev_.InitSetting(doc));
  EXPECT_EQ(out.Take(), GetParam().printed);
  EXPECT_EQ(dev_.cData.data_id, 7u);
  EXPECT_EQ(dev_.b_mode_, GetParam().mode_after);
  EXPECT_TRUE(dev_.nm_alarm_ids_.empty() && dev_.signal_names_.empty());
  EXPECT_TRUE(dev_.threshold_levels_.empty() && dev_.threshold_values_.empty());
}

constexpr char kMode3[] = "InitSetting 7 b_mode_:3\nhere 1\n";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Settings, ModeTest, testing::Values(
    ModeCase{"Empty", "{}", 1, 1, ""},
    ModeCase{"Number", R"({"appSetting": {"b_mode": 3}})", 1, 3, kMode3},
    ModeCase{"String", R"({"appSetting": {"b_mode": "3"}})", 1, 3, kMode3},
    ModeCase{"Null", R"({"appSetting": {"b_mode": null}})", 1, 1, ""},
    ModeCase{"Word", R"({"appSetting": {"b_mode": "abc"}})", 1, 0, "InitSetting 7 b_mode_:0\n"},
    ModeCase{"Bool", R"({"appSetting": {"b_mode": true}})", 1, 0, "InitSetting 7 b_mode_:0\n"},
    ModeCase{"Prefix", R"({"appSetting": {"b_mode": " -2x"}})", 1, -2,
             "InitSetting 7 b_mode_:-2\n"},
    ModeCase{"Huge", R"({"appSetting": {"b_mode": "99999999999"}})", 1, 2147483647,
             "InitSetting 7 b_mode_:2147483647\n"},
    ModeCase{"AppNotObject", R"({"appSetting": "3"})", 1, 1, ""},
    ModeCase{"OtherModeIgnoresThresholds",
             R"({"appSetting": {"b_mode": 2}, "thresholdSetting": {"S": {"ID": 1}}})", 1, 2,
             "InitSetting 7 b_mode_:2\n"},
    ModeCase{"EarlierMode3", R"({"thresholdSetting": null})", 3, 3, "here 1\n"}),
    [](const testing::TestParamInfo<ModeCase>& info) { return info.param.name; });
// clang-format on

TEST_F(SettingsTest, Mode3WalksThresholdSetting) {
  const Json::Value doc = ParseJson(R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {
      "A": "text", "B": {}, "C": {"ID": 17},
      "D": {"SignalName": "Volt", "NMAlarmID": "N1", "ID": "I1", "SignalNumber": 2}}})");
  StdoutCapture out;
  EXPECT_TRUE(dev_.InitSetting(doc));
  EXPECT_EQ(out.Take(),
            "InitSetting 7 b_mode_:3\nhere 1\nhere 2\nhere A\nhere B\n"
            "7 NMAlarmID is missing\n7 ID is missing\n7 SignalNumber is missing\n"
            "mobile:B:;;; level:0 value:0\nhere C\n7 NMAlarmID is missing\n"
            "7 SignalNumber is missing\nmobile:C:;17;; level:0 value:0\nhere D\n"
            "mobile:D:N1;I1;2; level:0 value:0\n");
  EXPECT_EQ(dev_.nm_alarm_ids_, (StrMap{{"B", ";;;"}, {"C", ";17;;"}, {"D", "N1;I1;2;"}}));
  EXPECT_EQ(dev_.signal_names_, (StrMap{{"D", "Volt"}}));
  EXPECT_EQ(dev_.threshold_levels_, (IntMap{{"B", 0}, {"C", 0}, {"D", 0}}));
  EXPECT_EQ(dev_.threshold_values_.size(), 3u);
}

TEST_F(SettingsTest, RerunKeepsEntriesAndPrintsLoadedThresholds) {
  const Json::Value doc = ParseJson(
      R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"S": {"SignalName": "Out",
          "NMAlarmID": 1, "ID": 2, "SignalNumber": 3, "level": 2, "value": 231.5}}})");
  ASSERT_TRUE(dev_.InitSetting(doc));  // the controller loads S after the device prints it
  StdoutCapture out;
  ASSERT_TRUE(dev_.InitSetting(ParseJson(R"({"thresholdSetting": {"S": {}}})")));
  EXPECT_NE(out.Take().find("mobile:S:;;; level:2 value:231.5\n"), std::string::npos);
  EXPECT_EQ(dev_.signal_names_, (StrMap{{"S", "Out"}}));
  EXPECT_EQ(dev_.nm_alarm_ids_, (StrMap{{"S", ";;;"}}));
}

// JSON library errors leave InitSetting before the controller's settings step.
TEST_F(SettingsTest, JsonErrorsPassThroughAndSkipTheController) {
  const char* docs[] = {
      R"({"appSetting": {"b_mode": 3}, "aoSetting": {"R": {"absEnabled": true}},
          "thresholdSetting": {"S": {"SignalName": {"x": 1}}}})",
      R"({"appSetting": {"b_mode": 3}, "aoSetting": {"R": {"absEnabled": true}},
          "thresholdSetting": [{"ID": 1}]})",
  };
  const char* printed[] = {"here S\n", "here 0\n"};
  for (int i = 0; i < 2; ++i) {
    StdoutCapture out;
    EXPECT_THROW(dev_.InitSetting(ParseJson(docs[i])), Json::LogicError) << docs[i];
    const std::string text = out.Take();
    EXPECT_EQ(text.substr(text.size() - std::strlen(printed[i])), printed[i]);
    EXPECT_TRUE(dev_.ao_settings_.empty());
  }
}

TEST_F(SettingsTest, ControllerLoadsReportSettingsAndThresholds) {
  ASSERT_TRUE(dev_.InitSetting(ParseJson(R"({
      "aoSetting": {"2A2615101001": {"absEnabled": true, "absDelta": 2.5,
                    "periodEnabled": true, "periodMinutes": 5}},
      "thresholdSetting": {"2A2615101001": {"level": 2, "value": 250, "low": true,
                           "hysteresis": 1.5}, "2A2615101002": {"ID": 3}}})")));
  EXPECT_TRUE(
      Same(dev_.ao_settings_.at("2A2615101001"), Setting{true, 2.5f, false, 0, true, 5, 0, 0}));
  EXPECT_EQ(dev_.threshold_levels_, (IntMap{{"2A2615101001", 2}}));
  EXPECT_EQ(dev_.threshold_values_.at("2A2615101001"), 250.0f);
  EXPECT_TRUE(dev_.threshold_low_.at("2A2615101001"));
  EXPECT_EQ(dev_.threshold_hyst_.at("2A2615101001"), 1.5f);
}

class BadSettingTest : public SettingsTest,
                       public testing::WithParamInterface<std::pair<const char*, const char*>> {};

TEST_P(BadSettingTest, ErrorNamesTheKey) {
  const Json::Value doc = ParseJson(GetParam().first);
  ExpectThrowWithMessage<std::invalid_argument>([&] { dev_.InitSetting(doc); }, GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, BadSettingTest,
    testing::Values(std::make_pair(R"({"aoSetting": {"X": {"absDelta": "2"}}})",
                                   "settings.aoSetting.X.absDelta: must be a number"),
                    std::make_pair(R"({"aoSetting": {"X": {"pctEnabled": 1}}})",
                                   "settings.aoSetting.X.pctEnabled: must be true or false, got 1"),
                    std::make_pair(R"({"aoSetting": {"X": 5}})",
                                   "settings.aoSetting.X: must be an object, got 5"),
                    std::make_pair(R"({"aoSetting": [1]})",
                                   "settings.aoSetting: must be an object, got a list"),
                    std::make_pair(R"({"appSetting": {"b_mode": 3}, "thresholdSetting": "none"})",
                                   R"(settings.thresholdSetting: must be an object, got "none")"),
                    std::make_pair(R"({"thresholdSetting": {"S": {"value": "high"}}})",
                                   "settings.thresholdSetting.S.value"),
                    std::make_pair(R"({"thresholdSetting": {"S": {"value": 1, "level": 0}}})",
                                   "settings.thresholdSetting.S.level: must be 1 to 1000, got 0")));

struct Step {
  float value;
  bool changed;
  bool active;
};

// A high alarm at 100 with hysteresis 5, and a low alarm at 10 with hysteresis 2.
TEST_F(SettingsTest, ThresholdsRaiseHoldAndClear) {
  dev_.threshold_levels_ = {{"H", 1}, {"L", 1}, {"P", 0}};
  dev_.threshold_values_ = {{"H", 100.0f}, {"L", 10.0f}, {"P", 0.0f}};
  dev_.threshold_hyst_ = {{"H", 5.0f}, {"L", 2.0f}};
  dev_.threshold_low_ = {{"L", true}};
  EXPECT_FALSE(dev_.CheckThreshold("P", "", 1.0f, 1));  // level 0 is a placeholder
  EXPECT_FALSE(dev_.CheckThreshold("none", "", 1.0f, 1));
  EXPECT_TRUE(dev_.rule_values_.empty());

  const std::pair<const char*, std::vector<Step>> runs[] = {
      {"H", {{99, false, false}, {101, true, true}, {96, false, true}, {95, true, false}}},
      {"L", {{11, false, false}, {9, true, true}, {11.5f, false, true}, {12, true, false}}},
  };
  for (const auto& run : runs) {
    for (const Step& s : run.second) {
      alarms_.clear();
      ASSERT_TRUE(dev_.CheckThreshold(run.first, "", s.value, 1));
      EXPECT_EQ(dev_.DoBatchCheckThreshold(dev_.rule_values_), s.changed) << s.value;
      dev_.rule_values_.clear();
      EXPECT_EQ(dev_.alarm_active_[run.first], s.active) << s.value;
      EXPECT_EQ(alarms_.size(), s.changed ? 1u : 0u) << s.value;
      if (!alarms_.empty()) {
        EXPECT_EQ(alarms_[0].raised, s.active);
      }
    }
  }
}

}  // namespace
}  // namespace unit
