// Checks of qdx-host's and ups-sim's pure parts: site validation, record
// display, history storage, back-off and the simulator's reply model.
#include <gtest/gtest.h>
#include <json/reader.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <sstream>

#include "controller/history_db.h"
#include "controller/qdx_controller.h"
#include "controller/record_view.h"
#include "controller/site_config.h"
#include "ups_model.h"

namespace {

Json::Value ParseJson(const std::string& text) {
  Json::Value v;
  std::istringstream in(text);
  std::string errors;
  EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &v, &errors)) << errors;
  return v;
}

std::string Site(const std::string& device) {
  return R"({"plugins": ["p.so"], "devices": [)" + device + "]}";
}

const char kGoodDevice[] = R"({"type": "zota_up2200", "data_id": 7, "port": "/dev/ttyS0"})";

struct BadSite {
  std::string doc;
  std::string message;
};

// Keeps test names readable and stable instead of a dump of the object's bytes.
void PrintTo(const BadSite& b, std::ostream* os) { *os << b.doc; }

class SiteRejects : public ::testing::TestWithParam<BadSite> {};

TEST_P(SiteRejects, NamesTheKey) {
  try {
    controller::ParseSite(ParseJson(GetParam().doc), "site.json", "/plugins");
    FAIL() << "accepted " << GetParam().doc;
  } catch (const controller::SiteError& e) {
    EXPECT_NE(std::string(e.what()).find(GetParam().message), std::string::npos) << e.what();
    EXPECT_EQ(std::string(e.what()).rfind("site.json: ", 0), 0u) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SiteRejects,
    ::testing::Values(
        BadSite{"[]", "must be a JSON object"},
        BadSite{R"({"devices": []})", "\"plugins\" must be a non-empty list"},
        BadSite{R"({"plugins": [3], "devices": [1]})", "\"plugins\"[0] must be a non-empty text"},
        BadSite{R"({"plugins": ["p.so"], "devices": []})", "\"devices\" must be a non-empty"},
        BadSite{R"({"plugins": ["p.so"], "devices": [1], "x": 1})", "\"x\" is not a known key"},
        BadSite{Site(R"({"type": "t", "port": "/dev/x"})"), "[0].\"data_id\" is missing"},
        BadSite{Site(R"({"type": "t", "data_id": 0, "port": "p"})"), "\"data_id\" must be"},
        BadSite{Site(R"({"type": "t", "data_id": 4294967296, "port": "p"})"), "\"data_id\""},
        BadSite{Site(R"({"type": "t", "data_id": 1.5, "port": "p"})"), "\"data_id\""},
        BadSite{Site(R"({"type": "", "data_id": 1, "port": "p"})"), "\"type\" must be"},
        BadSite{Site(R"({"type": "t", "data_id": 1, "port": "sim:"})"), "no simulator scenario"},
        BadSite{Site(R"({"type": "t", "data_id": 1, "port": "sim:noisy:x"})"), "seed"},
        BadSite{Site(R"({"type": "t", "data_id": 1, "port": "p", "poll_interval_ms": 1})"),
                "\"poll_interval_ms\" must be a whole number from 50"},
        BadSite{Site(R"({"type": "t", "data_id": 1, "port": "p", "reply_timeout_ms": -5})"),
                "\"reply_timeout_ms\""},
        BadSite{Site(R"({"type": "t", "data_id": 1, "port": "p", "settings": []})"),
                "\"settings\" must be an object"},
        BadSite{Site(std::string(kGoodDevice) + "," + kGoodDevice), "repeats the device name"},
        BadSite{Site(std::string(kGoodDevice) +
                     R"(, {"name": "b", "type": "t", "data_id": 7, "port": "q"})"),
                "[1].\"data_id\" repeats the data id 7"},
        BadSite{Site(R"({"type": "t", "data_id": 1, "port": "p", "cache_max_age_s": 0})"),
                "\"cache_max_age_s\" must be a whole number from 1"}));

// What a device would take silently or fail on without naming it.
class SettingsRejected : public ::testing::TestWithParam<BadSite> {};

TEST_P(SettingsRejected, NamesFileDeviceAndKeyPath) {
  const std::string doc =
      Site(R"({"name": "ups1", "type": "t", "data_id": 1, "port": "p", "settings": )" +
           GetParam().doc + "}");
  try {
    controller::ParseSite(ParseJson(doc), "site.json", "/plugins");
    FAIL() << "accepted " << GetParam().doc;
  } catch (const controller::SiteError& e) {
    EXPECT_EQ(std::string(e.what()), "site.json: device \"ups1\": " + GetParam().message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SettingsRejected,
    ::testing::Values(
        BadSite{R"({"appSetting": {"b_mode": "abc"}})",
                R"(settings.appSetting.b_mode: must be an integer, got "abc")"},
        BadSite{R"({"appSetting": {"b_mode": true}})",
                "settings.appSetting.b_mode: must be an integer, got true"},
        BadSite{R"({"appSetting": {"b_mode": 1.5}})",
                "settings.appSetting.b_mode: must be an integer, got 1.5"},
        BadSite{R"({"appSetting": {"b_mode": "99999999999"}})",
                R"(settings.appSetting.b_mode: must be an integer, got "99999999999")"},
        BadSite{R"({"appSetting": {"b_mode": 2147483648}})",
                "settings.appSetting.b_mode: must be an integer, got 2147483648"},
        BadSite{R"({"appSetting": {"b_mode": " 3"}})",
                R"(settings.appSetting.b_mode: must be an integer, got " 3")"},
        BadSite{R"({"appSetting": 3})", "settings.appSetting: must be an object, got 3"},
        BadSite{R"({"thresholdSetting": [{"ID": 1}]})",
                "settings.thresholdSetting: must be an object, got a list"},
        BadSite{R"({"thresholdSetting": {"S": "x"}})",
                R"(settings.thresholdSetting.S: must be an object, got "x")"},
        BadSite{R"({"thresholdSetting": {"S": {"SignalName": {"x": 1}}}})",
                "settings.thresholdSetting.S.SignalName: must be a text, got an object"},
        BadSite{R"({"thresholdSetting": {"S": {"ID": 17}}})",
                "settings.thresholdSetting.S.ID: must be a text, got 17"},
        BadSite{R"({"thresholdSetting": {"S": {"value": 1, "low": "yes"}}})",
                R"(settings.thresholdSetting.S.low: must be true or false, got "yes")"},
        BadSite{R"({"aoSetting": {"X": {"absDelta": "2"}}})",
                R"(settings.aoSetting.X.absDelta: must be a number, got "2")"}));

TEST(Site, AcceptsWholeModesAndTextIdentities) {
  for (const char* settings :
       {R"({"appSetting": {"b_mode": "-3"}})", R"({"appSetting": {"b_mode": 2147483647}})",
        R"({"appSetting": null, "thresholdSetting": {"S": {"ID": "17", "NMAlarmID": null}}})"}) {
    const auto site = controller::ParseSite(
        ParseJson(Site(R"({"type": "t", "data_id": 1, "port": "p", "settings": )" +
                       std::string(settings) + "}")),
        "site.json", "");
    EXPECT_EQ(site.devices[0].cache_max_age_s, controller::kDefaultCacheMaxAgeS) << settings;
  }
}

TEST(Site, FillsDefaultsAndResolvesPaths) {
  const auto site = controller::ParseSite(
      ParseJson(R"({"plugins": ["p.so", "/abs/q.so"], "devices": [)" + std::string(kGoodDevice) +
                R"(, {"name": "sim", "type": "t", "data_id": 8, "port": "sim:noisy:42",
                      "poll_interval_ms": 200, "settings": {"appSetting": {"b_mode": 1}}}]})"),
      "site.json", "/plugins");
  EXPECT_EQ(site.plugins, (std::vector<std::string>{"/plugins/p.so", "/abs/q.so"}));
  ASSERT_EQ(site.devices.size(), 2u);
  EXPECT_EQ(site.devices[0].name, "zota_up2200#7");
  EXPECT_EQ(site.devices[0].port, "/dev/ttyS0");
  EXPECT_EQ(site.devices[0].poll_interval_ms, controller::kDefaultPollIntervalMs);
  EXPECT_TRUE(site.devices[0].sim_scenario.empty());
  EXPECT_EQ(site.devices[1].sim_scenario, "noisy");
  EXPECT_EQ(site.devices[1].sim_seed, 42u);
  EXPECT_TRUE(site.devices[1].port.empty());
  EXPECT_EQ(site.devices[1].settings["appSetting"]["b_mode"].asInt(), 1);
}

