// Repeats of an event counted in one row of the event log: which events a
// row takes, a day of a flapping line in bytes, a log of an older layout.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "controller/common/iso_time.h"
#include "controller/history/history_db.h"
#include "controller/history/history_reader.h"
#include "controller/http/http_history.h"
#include "support/sql_count.h"
#include "support/temp_dir.h"
#include "support/zota_history.h"

namespace {

using test_support::SqlCount;

constexpr std::int64_t kSecond = 1000;
constexpr std::int64_t kDay = 86400 * kSecond;

struct Row {
  std::string event;
  std::int64_t data_id, count, last_s;  // last_s: seconds after the start
  bool operator==(const Row& o) const {
    return std::tie(event, data_id, count, last_s) ==
           std::tie(o.event, o.data_id, o.count, o.last_s);
  }
};

void PrintTo(const Row& r, std::ostream* os) {
  *os << r.event << " " << r.data_id << " x" << r.count << " last " << r.last_s;
}

class HistoryRepeatTest : public ::testing::Test {
 protected:
  // Rows in storing order.
  std::vector<Row> Rows(std::int64_t t0) const {
    std::vector<Row> out;
    test_support::SqlRows(
        path_, "SELECT event, data_id, count, IFNULL(last_ms, time_ms) FROM event_log ORDER BY id",
        [&](sqlite3_stmt* st) {
          out.push_back({reinterpret_cast<const char*>(sqlite3_column_text(st, 0)),
                         sqlite3_column_int64(st, 1), sqlite3_column_int64(st, 2),
                         (sqlite3_column_int64(st, 3) - t0) / kSecond});
        });
    return out;
  }

