// Checks of the parts behind qdx-host --http that need no server: times,
// addresses, history requests and reads, the status board's events, and the
// JSON and metrics texts.
#include <gtest/gtest.h>
#include <json/reader.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <set>
#include <sstream>
#include <thread>

#include "controller/history_db.h"
#include "controller/http_history.h"
#include "controller/http_server.h"
#include "controller/iso_time.h"
#include "controller/status_board.h"
#include "controller/status_render.h"

namespace {

using controller::QueryParams;

// 7 measurements (230.0 V, 229.5 V, 230.0 V, 34.0 %, 50.0 Hz, 2.05 V, 27.0 °C),
// state 0x89 (utility failure, standby type, beeper on), 2026-12-07 10:20:30.
const std::vector<unsigned char> kRecord = {7,    0,    0,    0,    0xFC, 0x08, 0xF7, 0x08, 0xFC,
                                            0x08, 0x54, 0x01, 0xF4, 0x01, 0xCD, 0x00, 0x0E, 0x01,
                                            0x89, 0xEA, 0x07, 12,   7,    10,   20,   30};

Json::Value ParseJson(const std::string& text) {
  Json::Value v;
  std::istringstream in(text);
  std::string errors;
  EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &v, &errors)) << errors << "\n"
                                                                                 << text;
  return v;
}

struct FakeDevice : QDXSPDevice {
  int LoadFromCache(const unsigned char*, int) override { return 0; }
};

// A board with one device "ups" (data id 7) that has a low input-voltage alarm.
std::shared_ptr<controller::StatusBoard> MakeBoard(std::size_t capacity = 64,
                                                   std::size_t max_subscribers = 4,
                                                   const std::string& name = "ups") {
  auto board = std::make_shared<controller::StatusBoard>(capacity, max_subscribers);
  controller::DeviceConfig cfg;
  cfg.name = name;
  cfg.type = "zota_up2200";
  cfg.data_id = 7;
  cfg.poll_interval_ms = 500;
  FakeDevice dev;
  dev.threshold_levels_["2A2615101001"] = 2;
  dev.threshold_values_["2A2615101001"] = 180.0f;
  dev.threshold_low_["2A2615101001"] = true;
  board->AddDevice(cfg, "/dev/pts/9", dev);
  return board;
}

std::int64_t Ms(const char* iso) { return *controller::ParseUtcMs(iso); }

// The metric name of a sample line in the text exposition format, or "" when
// the line is no such sample: name, optional {label="value",...} with \\, \"
// and \n escapes, a space and a number.
std::string SampleName(const std::string& line) {
  std::size_t i = 0;
  auto word = [&] {
    const std::size_t from = i;
    while (i < line.size() && (std::islower(static_cast<unsigned char>(line[i])) || line[i] == '_'))
      ++i;
    return i > from;
  };
  if (!word()) return "";
  const std::string name = line.substr(0, i);
  if (i < line.size() && line[i] == '{') {
    ++i;
    while (i < line.size() && line[i] != '}') {
      if (!word() || line.compare(i, 2, "=\"") != 0) return "";
      for (i += 2; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] == '\\' &&
            (++i == line.size() || std::string("\\\"n").find(line[i]) == std::string::npos))
          return "";
      }
      if (++i < line.size() && line[i] == ',') ++i;
    }
    if (i++ == line.size()) return "";
  }
  if (i >= line.size() || line[i++] != ' ' || i == line.size()) return "";
  char* end = nullptr;
  std::strtod(line.c_str() + i, &end);
  return *end == '\0' ? name : "";
}

// ---- times ------------------------------------------------------------------

struct TimeCase {
  const char* text;
  const char* utc;  // nullptr: rejected
};
void PrintTo(const TimeCase& c, std::ostream* os) { *os << c.text; }

class IsoTimes : public ::testing::TestWithParam<TimeCase> {};

