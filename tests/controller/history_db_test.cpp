// The history file: what start-up accepts, what it keeps per device, and the
// stored times it reads back.
#include "controller/history/history_db.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "controller/common/iso_time.h"
#include "controller/history/history_writer.h"
#include "support/expect.h"
#include "support/sql_count.h"
#include "support/temp_dir.h"
#include "support/zota_history.h"

namespace {

std::int64_t ToMs(std::chrono::system_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

// One record stored now, as the writer stores a group.
void Store(controller::HistoryDb& db, std::uint32_t data_id, const unsigned char* data,
           unsigned len) {
  std::vector<controller::HistoryRow> one(1);
  one[0].data_id = data_id;
  one[0].device_type = "zota_up2200";
  one[0].record_type = 5035;
  one[0].time_ms = controller::NowUtcMs();
  one[0].data.assign(data, data + len);
  ASSERT_EQ(db.StoreGroup(one).code(), SQLITE_OK);
}

struct BadTable {
  const char* sql;
  const char* message;
};

void PrintTo(const BadTable& b, std::ostream* os) { *os << b.sql; }

class HistoryDbTest : public ::testing::TestWithParam<BadTable> {
 protected:
  bool Exists(const std::string& p) const { return ::access(p.c_str(), F_OK) == 0; }

  // Expects opening the history to fail naming the file and why.
  void ExpectRefused(const std::string& why) {
    const auto open = [&] { controller::HistoryDb db(path_, test_support::ZotaHistory()); };
    test_support::ExpectThrowWithMessage<controller::HistoryError>(open, why);
    test_support::ExpectThrowWithMessage<controller::HistoryError>(open, path_);
  }

  test_support::TempDir dir_;
  const std::string path_ = dir_.File("h.db");
};

TEST_F(HistoryDbTest, KeepsRecordsAcrossReopenAndPerDevice) {
  const unsigned char record[26] = {1};
  {
    controller::HistoryDb db(path_, test_support::ZotaHistory());
    EXPECT_FALSE(db.Latest(1001, "zota_up2200"));
    Store(db, 1001, record, 26);
    const unsigned char newer[3] = {1, 0, 2};  // embedded zero kept
    Store(db, 1001, newer, 3);
    Store(db, 1002, record, 26);
  }
  controller::HistoryDb db(path_, test_support::ZotaHistory());
  const std::int64_t now = std::time(nullptr);
  const auto latest = db.Latest(1001, "zota_up2200");
  ASSERT_TRUE(latest);
  EXPECT_EQ(latest->data, (controller::Bytes{1, 0, 2}));
  const auto stored = controller::ParseUtcTimestamp(latest->time);
  ASSERT_TRUE(stored) << latest->time;
  EXPECT_LE(std::abs(*stored - now), 5) << latest->time;  // the row's own time, in UTC
  EXPECT_EQ(db.Latest(1002, "zota_up2200")->data.size(), 26u);
  EXPECT_FALSE(db.Latest(1001, "other"));
}

// The cache gets the record stored last, also one stored behind an earlier
// time (the clock went back), before and after a restart.
TEST_F(HistoryDbTest, LatestIsTheLastStoredAfterAClockStepBack) {
  const std::int64_t t = 1796637600000LL;
  const auto store_at = [](controller::HistoryDb& db, std::int64_t ms, unsigned char mark) {
    std::vector<controller::HistoryRow> one(1);
    one[0].data_id = 1001;
    one[0].device_type = "zota_up2200";
    one[0].record_type = 5035;
    one[0].time_ms = ms;
    one[0].data = {mark};
    ASSERT_EQ(db.StoreGroup(one).code(), SQLITE_OK);
  };
  const auto latest = [](controller::HistoryDb& db) {
    const auto row = db.Latest(1001, "zota_up2200");
    return row ? row->data : controller::Bytes{};
  };
  {
    controller::HistoryDb db(path_, test_support::ZotaHistory());
    store_at(db, t, 1);
    store_at(db, t + 10000, 2);
    store_at(db, t + 5000, 3);
    EXPECT_EQ(latest(db), controller::Bytes{3});
  }
  controller::HistoryDb db(path_, test_support::ZotaHistory());
  EXPECT_EQ(latest(db), controller::Bytes{3});
  store_at(db, t + 6000, 4);  // still behind, the first of this run
  EXPECT_EQ(latest(db), controller::Bytes{4});
  store_at(db, t + 20000, 5);
  EXPECT_EQ(latest(db), controller::Bytes{5});
}

TEST_F(HistoryDbTest, RefusesWhatItCannotUseAndLeavesNoFileBehind) {
  EXPECT_THROW(controller::HistoryDb(dir_.File("missing/h.db"), test_support::ZotaHistory()),
               controller::HistoryError);
  EXPECT_THROW((controller::HistoryDb{dir_.path(), test_support::ZotaHistory()}),
               controller::HistoryError);  // a folder
  EXPECT_THROW(controller::HistoryDb(path_, controller::HistoryOptions{}), std::invalid_argument);
  {
    controller::HistoryDb db(path_, test_support::ZotaHistory());
    db.CloseAndRemoveIfCreated();
  }
  EXPECT_FALSE(Exists(path_));
  EXPECT_FALSE(Exists(path_ + "-wal"));
}

// A statement left open: the close says so and still lets the handle go
// (the sanitizer build would see it kept).
TEST_F(HistoryDbTest, ConnectionSaysAStatementWasLeftOpen) {
  controller::Connection db(path_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  ASSERT_TRUE(db.ok());
  sqlite3_stmt* left = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db.get(), "SELECT 1", -1, &left, nullptr), SQLITE_OK);
  EXPECT_EQ(db.Close(), SQLITE_BUSY);
  EXPECT_FALSE(db.ok());
  sqlite3_finalize(left);
  EXPECT_EQ(db.Close(), SQLITE_OK);
}

TEST_F(HistoryDbTest, SaysWhySQLiteRefusesTheFile) {
  std::ofstream(path_) << "not a database, just some text long enough\n";
  ExpectRefused("file is not a database");
}

// A history made by something else is refused at start, naming the problem,
// and left as it was.
TEST_P(HistoryDbTest, RefusesAForeignTableAndLeavesIt) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, GetParam().sql, nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  ExpectRefused(GetParam().message);
  EXPECT_TRUE(Exists(path_));
}