// The worked example reply as a record: data id 1001, values, state 0x09, time.
const unsigned char kRecord[26] = {0xE9, 0x03, 0x00, 0x00, 0xFC, 0x08, 0xF7, 0x08, 0xFC,
                                   0x08, 0x54, 0x01, 0xF4, 0x01, 0xCC, 0x00, 0x0E, 0x01,
                                   0x09, 0xEA, 0x07, 0x05, 0x01, 0x0C, 0x00, 0x03};

TEST(RecordView, ShowsMeasurementsWithUnitsAndFlags) {
  EXPECT_EQ(controller::RecordLine("ups1", 1001, 5035, kRecord, 26, false),
            "2026-05-01 12:00:03  ups1 (data id 1001)  record 5035: input 230.0 V, fault 229.5 V, "
            "output 230.0 V, load 34.0 %, freq 50.0 Hz, battery 2.04 V, temp 27.0 \u00b0C; "
            "flags: standby type, beeper on");
  EXPECT_EQ(controller::FlagNames(0xC0),
            (std::vector<std::string>{"utility failure", "battery low"}));
  EXPECT_TRUE(controller::FlagNames(0).empty());
  // Other record types, or a UPS record of the wrong size, are shown as bytes.
  EXPECT_EQ(controller::DescribeRecord(5035, kRecord, 3), "record 5035 (3 bytes): E9 03 00");
  EXPECT_EQ(controller::DescribeRecord(7, kRecord, 2), "record 7 (2 bytes): E9 03");
}