TEST_P(IsoTimes, ParseToUtc) {
  const auto ms = controller::ParseUtcMs(GetParam().text);
  if (!GetParam().utc) {
    EXPECT_FALSE(ms) << controller::FormatUtcMs(*ms);
  } else {
    ASSERT_TRUE(ms);
    EXPECT_EQ(controller::FormatUtcMs(*ms), GetParam().utc);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, IsoTimes,
    ::testing::Values(TimeCase{"1970-01-01", "1970-01-01T00:00:00.000Z"},
                      TimeCase{"2026-12-07T10:20", "2026-12-07T10:20:00.000Z"},
                      TimeCase{"2026-12-07T10:20:30Z", "2026-12-07T10:20:30.000Z"},
                      TimeCase{"2026-12-07T10:20:30.5Z", "2026-12-07T10:20:30.500Z"},
                      TimeCase{"2026-12-07T10:20:30.123456789", "2026-12-07T10:20:30.123Z"},
                      TimeCase{"2026-12-07T01:00:00+02:00", "2026-12-06T23:00:00.000Z"},
                      TimeCase{"2026-12-07T23:30:00-0100", "2026-12-08T00:30:00.000Z"},
                      TimeCase{"2026-12-07T10:00:00 01:00", "2026-12-07T09:00:00.000Z"},
                      TimeCase{"2028-02-29T12:00:00Z", "2028-02-29T12:00:00.000Z"},
                      TimeCase{"2100-03-01", "2100-03-01T00:00:00.000Z"},
                      TimeCase{"9999-12-31T23:59:59.999Z", "9999-12-31T23:59:59.999Z"},
                      TimeCase{"2027-02-29", nullptr}, TimeCase{"2100-02-29", nullptr},
                      TimeCase{"2026-13-01", nullptr}, TimeCase{"2026-12-00", nullptr},
                      TimeCase{"1969-12-31", nullptr}, TimeCase{"2026-12-07T24:00", nullptr},
                      TimeCase{"2026-12-07T10:60", nullptr},
                      TimeCase{"2026-12-07T10:20:61", nullptr},
                      TimeCase{"2026-12-07T10:20:30.", nullptr},
                      TimeCase{"2026-12-07 10:20", nullptr},
                      TimeCase{"2026-12-07T10:20Zx", nullptr}, TimeCase{"2026-12-7", nullptr},
                      TimeCase{"1970-01-01T00:30+01:00", nullptr}, TimeCase{"", nullptr},
                      TimeCase{"now", nullptr}));

// ---- addresses -----------------------------------------------------------------

TEST(HttpAddress, AcceptsLoopbackAndMarksOthers) {
  const controller::HttpAddress v4 = controller::ParseHttpAddress("127.0.0.1:8080");
  EXPECT_EQ(v4.host, "127.0.0.1");
  EXPECT_EQ(v4.port, 8080);
  EXPECT_TRUE(v4.loopback);
  EXPECT_TRUE(controller::ParseHttpAddress("localhost:0").loopback);
  EXPECT_TRUE(controller::ParseHttpAddress("127.3.2.1:1").loopback);
  const controller::HttpAddress v6 = controller::ParseHttpAddress("[::1]:65535");
  EXPECT_EQ(v6.host, "::1");
  EXPECT_TRUE(v6.loopback);
  EXPECT_FALSE(controller::ParseHttpAddress("0.0.0.0:80").loopback);
  EXPECT_FALSE(controller::ParseHttpAddress("[::]:80").loopback);
  EXPECT_FALSE(controller::ParseHttpAddress("192.0.2.4:80").loopback);
}

TEST(HttpAddress, RejectsWithAReason) {
  const std::pair<const char*, const char*> bad[] = {
      {"8080", "expected ADDRESS:PORT"},     {":8080", "expected ADDRESS:PORT"},
      {"127.0.0.1:", "port must be"},        {"127.0.0.1:65536", "port must be"},
      {"127.0.0.1:-1", "port must be"},      {"127.0.0.1:80x", "port must be"},
      {"myhost:80", "is no IPv4 address"},   {"::1:80", "is no IPv4 address"},
      {"[::1]80", "expected [IPv6"},         {"[nope]:80", "is no IPv6 address"},
      {"256.0.0.1:80", "is no IPv4 address"}};
  for (const auto& b : bad) {
    try {
      controller::ParseHttpAddress(b.first);
      ADD_FAILURE() << "accepted " << b.first;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(b.second), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(controller::MakeHttpOptions("0.0.0.0:80", false, "h.db", ""), std::invalid_argument);
  EXPECT_TRUE(controller::MakeHttpOptions("0.0.0.0:80", true, "h.db", "").allow_remote);
}

TEST(HttpAddress, LoopbackHostHeaders) {
  for (const char* ok :
       {"localhost", "localhost:8080", "127.0.0.1:8080", "127.9.9.9", "[::1]:80", "[::1]", ""})
    EXPECT_TRUE(controller::IsLoopbackHostHeader(ok)) << ok;
  for (const char* no : {"example.com", "evil.test:8080", "10.0.0.1", "[::2]:80", "[::1",
                         "localhost.evil.test", "127.0.0.1.nip.io"})
    EXPECT_FALSE(controller::IsLoopbackHostHeader(no)) << no;
}

// ---- history requests ----------------------------------------------------------

struct BadQuery {
  QueryParams params;
  const char* message;
};
void PrintTo(const BadQuery& q, std::ostream* os) {
  for (const auto& p : q.params) *os << p.first << "=" << p.second << "&";
}

class HistoryRejects : public ::testing::TestWithParam<BadQuery> {};

TEST_P(HistoryRejects, NamingTheParameter) {
  const auto board = MakeBoard();
  try {
    controller::ParseHistoryRequest(GetParam().params, *board, Ms("2026-12-07T12:00:00Z"));
    FAIL() << "accepted";
  } catch (const controller::BadRequest& e) {
    EXPECT_NE(std::string(e.what()).find(GetParam().message), std::string::npos) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, HistoryRejects,
    ::testing::Values(
        BadQuery{{}, "\"device\" is required"},
        BadQuery{{{"device", ""}}, "\"device\" is required"},
        BadQuery{{{"device", "ups2"}}, "unknown device \"ups2\""},
        BadQuery{{{"device", "ups"}, {"device", "ups"}}, "given more than once"},
        BadQuery{{{"device", "ups"}, {"form", "2026-12-07"}}, "unknown parameter \"form\""},
        BadQuery{{{"device", "ups"}, {"from", "yesterday"}}, "\"from\" must be an ISO 8601"},
        BadQuery{{{"device", "ups"}, {"to", "2026-02-30"}}, "\"to\" must be an ISO 8601"},
        BadQuery{{{"device", "ups"}, {"from", "2026-12-08"}, {"to", "2026-12-07"}},
                 "\"from\" is later than \"to\""},
        BadQuery{{{"device", "ups"}, {"limit", "0"}}, "\"limit\" must be a whole number"},
        BadQuery{{{"device", "ups"}, {"limit", "-5"}}, "\"limit\" must be a whole number"},
        BadQuery{{{"device", "ups"}, {"limit", "10x"}}, "\"limit\" must be a whole number"},
        BadQuery{{{"device", "ups"}, {"limit", " 10"}}, "\"limit\" must be a whole number"},
        BadQuery{{{"device", "ups"}, {"step", "1.5"}}, "\"step\" must be a whole number"},
        BadQuery{{{"device", "ups"}, {"step", "604801"}}, "\"step\" must be at most"},
        BadQuery{{{"device", "ups"}, {"format", "xml"}}, "\"format\" must be json or csv"}));

TEST(HistoryRequest, DefaultsToTheLastHourAndCapsTheLimit) {
  const auto board = MakeBoard();
  const std::int64_t now = Ms("2026-12-07T12:00:00Z");
  const controller::HistoryRequest d =
      controller::ParseHistoryRequest({{"device", "ups"}}, *board, now);
  EXPECT_EQ(d.data_id, 7u);
  EXPECT_EQ(d.device_type, "zota_up2200");
  EXPECT_EQ(d.to_ms, now);
  EXPECT_EQ(d.from_ms, now - 3600 * 1000);
  EXPECT_EQ(d.limit, controller::kDefaultHistoryLimit);
  EXPECT_FALSE(d.csv);
  const controller::HistoryRequest q =
      controller::ParseHistoryRequest({{"device", "ups"},
                                       {"to", "2026-12-07T10:00:00Z"},
                                       {"limit", "99999999999"},
                                       {"step", "60"},
                                       {"format", "csv"}},
                                      *board, now);
  EXPECT_EQ(q.to_ms, Ms("2026-12-07T10:00:00Z"));
  EXPECT_EQ(q.from_ms, Ms("2026-12-07T09:00:00Z"));
  EXPECT_EQ(q.limit, controller::kMaxHistoryLimit);
  EXPECT_EQ(q.step_s, 60);
  EXPECT_TRUE(q.csv);
}

// ---- history reads -------------------------------------------------------------

// A history with rows stored at chosen times: device 7 once a second from
// 10:00:00 for 100 s, device 8 in between, and one foreign record of device 7.
class HistoryRead : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/qdx-http-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    dir_ = dir;
    path_ = dir_ + "/h.db";
    { controller::HistoryDb create(path_); }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* ins = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db,
                                 "INSERT INTO history(data_id, device_type, record_type, time, "
                                 "data) VALUES(?, 'zota_up2200', ?, ?, ?)",
                                 -1, &ins, nullptr),
              SQLITE_OK);
    auto add = [&](int data_id, int type, std::int64_t ms, const std::vector<unsigned char>& d) {
      const std::string t = controller::FormatUtcMs(ms);
      sqlite3_reset(ins);
      sqlite3_bind_int(ins, 1, data_id);
      sqlite3_bind_int(ins, 2, type);
      sqlite3_bind_text(ins, 3, t.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_blob(ins, 4, d.data(), static_cast<int>(d.size()), SQLITE_TRANSIENT);
      ASSERT_EQ(sqlite3_step(ins), SQLITE_DONE);
    };
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (int i = 0; i < 100; ++i) {
      std::vector<unsigned char> r = kRecord;
      r[4] = static_cast<unsigned char>(i);  // input voltage tells the row apart
      add(7, 5035, t0_ + i * 1000, r);
      add(8, 5035, t0_ + i * 1000 + 500, kRecord);
    }
    add(7, 99, t0_ + 100 * 1000, {0xAB, 0x01});
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_finalize(ins);
    sqlite3_close(db);
    board_ = MakeBoard();
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

  controller::HistoryPage Read(QueryParams params) {
    params.emplace("device", "ups");
    req_ = controller::ParseHistoryRequest(params, *board_, t0_ + 3600 * 1000);
    return controller::ReadHistory(path_, req_);
  }

  std::string dir_;
  std::string path_;
  std::int64_t t0_ = Ms("2026-12-07T10:00:00Z");
  std::shared_ptr<controller::StatusBoard> board_;
  controller::HistoryRequest req_;
};

TEST_F(HistoryRead, ReturnsTheRangeOfTheDeviceOnly) {
  const controller::HistoryPage p =
      Read({{"from", "2026-12-07T10:00:10Z"}, {"to", "2026-12-07T10:00:20Z"}});
  ASSERT_EQ(p.rows.size(), 11u);
  EXPECT_FALSE(p.more);
  EXPECT_EQ(p.rows.front().time, "2026-12-07T10:00:10.000Z");
  EXPECT_EQ(p.rows.back().time, "2026-12-07T10:00:20.000Z");
  for (std::size_t i = 0; i < p.rows.size(); ++i) EXPECT_EQ(p.rows[i].data[4], 10 + i);
}

TEST_F(HistoryRead, StartsAtEveryPossibleOffset) {
  // The start is found by a search over ids; every start and empty ranges too.
  for (int s = 0; s <= 101; ++s) {
    const std::string from = controller::FormatUtcMs(t0_ + s * 1000 - 1);
    const controller::HistoryPage p = Read({{"from", from}, {"limit", "1"}});
    if (s <= 100) {
      ASSERT_EQ(p.rows.size(), 1u) << s;
      EXPECT_EQ(p.rows[0].time, controller::FormatUtcMs(t0_ + s * 1000)) << s;
    } else {
      EXPECT_TRUE(p.rows.empty());
    }
  }
}

TEST_F(HistoryRead, LimitsAndThins) {
  const controller::HistoryPage limited = Read({{"from", "2026-12-07T10:00:00Z"}, {"limit", "5"}});
  EXPECT_EQ(limited.rows.size(), 5u);
  EXPECT_TRUE(limited.more);
  const controller::HistoryPage thinned = Read({{"from", "2026-12-07T10:00:00Z"}, {"step", "10"}});
  ASSERT_EQ(thinned.rows.size(), 11u);  // 10 buckets of records, and the foreign one
  EXPECT_EQ(thinned.rows[1].time, "2026-12-07T10:00:10.000Z");
  EXPECT_FALSE(thinned.more);
}

TEST_F(HistoryRead, RendersJsonAndCsv) {
  const controller::HistoryPage p = Read({{"from", "2026-12-07T10:01:39Z"}});
  ASSERT_EQ(p.rows.size(), 2u);
  const Json::Value j = ParseJson(controller::HistoryJson(req_, p));
  EXPECT_EQ(j["count"].asInt(), 2);
  EXPECT_EQ(j["device"].asString(), "ups");
  const Json::Value& ups = j["records"][0];
  EXPECT_DOUBLE_EQ(ups["values"]["input_voltage"].asDouble(), 0x863 / 10.0);
  EXPECT_DOUBLE_EQ(ups["values"]["battery_voltage"].asDouble(), 2.05);
  EXPECT_EQ(ups["flags"].size(), 3u);
  EXPECT_EQ(ups["device_time"].asString(), "2026-12-07 10:20:30");
  EXPECT_EQ(j["records"][1]["hex"].asString(), "AB01");
  EXPECT_EQ(controller::HistoryCsv(p),
            "time,record_type,input_voltage_V,input_fault_voltage_V,output_voltage_V,"
            "output_load_pct,input_frequency_Hz,battery_voltage_V,temperature_C,state,flags,hex\r\n"
            "2026-12-07T10:01:39.000Z,5035,214.7,229.5,230.0,34.0,50.0,2.05,27.0,137,"
            "utility_failure;standby_type;beeper_on,\r\n"
            "2026-12-07T10:01:40.000Z,99,,,,,,,,,,AB01\r\n");
}

TEST_F(HistoryRead, FailsOnAMissingDatabase) {
  controller::HistoryRequest r;
  r.data_id = 7;
  r.device_type = "zota_up2200";
  EXPECT_THROW(controller::ReadHistory(dir_ + "/none.db", r), controller::HistoryError);
}

// ---- status board and events -----------------------------------------------------

TEST(StatusBoard, FollowsTheLink) {
  const auto board = MakeBoard();
  auto link = [&] { return board->Snapshot()[0].link; };
  EXPECT_EQ(link(), controller::LinkState::kOk);
  board->Failure(0);
  EXPECT_EQ(link(), controller::LinkState::kTimeout);
  board->Record(0, 5035, kRecord.data(), 26, true);  // replayed: says nothing of the line
  EXPECT_EQ(link(), controller::LinkState::kTimeout);
  board->Record(0, 5035, kRecord.data(), 26, false);
  EXPECT_EQ(link(), controller::LinkState::kOk);
  board->Lost(0);
  EXPECT_EQ(link(), controller::LinkState::kLost);
  board->ReopenFailed(0);
  EXPECT_EQ(link(), controller::LinkState::kReopening);
  board->Reopened(0, "/dev/pts/10");
  const controller::DeviceStatus d = board->Snapshot()[0];
  EXPECT_EQ(d.link, controller::LinkState::kOk);
  EXPECT_EQ(d.port, "/dev/pts/10");
  EXPECT_EQ(d.records, 2);
  EXPECT_EQ(d.failures, 1);
  EXPECT_EQ(d.reopens, 1);
  board->Record(5, 5035, kRecord.data(), 26, false);  // no such device: ignored
  EXPECT_FALSE(board->Find("other"));
}

TEST(StatusBoard, StreamsEventsToListeners) {
  const auto board = MakeBoard();
  board->Record(0, 5035, kRecord.data(), 26, false);  // before anyone listens: not kept
  auto sub = board->Subscribe();
  ASSERT_TRUE(sub);
  std::string out;
  EXPECT_EQ(sub->Wait(std::chrono::milliseconds(1), out),
            controller::EventSubscription::Result::kIdle);
  board->Record(0, 5035, kRecord.data(), 26, false);
  rule_value item;
  item.signal_id = "2A2615101001";
  item.value = 170.5f;
  item.threshold = 180.0f;
  item.low = true;
  item.level = 2;
  board->Alarm(0, item, true);
  board->Report(0, "2A2110400001", 230.0f);
  board->Failure(0);
  EXPECT_EQ(sub->Wait(std::chrono::milliseconds(1), out),
            controller::EventSubscription::Result::kEvents);
  std::vector<std::pair<std::string, Json::Value>> events;
  std::istringstream frames(out);
  for (std::string id, event, data, blank; std::getline(frames, id);) {
    ASSERT_EQ(id.rfind("id: ", 0), 0u) << out;
    ASSERT_TRUE(std::getline(frames, event) && event.rfind("event: ", 0) == 0) << out;
    ASSERT_TRUE(std::getline(frames, data) && data.rfind("data: ", 0) == 0) << out;
    ASSERT_TRUE(std::getline(frames, blank) && blank.empty()) << out;
    events.emplace_back(event.substr(7), ParseJson(data.substr(6)));
  }
  ASSERT_EQ(events.size(), 4u) << out;
  EXPECT_EQ(events[0].first, "record");
  EXPECT_DOUBLE_EQ(events[0].second["record"]["values"]["input_voltage"].asDouble(), 230.0);
  EXPECT_EQ(events[0].second["counters"]["records"].asInt(), 2);
  EXPECT_EQ(events[1].first, "alarm");
  EXPECT_TRUE(events[1].second["raised"].asBool());
  EXPECT_EQ(events[1].second["measurement"].asString(), "input_voltage");
  EXPECT_FLOAT_EQ(events[1].second["value"].asFloat(), 170.5f);
  EXPECT_EQ(events[2].first, "report");
  EXPECT_EQ(events[2].second["unit"].asString(), "V");
  EXPECT_EQ(events[3].first, "link");
  EXPECT_EQ(events[3].second["link"].asString(), "timeout");
  EXPECT_EQ(board->Snapshot()[0].alarms.at("2A2615101001").active, true);
}

TEST(StatusBoard, DropsALaggingListenerAndCapsListeners) {
  const auto board = MakeBoard(4, 2);
  auto slow = board->Subscribe();
  auto quick = board->Subscribe();
  EXPECT_FALSE(board->Subscribe());
  std::string out;
  for (int i = 0; i < 5; ++i) board->Failure(0);
  EXPECT_EQ(slow->Wait(std::chrono::milliseconds(0), out),
            controller::EventSubscription::Result::kDropped);
  EXPECT_EQ(board->dropped(), 1);
  slow.reset();
  EXPECT_EQ(board->subscribers(), 1u);
  EXPECT_TRUE(board->Subscribe());
}

TEST(StatusBoard, ClosingEndsWaitingListeners) {
  const auto board = MakeBoard();
  auto sub = board->Subscribe();
  std::thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    board->CloseEvents();
  });
  std::string out;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(sub->Wait(std::chrono::seconds(30), out),
            controller::EventSubscription::Result::kEnded);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  closer.join();
  EXPECT_FALSE(board->Subscribe());
}