INSTANTIATE_TEST_SUITE_P(
    Table, HistoryDbTest,
    ::testing::Values(
        BadTable{"CREATE TABLE history (id INTEGER PRIMARY KEY, data_id INTEGER, device_type TEXT,"
                 " record_type INTEGER, time TEXT, data BLOB, site TEXT NOT NULL)",
                 "table \"history\": column \"site\" requires a value"},
        BadTable{"CREATE TABLE history (id INTEGER PRIMARY KEY, data_id INTEGER, time TEXT)",
                 "table \"history\": column \"device_type\" is missing"},
        BadTable{"CREATE VIEW history AS SELECT 1 AS id", "column \"data_id\" is missing"}));

// A raw statement against the file, as another program would run it.
void Sql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* err = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << err;
  sqlite3_free(err);
  sqlite3_close(db);
}

using test_support::SqlCount;

// A file of the older schema (time as text only) with rows one a second.
void OlderFile(const std::string& path, int rows) {
  Sql(path,
      "CREATE TABLE history (id INTEGER PRIMARY KEY, data_id INTEGER NOT NULL, device_type "
      "TEXT NOT NULL, record_type INTEGER NOT NULL, time TEXT NOT NULL, data BLOB NOT NULL);"
      "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < " +
          std::to_string(rows - 1) +
          ") INSERT INTO history(data_id, device_type, record_type, time, data) SELECT 7, 'z', "
          "5035, strftime('%Y-%m-%dT%H:%M:%fZ', '2026-12-07T10:00:00', '+' || i || ' seconds'), "
          "x'01' FROM n;");
}

// Runs upkeep until it has nothing left to do; the removals it made.
std::vector<controller::Removal> UpkeepAll(controller::HistoryDb& db) {
  std::vector<controller::Removal> out;
  for (int i = 0; i < 1000; ++i) {
    controller::Removal r;
    const bool more = db.Upkeep(&r);
    if (r.count > 0) out.push_back(r);
    if (!more) break;
  }
  return out;
}