TEST(RecordView, NamesAlarmsAndReports) {
  rule_value item;
  item.signal_id = "2A2615101001";
  item.value = 0.0f;
  item.threshold = 180.0f;
  item.level = 2;
  item.low = true;
  const std::string raised = controller::AlarmLine("ups1", 1, item, true);
  EXPECT_NE(raised.find("ALARM RAISED input voltage [2A2615101001]: 0.0 V below 180.0 V, level 2"),
            std::string::npos)
      << raised;
  item.value = 231.0f;
  EXPECT_NE(controller::AlarmLine("ups1", 1, item, false).find("cleared"), std::string::npos);
  EXPECT_NE(controller::ReportLine("u", 1, "2A2127200001", 27.0f)
                .find("temperature [2A2127200001] = 27.0"),
            std::string::npos);
  EXPECT_EQ(controller::SignalLabel("XYZ"), "XYZ");
}

TEST(Backoff, DoublesUpToTheCap) {
  int ms = controller::kFirstBackoffMs;
  std::vector<int> seen;
  for (int i = 0; i < 8; ++i) seen.push_back(ms = controller::NextBackoffMs(ms));
  EXPECT_EQ(seen, (std::vector<int>{500, 1000, 2000, 4000, 8000, 8000, 8000, 8000}));
  EXPECT_EQ(controller::NextBackoffMs(0), controller::kFirstBackoffMs);
}

TEST(UtcTimestamp, ReadsWhatIsWrittenAndNothingElse) {
  EXPECT_EQ(*controller::ParseUtcTimestamp("1970-01-01T00:00:00.000Z"), 0);
  EXPECT_EQ(*controller::ParseUtcTimestamp("2026-12-07T20:05:44.123Z"), 1796673944);
  EXPECT_EQ(*controller::ParseUtcTimestamp("2000-02-29T23:59:59"), 951868799);
  EXPECT_EQ(*controller::ParseUtcTimestamp("2106-02-07T06:28:16Z"), 4294967296LL);  // past 32 bits
  for (const char* bad : {"", "2026-12-07", "2026-13-01T00:00:00Z", "2026-12-07 20:05:44",
                          "2026-12-07T-1:05:44Z", "garbage-that-is-long-enough"})
    EXPECT_FALSE(controller::ParseUtcTimestamp(bad)) << bad;
}

struct CacheCase {
  controller::Bytes bytes;
  std::string time;
  std::string refusal;  // empty: replayed
};

void PrintTo(const CacheCase& c, std::ostream* os) { *os << c.time << " " << c.refusal; }

class CacheReplay : public ::testing::TestWithParam<CacheCase> {};

// Device 1001 with a 300 s limit, asked at 2026-12-07T20:10:00Z.
TEST_P(CacheReplay, OnlyTheDevicesOwnRecentRecord) {
  const controller::StoredRecord rec{GetParam().bytes, GetParam().time};
  EXPECT_EQ(controller::CacheRefusal(rec, 1001, 300, 1796674200), GetParam().refusal);
}

