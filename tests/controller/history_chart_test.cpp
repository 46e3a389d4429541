// Chart answers read only the rows that begin their windows. Whatever clock
// steps, restarts, removals and taken-over files did, every answer must equal
// the first row at or after the start of each step found the long way.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "controller/common/iso_time.h"
#include "controller/history/history_db.h"
#include "controller/http/http_history.h"
#include "support/sql_count.h"
#include "support/temp_dir.h"
#include "support/zota_history.h"

namespace {

constexpr char kType[] = "zota_up2200";
constexpr std::int64_t kS = 1000;
constexpr std::int64_t kHour = 3600 * kS;
const std::int64_t kT0 = *controller::ParseUtcMs("2026-12-07T10:00:00Z");

using test_support::SqlCount;

// Times from start, one about every 1.3 s with some jitter.
std::vector<std::int64_t> Polls(std::int64_t start, int n) {
  std::vector<std::int64_t> out;
  for (int i = 0; i < n; ++i) out.push_back(start + i * 1300 + (i * 7919) % 400);
  return out;
}

class HistoryChartTest : public ::testing::Test {
 protected:
  // Stored as the writer stores them, each row's data telling it apart.
  void Store(controller::HistoryDb& db, const std::vector<std::int64_t>& times,
             std::uint32_t data_id = 7, const char* type = kType) {
    std::vector<controller::HistoryRow> group;
    for (std::size_t i = 0; i < times.size(); ++i) {
      controller::HistoryRow r;
      r.data_id = data_id;
      r.device_type = type;
      r.record_type = 5035;
      r.time_ms = times[i];
      r.data = {static_cast<unsigned char>(serial_ >> 16), static_cast<unsigned char>(serial_ >> 8),
                static_cast<unsigned char>(serial_)};
      ++serial_;
      group.push_back(r);
      if (group.size() == 256 || i + 1 == times.size()) {
        ASSERT_EQ(db.StoreGroup(group).code(), SQLITE_OK);
        group.clear();
      }
    }
  }

  // The long way: every row of device 7 in time order.
  std::vector<controller::HistoryRow> AllRows() {
    std::vector<controller::HistoryRow> out;
    test_support::SqlRows(path_,
                          "SELECT time_ms, data FROM history WHERE data_id = 7 AND device_type = "
                          "'zota_up2200' AND time_ms IS NOT NULL ORDER BY time_ms, id",
                          [&out](sqlite3_stmt* st) {
                            controller::HistoryRow r;
                            r.time_ms = sqlite3_column_int64(st, 0);
                            const auto* p =
                                static_cast<const unsigned char*>(sqlite3_column_blob(st, 1));
                            r.data.assign(p, p + sqlite3_column_bytes(st, 1));
                            out.push_back(r);
                          });
    return out;
  }

  // Every step a chart may use, from starts on and off whole steps.
  void ExpectEveryChartRight(bool levelled = true) {
    if (levelled) {
      ASSERT_EQ(SqlCount(path_, "SELECT COUNT(*) FROM history WHERE chart_level IS NULL"), 0);
    }
    const std::vector<controller::HistoryRow> all = AllRows();
    ASSERT_FALSE(all.empty());
    for (long step : {1L, 60L, 90L, 120L, 600L, 1200L, 3540L, 3600L, 86400L, 604800L}) {
      for (std::int64_t from : {all.front().time_ms - 1, kT0 - kHour - 17 * kS, kT0 + 601 * kS,
                                all.back().time_ms - 5 * kHour}) {
        controller::HistoryRequest req;
        req.device = "ups";
        req.data_id = 7;
        req.device_type = kType;
        req.from_ms = std::max<std::int64_t>(from, 0);
        req.to_ms = all.back().time_ms - 7 * kS;
        req.step_s = step;
        req.limit = controller::kMaxHistoryLimit;
        std::vector<controller::Bytes> want;
        std::int64_t next = req.from_ms;
        for (const auto& r : all) {
          if (r.time_ms < next || r.time_ms > req.to_ms) continue;
          if (want.size() == req.limit) break;
          want.push_back(r.data);
          next = (r.time_ms / (step * kS) + 1) * step * kS;
        }
        std::vector<controller::Bytes> got;
        for (const auto& r :
             controller::ReadHistory(path_, controller::ZotaRollupFields(), req).rows)
          got.push_back(r.data);
        ASSERT_EQ(got, want) << "step " << step << " from " << controller::FormatUtcMs(from);
      }
    }
  }