// A file of the older schema (time as text only) is taken over in place: every
// row kept and given its integer time; the unreadable one keeps none, so that
// age never removes it, and is counted.
TEST_F(HistoryDbTest, TakesOverAnOlderFileKeepingEveryRow) {
  OlderFile(path_, 5000);
  Sql(path_,
      "INSERT INTO history(data_id, device_type, record_type, time, data) "
      "VALUES(7, 'z', 5035, 'garbled', x'02');");
  controller::HistoryDb db(path_, test_support::ZotaHistory({0, 0, 0}));
  EXPECT_TRUE(UpkeepAll(db).empty());
  EXPECT_EQ(SqlCount(path_, "SELECT COUNT(*) FROM history"), 5001);
  EXPECT_EQ(SqlCount(path_, "SELECT COUNT(*) FROM history WHERE time_ms IS NULL"), 1);
  EXPECT_EQ(SqlCount(path_, "SELECT time_ms FROM history WHERE id = 4321"),
            1796637600000LL + 4320 * 1000);
  EXPECT_EQ(SqlCount(path_,
                     "SELECT COUNT(*) FROM history WHERE time = 'garbled' AND "
                     "time_ms IS NULL AND chart_level IS NOT NULL"),
            1);
  EXPECT_EQ(db.TakeUnreadable(), 1);
  EXPECT_EQ(db.Latest(7, "z")->data, (controller::Bytes{2}));
}

// A fill that finds the file locked by another program is put off for a
// moment, not tried again at once, and goes on once the lock is gone.
TEST_F(HistoryDbTest, PutsOffAFillThatFindsTheFileLocked) {
  OlderFile(path_, 3000);
  controller::HistoryDb db(path_, test_support::ZotaHistory({0, 0, 0}));
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  controller::Removal r;
  EXPECT_FALSE(db.Upkeep(&r));
  const auto retry = db.upkeep_retry();
  const auto now = std::chrono::steady_clock::now();
  EXPECT_GT(retry, now);
  ASSERT_LT(retry, now + std::chrono::seconds(5));
  sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  EXPECT_FALSE(db.Upkeep(&r));  // not yet
  std::this_thread::sleep_until(retry);
  UpkeepAll(db);
  EXPECT_EQ(SqlCount(path_, "SELECT COUNT(*) FROM history WHERE time_ms IS NULL"), 0);
  EXPECT_EQ(db.upkeep_retry(), std::chrono::steady_clock::time_point::max());
}

// A group that failed and is stored again gets the chart levels it would
// have had: what the failed attempt took for each device's last row is
// taken back.
TEST_F(HistoryDbTest, AGroupStoredAgainKeepsItsChartLevels) {
  controller::HistoryDb db(path_, test_support::ZotaHistory({0, 0, 0}));
  std::vector<controller::HistoryRow> group(1);
  group[0].data_id = 7;
  group[0].device_type = "zota_up2200";
  group[0].record_type = 5035;
  group[0].time_ms = 86400 * 1000LL * 20000;
  group[0].data.assign(26, 0);
  // Fails after its rows went in: at its rollups.
  Sql(path_,
      "CREATE TRIGGER refuse BEFORE INSERT ON rollup_minute BEGIN SELECT RAISE(ABORT, 'no'); "
      "END");
  EXPECT_NE(db.StoreGroup(group).code(), SQLITE_OK);
  Sql(path_, "DROP TRIGGER refuse");
  ASSERT_EQ(db.StoreGroup(group).code(), SQLITE_OK);
  // The device's first row: it may begin any window.
  EXPECT_EQ(SqlCount(path_, "SELECT chart_level FROM history"), controller::kChartLevels);
}

// A time index of the earlier layout is built anew.
TEST_F(HistoryDbTest, RebuildsANarrowerTimeIndex) {
  { controller::HistoryDb create(path_, test_support::ZotaHistory()); }
  Sql(path_,
      "DROP INDEX history_time;"
      "CREATE INDEX history_time ON history(data_id, device_type, time_ms) "
      "WHERE time_ms IS NOT NULL;"
      "INSERT INTO history(data_id, device_type, record_type, time, data, time_ms) "
      "VALUES(7, 'z', 5035, '1970-01-01T00:00:01.000Z', x'01', 1000);");
  { controller::HistoryDb reopen(path_, test_support::ZotaHistory()); }
  EXPECT_EQ(SqlCount(path_, "SELECT COUNT(*) FROM pragma_index_info('history_time')"), 2);
  EXPECT_EQ(SqlCount(path_,
                     "SELECT COUNT(*) FROM history INDEXED BY history_time "
                     "WHERE data_id = 7 AND time_ms >= 0"),
            1);
}