  test_support::TempDir dir_;
  const std::string path_ = dir_.File("h.db");
};

controller::LoggedEvent Ev(std::int64_t ms, const char* event, std::uint32_t data_id,
                           const char* repeat_of) {
  return {ms,
          event,
          "u" + std::to_string(data_id),
          data_id,
          "{\"event\":\"" + std::string(event) + "\"}",
          repeat_of};
}

// A repeat joins the newest row of its event, device and condition whose
// first time is at most 10 minutes before it; anything else is a row of its
// own: another device or condition, a kind not counted, the window passed,
// a clock gone back.
TEST_F(HistoryRepeatTest, CountsOnlyRepeatsOfOneConditionWithinTheWindow) {
  const std::int64_t t0 = controller::NowUtcMs() - kDay;
  const std::int64_t m10 = 600 * kSecond;
  const std::vector<std::vector<controller::LoggedEvent>> groups = {
      {Ev(t0, "link_lost", 1, "link"), Ev(t0 + 1000, "link_restored", 1, "link"),
       Ev(t0 + 2000, "link_lost", 1, "link")},
      {Ev(t0 + 3000, "link_lost", 2, "link"), Ev(t0 + 4000, "alarm_raised", 1, "alarm:X"),
       Ev(t0 + 5000, "alarm_raised", 1, "alarm:Y"), Ev(t0 + 6000, "alarm_raised", 1, "alarm:X"),
       Ev(t0 + 7000, "history_failing", 1, ""), Ev(t0 + 8000, "history_failing", 1, "")},
      {Ev(t0 + m10 - 1, "link_lost", 1, "link"), Ev(t0 + m10, "link_lost", 1, "link"),
       Ev(t0 - 1000, "link_lost", 1, "link"), Ev(t0 + m10 + 5000, "link_lost", 1, "link")},
  };
  controller::HistoryDb db(path_, test_support::ZotaHistory());
  for (const auto& g : groups) ASSERT_EQ(db.StoreGroup({}, g).code(), SQLITE_OK);
  const std::vector<Row> want = {
      {"link_lost", 1, 3, 599},     {"link_restored", 1, 1, 1}, {"link_lost", 2, 1, 3},
      {"alarm_raised", 1, 2, 6},    {"alarm_raised", 1, 1, 5},  {"history_failing", 1, 1, 7},
      {"history_failing", 1, 1, 8}, {"link_lost", 1, 2, 605},   {"link_lost", 1, 1, -1}};
  EXPECT_EQ(Rows(t0), want);
}

// A line flapping at every 1 s poll for a day adds a few rows an hour, every
// event counted; removal by age takes counted rows by their first time.
TEST_F(HistoryRepeatTest, AFlappingDayTakesUnderTwoMegabytes) {
  const std::int64_t now = controller::NowUtcMs();
  const std::int64_t start = now - 2 * kDay - kDay / 2;
  const std::string json(343, 'x');  // an event's JSON, about
  {
    controller::HistoryDb db(path_, test_support::ZotaHistory());
    std::vector<controller::LoggedEvent> group;
    for (std::int64_t s = 0; s < 86400; ++s) {
      group.push_back({start + s * kSecond, s % 2 == 0 ? "link_lost" : "link_restored", "ups1", 1,
                       json, "link"});
      if (group.size() < 240) continue;  // a commit per 4 minutes keeps it quick
      ASSERT_EQ(db.StoreGroup({}, group).code(), SQLITE_OK);
      group.clear();
    }
  }
  EXPECT_EQ(SqlCount(path_, "SELECT SUM(count) FROM event_log"), 86400);
  EXPECT_EQ(SqlCount(path_, "SELECT COUNT(*) FROM event_log"), 2 * 144);
  const std::int64_t bytes =
      SqlCount(path_, "SELECT SUM(pgsize) FROM dbstat WHERE name LIKE 'event_log%'");
  EXPECT_LE(bytes, 2 * 1024 * 1024);
  RecordProperty("event_log_bytes", std::to_string(bytes));
  std::printf("a flapping day: %lld bytes of event log\n", static_cast<long long>(bytes));

  controller::HistoryLimits limits;
  limits.log_keep_days = 2;
  controller::HistoryDb db(path_, test_support::ZotaHistory(limits));
  controller::Removal r;
  for (int i = 0; i < 100 && db.Upkeep(&r); ++i) r = {};
  EXPECT_EQ(SqlCount(path_, "SELECT COUNT(*) FROM event_log WHERE time_ms < " +
                                std::to_string(now - 2 * kDay)),
            0);
  EXPECT_GE(SqlCount(path_, "SELECT COUNT(*) FROM event_log"), 142);
}

// A log of the layout before counts is taken over at start: its rows count
// one each, take no repeats, and /api/log tells every row's count and last
// time after the keys it had.
TEST_F(HistoryRepeatTest, TakesOverAnOlderLogAndServesCounts) {
  const std::int64_t t0 = controller::NowUtcMs() - kDay;
  {
    sqlite3* old = nullptr;
    sqlite3_open(path_.c_str(), &old);
    const std::string sql =
        "CREATE TABLE event_log (id INTEGER PRIMARY KEY, time_ms INTEGER NOT NULL, event TEXT NOT "
        "NULL, device TEXT NOT NULL, data_id INTEGER NOT NULL, json TEXT NOT NULL);"
        "INSERT INTO event_log(time_ms, event, device, data_id, json) VALUES(" +
        std::to_string(t0) + ", 'link_lost', 'u1', 1, '{\"event\":\"link_lost\"}')";
    ASSERT_EQ(sqlite3_exec(old, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(old);
  }
  controller::HistoryDb db(path_, test_support::ZotaHistory());
  ASSERT_EQ(db.StoreGroup({}, {Ev(t0 + 1000, "link_lost", 1, "link"),
                               Ev(t0 + 3000, "link_lost", 1, "link")})
                .code(),
            SQLITE_OK);
  EXPECT_EQ(Rows(t0), (std::vector<Row>{{"link_lost", 1, 1, 0}, {"link_lost", 1, 2, 3}}));
  controller::LogRange all;
  all.to_ms = INT64_MAX;
  const std::string json = controller::LogJson(controller::ReadLog(path_, all), {"link_lost"});
  EXPECT_EQ(json, "{\"count\":2,\"events\":[{\"event\":\"link_lost\",\"count\":1,\"last_time\":\"" +
                      controller::FormatUtcMs(t0) + "\",\"last_time_ms\":" + std::to_string(t0) +
                      "},{\"event\":\"link_lost\",\"count\":2,\"last_time\":\"" +
                      controller::FormatUtcMs(t0 + 3000) +
                      "\",\"last_time_ms\":" + std::to_string(t0 + 3000) +
                      "}],\"repeats\":{\"events\":[\"link_lost\"],\"within_s\":600}}");
}

}  // namespace