const controller::Bytes kOwn(kRecord, kRecord + 26);

INSTANTIATE_TEST_SUITE_P(
    Table, CacheReplay,
    ::testing::Values(
        CacheCase{kOwn, "2026-12-07T20:05:00.000Z", ""},
        CacheCase{kOwn, "2026-12-07T20:10:01.500Z", ""},  // written a moment ago
        CacheCase{controller::Bytes{7, 0, 0, 0, 1}, "2026-12-07T20:09:00.000Z",
                  "it carries data id 7, not 1001"},
        CacheCase{controller::Bytes{0xE9, 0x03, 0x00, 0x01}, "2026-12-07T20:09:00.000Z",
                  "it carries data id 16778217, not 1001"},
        CacheCase{controller::Bytes{0xE9, 0x03}, "2026-12-07T20:09:00.000Z",
                  "it holds 2 bytes, too few to carry a data id"},
        CacheCase{kOwn, "2026-12-07T20:04:59.999Z", "stored 301 s ago, older than 300 s"},
        CacheCase{kOwn, "2026-12-04T20:10:00.000Z", "stored 3 days ago, older than 300 s"},
        CacheCase{kOwn, "2026-12-07T19:00:00.000Z", "stored 70 min ago, older than 300 s"},
        CacheCase{kOwn, "2026-12-07T20:10:03.000Z",
                  "stored at 2026-12-07T20:10:03.000Z, later than now"},
        CacheCase{kOwn, "yesterday", "its stored time \"yesterday\" is not readable"}));

TEST(SimModel, SteadyReplyIsTheInstrumentsLine) {
  std::mt19937 rng(1);
  const auto r = upssim::NextReading(upssim::Scenario::kSteady, 5, upssim::Reading{}, 3, rng);
  EXPECT_EQ(upssim::FormatReply(r), "(230.0 229.5 230.0 034 50.0 2.05 27.0 00001001\r");
  upssim::Reading zero{};
  zero.input_v = 0.0;
  zero.load_pct = 5;
  zero.flags = 0x81;
  EXPECT_EQ(upssim::FormatReply(zero), "(000.0 229.5 230.0 005 50.0 2.05 27.0 10000001\r");
}

TEST(SimModel, FailureScenariosSwitchAfterNormalReplies) {
  for (auto s : {upssim::Scenario::kUtilityFailure, upssim::Scenario::kLowBattery}) {
    std::mt19937 rng(3);
    upssim::Reading r{};
    double battery = 99.0;
    for (long n = 0; n < 12; ++n) {
      r = upssim::NextReading(s, n, r, 2, rng);
      const bool failed = n >= 2;
      EXPECT_EQ((r.flags & zota::kUtilityFail) != 0, failed) << n;
      if (failed) {
        EXPECT_EQ(r.input_v, 0.0);
        EXPECT_LT(r.battery_v, battery);
        battery = r.battery_v;
      } else {
        EXPECT_NEAR(r.input_v, 230.0, 4.0);
      }
    }
    EXPECT_TRUE(r.flags & zota::kBatteryLow);
  }
}

TEST(SimModel, ChunksRejoinAndSeedsRepeat) {
  const std::string reply = "(230.0 229.5 230.0 034 50.0 2.05 27.0 00001001\r";
  for (unsigned seed = 0; seed < 50; ++seed) {
    std::mt19937 a(seed);
    std::mt19937 b(seed);
    const auto chunks = upssim::SplitIntoChunks(reply, 6, a);
    EXPECT_EQ(chunks, upssim::SplitIntoChunks(reply, 6, b));
    ASSERT_GE(chunks.size(), 1u);
    ASSERT_LE(chunks.size(), 6u);
    std::string joined;
    for (const auto& c : chunks) {
      EXPECT_FALSE(c.empty());
      joined += c;
    }
    EXPECT_EQ(joined, reply);
    const std::string junk = upssim::GarbageLine(a);
    EXPECT_EQ(junk.back(), '\r');
    EXPECT_EQ(junk.find(' '), std::string::npos);  // never eight fields
  }
}

TEST(SimModel, KnowsItsScenarios) {
  upssim::Scenario s{};
  EXPECT_TRUE(upssim::ParseScenario("low-battery", s));
  EXPECT_EQ(s, upssim::Scenario::kLowBattery);
  EXPECT_FALSE(upssim::ParseScenario("sunny", s));
}

}  // namespace