// keep_days removes older records, newer ones stay, and so do this run's own
// even when the clock put them in the past.
TEST_F(HistoryDbTest, RemovesRecordsOlderThanKeepDaysButNotThisRunsOwn) {
  const auto now = std::chrono::system_clock::now();
  const auto ago = [&](int hours) {
    return controller::FormatUtcMs(std::chrono::duration_cast<std::chrono::milliseconds>(
                                       (now - std::chrono::hours(hours)).time_since_epoch())
                                       .count());
  };
  { controller::HistoryDb create(path_, test_support::ZotaHistory()); }
  for (int hours : {72, 50, 1}) {
    Sql(path_,
        "INSERT INTO history(data_id, device_type, record_type, time, data, time_ms) "
        "VALUES(7, 'z', 5035, '" +
            ago(hours) + "', x'01', " + std::to_string(*controller::ParseUtcMs(ago(hours))) + ")");
  }
  controller::HistoryDb db(path_, test_support::ZotaHistory({1, 0, 0}));
  std::vector<controller::HistoryRow> mine(1);
  mine[0].data_id = 8;
  mine[0].device_type = "z";
  mine[0].time_ms = ToMs(now - std::chrono::hours(24 * 30));  // a clock that was a month behind
  mine[0].data = {3};
  ASSERT_EQ(db.StoreGroup(mine).code(), SQLITE_OK);
  const auto removed = UpkeepAll(db);
  ASSERT_EQ(removed.size(), 1u);
  EXPECT_EQ(removed[0].count, 2);
  EXPECT_EQ(controller::FormatUtcMs(removed[0].first_ms), ago(72));
  EXPECT_EQ(controller::FormatUtcMs(removed[0].last_ms), ago(50));
  EXPECT_NE(controller::RemovalLine(removed[0])
                .find("removed 2 records stored from " + ago(72) + " to " + ago(50) +
                      " (older than 1 days)"),
            std::string::npos);
  EXPECT_EQ(SqlCount(path_, "SELECT COUNT(*) FROM history"), 2);
}

// Events go with the records of their time: those up to the newest removed
// record, never one newer, and only once every device's records of it are gone.
TEST_F(HistoryDbTest, TrimsTheEventLogWithTheRecordsOfItsTime) {
  const std::int64_t now = controller::NowUtcMs();
  const auto ago = [&](int hours) { return now - hours * 3600 * 1000LL; };
  { controller::HistoryDb create(path_, test_support::ZotaHistory()); }
  for (int hours : {72, 50, 1})
    Sql(path_,
        "INSERT INTO history(data_id, device_type, record_type, time, data, time_ms) "
        "VALUES(7, 'z', 5035, '" +
            controller::FormatUtcMs(ago(hours)) + "', x'01', " + std::to_string(ago(hours)) + ")");
  controller::HistoryDb db(path_, test_support::ZotaHistory({1, 0, 0}));
  std::vector<controller::LoggedEvent> events;
  for (int hours : {73, 60, 49, 1}) events.push_back({ago(hours), "test", "u", 7, "{}"});
  ASSERT_EQ(db.StoreGroup({}, events).code(), SQLITE_OK);
  ASSERT_EQ(UpkeepAll(db).size(), 1u);
  EXPECT_EQ(
      SqlCount(path_, "SELECT COUNT(*) FROM event_log WHERE time_ms >= " + std::to_string(ago(49))),
      2);
  EXPECT_EQ(SqlCount(path_, "SELECT COUNT(*) FROM event_log"), 2);
}