// ---- texts ------------------------------------------------------------------------

TEST(StatusText, DevicesJsonEscapesNames) {
  const auto board = MakeBoard(64, 4, "ups \"a\"\\\n\x01");
  board->Record(0, 5035, kRecord.data(), 26, false);
  const Json::Value j = ParseJson(controller::DevicesJson(board->Snapshot()));
  const Json::Value& d = j["devices"][0];
  EXPECT_EQ(d["name"].asString(), "ups \"a\"\\\n\x01");
  EXPECT_EQ(d["link"].asString(), "ok");
  EXPECT_DOUBLE_EQ(d["record"]["values"]["output_load"].asDouble(), 34.0);
  EXPECT_EQ(d["alarms"][0]["threshold"].asFloat(), 180.0f);
  EXPECT_TRUE(d["alarms"][0]["low"].asBool());
  EXPECT_EQ(j["measurements"].size(), 7u);
  EXPECT_EQ(j["flags"].size(), 8u);
}

TEST(StatusText, MetricsAreWellFormed) {
  const auto board = MakeBoard(64, 4, "ups \"a\"\\");
  board->Record(0, 5035, kRecord.data(), 26, false);
  board->Failure(0);
  const std::string text = controller::MetricsText(board->Snapshot(), {3, 1});
  for (const char* bad : {"a{b=\"c} 1", "a{b=\"\\x\"} 1", "a 1x", "a{b=\"c\"}1", "A 1"})
    EXPECT_EQ(SampleName(bad), "") << bad;
  std::string family;
  std::set<std::string> families;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("# HELP ", 0) == 0) continue;
    if (line.rfind("# TYPE ", 0) == 0) {
      family = line.substr(7, line.find(' ', 7) - 7);
      EXPECT_TRUE(families.insert(family).second) << "family twice: " << family;
      continue;
    }
    EXPECT_EQ(SampleName(line), family) << line;
  }
  for (const char* want :
       {"ups_input_voltage_volts{device=\"ups \\\"a\\\"\\\\\",data_id=\"7\"} 230\n",
        "ups_output_load_ratio{device=\"ups \\\"a\\\"\\\\\",data_id=\"7\"} 0.34\n",
        "flag=\"utility_failure\"} 1\n", "flag=\"battery_low\"} 0\n",
        "qdx_device_communication_failures_total{device=\"ups \\\"a\\\"\\\\\",data_id=\"7\"} 1\n",
        "state=\"timeout\"} 1\n", "signal_id=\"2A2615101001\",level=\"2\"} 0\n",
        "qdx_http_event_clients 3\n", "qdx_http_event_clients_dropped_total 1\n"})
    EXPECT_NE(text.find(want), std::string::npos) << want;
}

}  // namespace
