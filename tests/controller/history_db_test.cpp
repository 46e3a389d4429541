// The history file: what start-up accepts, what it keeps per device, and the
// stored times it reads back.
#include "controller/history_db.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

#include "support/expect.h"
#include "support/temp_dir.h"

namespace {

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
    const auto open = [&] { controller::HistoryDb db(path_); };
    test_support::ExpectThrowWithMessage<controller::HistoryError>(open, why);
    test_support::ExpectThrowWithMessage<controller::HistoryError>(open, path_);
  }

  test_support::TempDir dir_;
  const std::string path_ = dir_.File("h.db");
};

TEST_F(HistoryDbTest, KeepsRecordsAcrossReopenAndPerDevice) {
  const unsigned char record[26] = {1};
  {
    controller::HistoryDb db(path_);
    EXPECT_FALSE(db.Latest(1001, "zota_up2200"));
    db.Store(1001, "zota_up2200", 5035, record, 26);
    const unsigned char newer[3] = {1, 0, 2};  // embedded zero kept
    db.Store(1001, "zota_up2200", 5035, newer, 3);
    db.Store(1002, "zota_up2200", 5035, record, 26);
  }
  controller::HistoryDb db(path_);
  const std::int64_t now = std::time(nullptr);
  const auto latest = db.Latest(1001, "zota_up2200");
  ASSERT_TRUE(latest);
  EXPECT_EQ(latest->bytes, (controller::Bytes{1, 0, 2}));
  const auto stored = controller::ParseUtcTimestamp(latest->time);
  ASSERT_TRUE(stored) << latest->time;
  EXPECT_LE(std::abs(*stored - now), 5) << latest->time;  // the row's own time, in UTC
  EXPECT_EQ(db.Latest(1002, "zota_up2200")->bytes.size(), 26u);
  EXPECT_FALSE(db.Latest(1001, "other"));
}

TEST_F(HistoryDbTest, RefusesWhatItCannotUseAndLeavesNoFileBehind) {
  EXPECT_THROW(controller::HistoryDb(dir_.File("missing/h.db")), controller::HistoryError);
  EXPECT_THROW(controller::HistoryDb{dir_.path()}, controller::HistoryError);  // a folder
  {
    controller::HistoryDb db(path_);
    db.CloseAndRemoveIfCreated();
  }
  EXPECT_FALSE(Exists(path_));
  EXPECT_FALSE(Exists(path_ + "-wal"));
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