// Past max_mb the oldest rows go and the file hands the pages back.
TEST_F(HistoryDbTest, KeepsTheFileUnderMaxMb) {
  controller::HistoryDb db(path_, test_support::ZotaHistory({0, 1, 0}));
  std::vector<controller::HistoryRow> rows(controller::HistoryWriterOptions{}.group_max);
  for (auto& r : rows) {
    r.data_id = 7;
    r.device_type = "zota_up2200";
    r.time_ms = ToMs(std::chrono::system_clock::now());
    r.data.assign(26, 0);
  }
  for (int group = 0; group < 120; ++group) {
    ASSERT_EQ(db.StoreGroup(rows).code(), SQLITE_OK);
    UpkeepAll(db);
  }
  const std::int64_t size = SqlCount(path_,
                                     "SELECT page_count * page_size FROM pragma_page_count, "
                                     "pragma_page_size");
  EXPECT_LE(size, 1024 * 1024);
  EXPECT_EQ(SqlCount(path_, "SELECT MAX(id) FROM history"),
            static_cast<std::int64_t>(120 * rows.size()));  // the newest stay
  EXPECT_GT(SqlCount(path_, "SELECT MIN(id) FROM history"), 1);
}

// By default the free space left is at most 5 % of the file system; a bound
// set in the site file holds as it is.
TEST_F(HistoryDbTest, LeavesFreeAtMostAPartOfTheFileSystemUnlessSet) {
  const std::int64_t huge_mb = std::int64_t{1} << 40;  // more than any file system here
  controller::HistoryLimits limits{400, 0, huge_mb, false};
  EXPECT_LT(controller::MinFreeBytes(path_, limits), huge_mb * 1024 * 1024 / 20);
  EXPECT_GT(controller::MinFreeBytes(path_, limits), 0);
  limits.min_free_set = true;
  EXPECT_EQ(controller::MinFreeBytes(path_, limits), huge_mb * 1024 * 1024);
}

// Removals for space take rows older than a day first, then the others
// outside each device's newest 10 minutes, then the rest, oldest first in each.
TEST_F(HistoryDbTest, RemovesForSpaceInItsOrder) {
  const std::int64_t now = controller::NowUtcMs();
  const std::int64_t minute = 60 * 1000;
  controller::HistoryDb db(path_, test_support::ZotaHistory({0, 0, 0}));
  // Data id and minutes before now, stored in this order: ids 1 to 8.
  const std::pair<std::uint32_t, std::int64_t> stored[] = {
      {7, 3}, {7, 3 * 1440}, {8, 70}, {8, 180}, {7, 2 * 1440}, {8, 65}, {8, 1800}, {7, 20}};
  for (const auto& s : stored) {
    std::vector<controller::HistoryRow> one(1);
    one[0].data_id = s.first;
    one[0].device_type = "z";
    one[0].time_ms = now - s.second * minute;
    one[0].data = {1};
    ASSERT_EQ(db.StoreGroup(one).code(), SQLITE_OK);
  }
  EXPECT_EQ(db.RoomOrder(100), (std::vector<std::int64_t>{2, 5, 7, 4, 8, 3, 6, 1}));
  EXPECT_EQ(db.RoomOrder(3), (std::vector<std::int64_t>{2, 5, 7}));
}

TEST_F(HistoryDbTest, NoticesTheFileGoneOrReplaced) {
  controller::HistoryDb db(path_, test_support::ZotaHistory());
  std::string moved_to;
  EXPECT_EQ(db.CheckFiles(&moved_to), controller::FileChange::kNone);
  ASSERT_EQ(::rename(path_.c_str(), dir_.File("moved.db").c_str()), 0);
  EXPECT_NE(db.CheckFiles(&moved_to), controller::FileChange::kNone);
  std::ofstream(path_) << "";
  EXPECT_NE(db.CheckFiles(&moved_to), controller::FileChange::kNone);
}

TEST_F(HistoryDbTest, ReadsStoredTimesAndNothingElse) {
  EXPECT_EQ(*controller::ParseUtcTimestamp("1970-01-01T00:00:00.000Z"), 0);
  EXPECT_EQ(*controller::ParseUtcTimestamp("2026-12-07T20:05:44.123Z"), 1796673944);
  EXPECT_EQ(*controller::ParseUtcTimestamp("2000-02-29T23:59:59"), 951868799);
  EXPECT_EQ(*controller::ParseUtcTimestamp("2106-02-07T06:28:16Z"), 4294967296LL);  // past 32 bits
  for (const char* bad : {"", "2026-12-07", "2026-13-01T00:00:00Z", "2026-12-07 20:05:44",
                          "2026-12-07T-1:05:44Z", "garbage-that-is-long-enough"})
    EXPECT_FALSE(controller::ParseUtcTimestamp(bad)) << bad;
}

}  // namespace