  test_support::TempDir dir_;
  const std::string path_ = dir_.File("h.db");
  unsigned serial_ = 0;
};

TEST_F(HistoryChartTest, FollowsClockStepsAndRestarts) {
  {
    controller::HistoryDb db(path_, test_support::ZotaHistory({0, 0, 0}));
    Store(db, Polls(kT0, 9000));
    Store(db, Polls(kT0 - kHour, 1500));              // stepped back an hour
    Store(db, Polls(kT0 - kHour + 1940 * kS, 40));    // and back a few seconds
    Store(db, Polls(kT0 + 50 * kHour, 200));          // then two days forward
    Store(db, {kT0 + 62 * kHour + 50 * kS});          // to a new day
    Store(db, Polls(kT0 + 62 * kHour + 5 * kS, 30));  // and back to its first minute
    Store(db, Polls(kT0, 3000), 8);                   // other devices in between
    Store(db, Polls(kT0, 3000), 7, "other");
  }
  // A restart within the minute of the last row.
  controller::HistoryDb db(path_, test_support::ZotaHistory({0, 0, 0}));
  Store(db, Polls(kT0 + 50 * kHour + 200 * 1300 + 20, 300));
  Store(db, Polls(kT0 + 3 * kHour + 7 * kS, 30));
  ExpectEveryChartRight();
}

// Removals that cut windows in the middle of a device's history, and rows
// that follow a removed one in its window.
TEST_F(HistoryChartTest, FollowsRemovals) {
  const std::int64_t cutoff = controller::NowUtcMs() - 400 * 24 * kHour;
  {
    controller::HistoryDb db(path_, test_support::ZotaHistory({0, 0, 0}));
    Store(db, Polls(cutoff - kHour, 6000));
  }
  controller::HistoryDb db(path_, test_support::ZotaHistory({400, 0, 0}));
  Store(db, Polls(cutoff - 2 * kHour, 100));  // this run's: kept, though older
  controller::Removal removed;
  for (int i = 0; i < 100 && db.Upkeep(&removed); ++i) {
  }
  EXPECT_EQ(
      SqlCount(path_, "SELECT COUNT(*) FROM history WHERE time_ms < " + std::to_string(cutoff)),
      100);
  ASSERT_TRUE(db.MakeRoom(&removed));  // the oldest 2,000 stored
  ExpectEveryChartRight();

  Store(db, Polls(kT0, 100));
  db.MakeRoom(&removed);
  ASSERT_EQ(SqlCount(path_, "SELECT COUNT(*) FROM history"), 0);
  Store(db, Polls(kT0 + 99 * 1300 + 500, 100));  // in the minute of a removed row
  Store(db, Polls(kT0 - kHour, 100));            // then earlier ones
  ExpectEveryChartRight();
}

// Files of both earlier layouts, answered right while being filled and after.
TEST_F(HistoryChartTest, TakesOverEarlierFiles) {
  for (const bool with_time_ms : {false, true}) {
    // Rows about every 1.3 s, the last third stepped back 20 minutes.
    std::string sql =
        std::string(
            "CREATE TABLE history (id INTEGER PRIMARY KEY, data_id INTEGER NOT NULL, "
            "device_type TEXT NOT NULL, record_type INTEGER NOT NULL, time TEXT NOT "
            "NULL, data BLOB NOT NULL") +
        (with_time_ms ? ", time_ms INTEGER);" : ");") +
        "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 5999) "
        "INSERT INTO history(data_id, device_type, record_type, time, data) SELECT 7, "
        "'zota_up2200', 5035, strftime('%Y-%m-%dT%H:%M:%fZ', '2026-12-07T10:00:00', '+' || "
        "(CASE WHEN i < 4000 THEN i * 1.3 ELSE i * 1.3 - 4000 END) || ' seconds'), "
        "randomblob(8) FROM n;";
    if (with_time_ms)
      sql +=
          "UPDATE history SET time_ms = CAST(ROUND((julianday(time) - 2440587.5) * 86400000) "
          "AS INTEGER);";
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &raw), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(raw);
    {
      controller::HistoryDb db(path_, test_support::ZotaHistory({0, 0, 0}));
      controller::Removal none;
      while (db.Upkeep(&none)) ExpectEveryChartRight(false);
      Store(db, Polls(kT0 + 2 * kHour, 100));
      ExpectEveryChartRight();
    }
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path_ + suffix).c_str());
  }
}

}  // namespace
