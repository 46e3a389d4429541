// The event log's bounds: removal for room takes its oldest events before
// any device's newest records.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "controller/common/iso_time.h"
#include "controller/history/history_db.h"
#include "support/sql_count.h"
#include "support/temp_dir.h"
#include "support/zota_history.h"

namespace {

using test_support::SqlCount;

constexpr std::int64_t kMinute = 60 * 1000;

class HistoryLogTest : public ::testing::Test {
 protected:
  // Upkeep until it has nothing left to do, bounded.
  static void UpkeepAll(controller::HistoryDb& db) {
    controller::Removal r;
    for (int i = 0; i < 2000 && db.Upkeep(&r); ++i) r = {};
  }

  static std::vector<controller::HistoryRow> Records(std::uint32_t data_id, std::int64_t ms,
                                                     int n) {
    std::vector<controller::HistoryRow> rows(static_cast<std::size_t>(n));
    for (auto& r : rows) {
      r.data_id = data_id;
      r.device_type = "z";
      r.time_ms = ms;
      r.data.assign(26, 1);
    }
    return rows;
  }

  test_support::TempDir dir_;
  const std::string path_ = dir_.File("h.db");
};

// A flapping line: far more bytes of events than of records. Past max_mb the
// oldest events go, never a record of a device's newest 10 minutes, while a
// record older than every event goes before them.
TEST_F(HistoryLogTest, RoomTakesTheOldestEventsBeforeTheNewestRecords) {
  const std::int64_t now = controller::NowUtcMs();
  controller::HistoryDb db(path_, test_support::ZotaHistory({0, 1, 0}));
  ASSERT_EQ(db.StoreGroup(Records(7, now - 2 * 1440 * kMinute, 1)).code(), SQLITE_OK);
  const std::string json(300, 'x');
  constexpr int kGroups = 40;
  constexpr int kEvents = 150;  // per group, 300 bytes and more each
  constexpr int kRecords = 15;  // per group and device
  for (int g = 0; g < kGroups; ++g) {
    std::vector<controller::LoggedEvent> events;
    for (int e = 0; e < kEvents; ++e)
      events.push_back({now - 120 * kMinute + (g * kEvents + e) * 1000, "flap", "u", 7, json});
    std::vector<controller::HistoryRow> rows = Records(7, now - 5 * kMinute, kRecords);
    for (auto& r : Records(8, now - 4 * kMinute, kRecords)) rows.push_back(r);
    ASSERT_EQ(db.StoreGroup(rows, events).code(), SQLITE_OK);
    UpkeepAll(db);
  }
  EXPECT_EQ(SqlCount(path_, "SELECT COUNT(*) FROM history WHERE time_ms < " +
                                std::to_string(now - 10 * kMinute)),
            0);
  for (int id : {7, 8})
    EXPECT_EQ(SqlCount(path_, "SELECT COUNT(*) FROM history WHERE data_id = " + std::to_string(id)),
              kGroups * kRecords);
  // The newest events stay, without a gap; the oldest went.
  const std::int64_t left = SqlCount(path_, "SELECT COUNT(*) FROM event_log");
  EXPECT_GT(left, 0);
  EXPECT_LT(left, kGroups * kEvents);
  EXPECT_EQ(SqlCount(path_, "SELECT MAX(id) - MIN(id) + 1 FROM event_log"), left);
  EXPECT_EQ(SqlCount(path_, "SELECT MAX(id) FROM event_log"), kGroups * kEvents);
  EXPECT_LE(
      SqlCount(path_, "SELECT page_count * page_size FROM pragma_page_count, pragma_page_size"),
      1024 * 1024);
}

// The log's trim after removal by age goes in small steps, each its own
// statement, until every event older than the records left has gone.
TEST_F(HistoryLogTest, TrimsTheLogInSmallSteps) {
  const std::int64_t now = controller::NowUtcMs();
  const std::int64_t hour = 60 * kMinute;
  { controller::HistoryDb create(path_, test_support::ZotaHistory()); }
  {
    controller::HistoryDb db(path_, test_support::ZotaHistory({0, 0, 0}));
    for (int hours : {72, 1})
      ASSERT_EQ(db.StoreGroup(Records(7, now - hours * hour, 1)).code(), SQLITE_OK);
    std::vector<controller::LoggedEvent> events;
    for (int e = 0; e < 1800; ++e) events.push_back({now - 80 * hour + e, "flap", "u", 7, "{}"});
    events.push_back({now - hour / 2, "flap", "u", 7, "{}"});
    ASSERT_EQ(db.StoreGroup({}, events).code(), SQLITE_OK);
  }
  controller::HistoryDb db(path_, test_support::ZotaHistory({1, 0, 0}));
  std::int64_t left = SqlCount(path_, "SELECT COUNT(*) FROM event_log");
  controller::Removal r;
  for (int i = 0; i < 100 && db.Upkeep(&r); ++i) {
    const std::int64_t now_left = SqlCount(path_, "SELECT COUNT(*) FROM event_log");
    EXPECT_LE(left - now_left, 500);
    left = now_left;
  }
  EXPECT_EQ(SqlCount(path_, "SELECT COUNT(*) FROM history"), 1);
  EXPECT_EQ(SqlCount(path_, "SELECT COUNT(*) FROM event_log"), 1);
}

// The log's own bounds: events older than log_keep_days go, and the log
// keeps to its share of max_mb, the oldest first, with no record to remove.
TEST_F(HistoryLogTest, KeepsTheLogToItsOwnBounds) {
  const std::int64_t now = controller::NowUtcMs();
  controller::HistoryLimits limits{0, 1, 0};
  limits.log_keep_days = 2;
  std::vector<controller::LoggedEvent> events;
  for (int e = 0; e < 10; ++e)
    events.push_back({now - 3 * 1440 * kMinute + e, "old", "u", 7, "{}"});
  for (int e = 0; e < 2000; ++e)
    events.push_back({now - 60 * kMinute + e, "flap", "u", 7, std::string(300, 'x')});
  {
    controller::HistoryLimits by_age = limits;
    by_age.max_mb = 0;
    controller::HistoryDb db(path_, test_support::ZotaHistory(by_age));
    ASSERT_EQ(db.StoreGroup({}, events).code(), SQLITE_OK);
    UpkeepAll(db);  // this run's events stay: its clock may have been stepped
    EXPECT_EQ(SqlCount(path_, "SELECT COUNT(*) FROM event_log WHERE event = 'old'"), 10);
  }
  controller::HistoryDb db(path_, test_support::ZotaHistory(limits));
  UpkeepAll(db);
  EXPECT_EQ(SqlCount(path_, "SELECT COUNT(*) FROM event_log WHERE event = 'old'"), 0);
  const std::int64_t left = SqlCount(path_, "SELECT COUNT(*) FROM event_log");
  EXPECT_GT(left, 400);
  EXPECT_LT(left * 340, 1024 * 1024 / 4);
  EXPECT_EQ(SqlCount(path_, "SELECT MAX(id) - MIN(id) + 1 FROM event_log"), left);
  EXPECT_EQ(SqlCount(path_, "SELECT MAX(id) FROM event_log"), 2010);
}

}  // namespace
