// The history: what start-up accepts, and the writer's queue, groups and
// waiting out another program's lock without losing or reordering a record.
#include <gtest/gtest.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "controller/history_db.h"
#include "controller/history_writer.h"

namespace {

using controller::HistoryWriter;

class HistoryFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/qdx-history-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    dir_ = dir;
    path_ = dir_ + "/h.db";
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

  bool Exists(const std::string& p) const { return ::access(p.c_str(), F_OK) == 0; }

  // Runs SQL on a connection of its own, as another program would.
  void Sql(const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    char* err = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << err;
    sqlite3_free(err);
    sqlite3_close(db);
  }

  // The first data byte of every stored row, in row order.
  std::vector<int> StoredSequence() {
    sqlite3* db = nullptr;
    sqlite3_open(path_.c_str(), &db);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT data FROM history ORDER BY id", -1, &st, nullptr);
    std::vector<int> out;
    while (sqlite3_step(st) == SQLITE_ROW)
      out.push_back(static_cast<const unsigned char*>(sqlite3_column_blob(st, 0))[0]);
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
  }

  static controller::HistoryRow Row(int n) {
    controller::HistoryRow r;
    r.data_id = 1001;
    r.record_type = 5035;
    r.device_type = "zota_up2200";
    r.time = std::chrono::system_clock::now();
    r.data.assign(26, 0);
    r.data[0] = static_cast<unsigned char>(n);
    return r;
  }

  std::string dir_;
  std::string path_;
};

TEST_F(HistoryFile, KeepsRecordsAcrossReopenAndPerDevice) {
  {
    controller::HistoryDb db(path_);
    EXPECT_FALSE(db.Latest(1001, "zota_up2200"));
    db.Store(1001, "zota_up2200", 5035, Row(1).data.data(), 26);
    const unsigned char newer[3] = {1, 0, 2};  // embedded zero kept
    db.Store(1001, "zota_up2200", 5035, newer, 3);
    db.Store(1002, "zota_up2200", 5035, Row(2).data.data(), 26);
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

TEST_F(HistoryFile, RefusesWhatItCannotUseAndLeavesNoFileBehind) {
  EXPECT_THROW(controller::HistoryDb(dir_ + "/missing/h.db"), controller::HistoryError);
  EXPECT_THROW(controller::HistoryDb{dir_}, controller::HistoryError);  // a folder
  {
    controller::HistoryDb db(path_);
    db.CloseAndRemoveIfCreated();
  }
  EXPECT_FALSE(Exists(path_));
  EXPECT_FALSE(Exists(path_ + "-wal"));
}

struct BadTable {
  const char* sql;
  const char* message;
};

void PrintTo(const BadTable& b, std::ostream* os) { *os << b.sql; }

class HistoryTable : public HistoryFile, public ::testing::WithParamInterface<BadTable> {};

// A history made by something else is refused at start, naming the problem,
// and left as it was.
TEST_P(HistoryTable, IsRefusedAtStart) {
  Sql(GetParam().sql);
  try {
    controller::HistoryDb db(path_);
    FAIL() << "accepted";
  } catch (const controller::HistoryError& e) {
    EXPECT_NE(std::string(e.what()).find(GetParam().message), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find(path_), std::string::npos) << e.what();
  }
  EXPECT_TRUE(Exists(path_));
}

INSTANTIATE_TEST_SUITE_P(
    Table, HistoryTable,
    ::testing::Values(
        BadTable{"CREATE TABLE history (id INTEGER PRIMARY KEY, data_id INTEGER, device_type TEXT,"
                 " record_type INTEGER, time TEXT, data BLOB, site TEXT NOT NULL)",
                 "table \"history\": column \"site\" requires a value"},
        BadTable{"CREATE TABLE history (id INTEGER PRIMARY KEY, data_id INTEGER, time TEXT)",
                 "table \"history\": column \"device_type\" is missing"},
        BadTable{"CREATE VIEW history AS SELECT 1 AS id", "column \"data_id\" is missing"}));

TEST_F(HistoryFile, SaysWhySQLiteRefusesTheFile) {
  std::system(("echo 'not a database, just some text long enough' > " + path_).c_str());
  try {
    controller::HistoryDb db(path_);
    FAIL() << "accepted";
  } catch (const controller::HistoryError& e) {
    EXPECT_NE(std::string(e.what()).find("file is not a database"), std::string::npos) << e.what();
  }
}

TEST_F(HistoryFile, WriterCommitsInOrderInGroups) {
  controller::HistoryWriterOptions opt;
  opt.group_max = 100;
  HistoryWriter w(std::make_unique<controller::HistoryDb>(path_), opt);
  for (int i = 0; i < 250; ++i) ASSERT_TRUE(w.Push(Row(i)));
  w.Start();
  ASSERT_TRUE(w.Finish(HistoryWriter::Clock::now() + std::chrono::seconds(10)));
  const controller::HistoryStats s = w.stats();
  EXPECT_EQ(s.stored, 250);
  EXPECT_EQ(s.commits, 3);
  EXPECT_EQ(s.waiting, 0u);
  std::vector<int> want;
  for (int i = 0; i < 250; ++i) want.push_back(i & 0xff);
  EXPECT_EQ(StoredSequence(), want);
}

// Another program holds the write lock for a while: records keep being taken,
// wait in order, and are all stored once the lock goes; a full queue refuses.
TEST_F(HistoryFile, WriterWaitsOutALockWithoutLosingRecords) {
  controller::HistoryWriterOptions opt;
  opt.capacity = 40;
  opt.group_wait = std::chrono::milliseconds(20);
  opt.late_after = std::chrono::milliseconds(300);
  HistoryWriter w(std::make_unique<controller::HistoryDb>(path_), opt);
  w.Start();

  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  int pushed = 0;
  for (; pushed < 40; ++pushed) {
    ASSERT_TRUE(w.Push(Row(pushed)));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_FALSE(w.Push(Row(99)));
  EXPECT_NE(w.error().find("40 records waiting to be stored, the queue is full (database is "
                           "locked)"),
            std::string::npos)
      << w.error();
  EXPECT_GT(w.stats().retries, 0);
  EXPECT_EQ(w.stats().stored, 0);
  ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);

  ASSERT_TRUE(w.Finish(HistoryWriter::Clock::now() + std::chrono::seconds(10))) << w.error();
  const controller::HistoryStats s = w.stats();
  EXPECT_EQ(s.stored, 40);
  EXPECT_GT(s.late, 0);
  EXPECT_GE(s.longest_wait, std::chrono::milliseconds(700));
  std::vector<int> want;
  for (int i = 0; i < 40; ++i) want.push_back(i);
  EXPECT_EQ(StoredSequence(), want);
}

TEST_F(HistoryFile, WriterGivesUpOnALockAtTheDeadlineAndSaysHowManyAreLost) {
  HistoryWriter w(std::make_unique<controller::HistoryDb>(path_));
  w.Start();
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(w.Push(Row(i)));
  EXPECT_FALSE(w.Finish(HistoryWriter::Clock::now() + std::chrono::milliseconds(300)));
  EXPECT_NE(w.error().find("gave up waiting: database is locked; 3 records not stored"),
            std::string::npos)
      << w.error();
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
}

// A permanent error stops the writer and wakes the loop through its descriptor.
TEST_F(HistoryFile, WriterReportsAPermanentError) {
  HistoryWriter w(std::make_unique<controller::HistoryDb>(path_));
  w.Start();
  Sql("DROP TABLE history");
  ASSERT_TRUE(w.Push(Row(1)));
  pollfd p{w.alert_fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 10000), 1);
  EXPECT_TRUE(w.failed());
  EXPECT_NE(w.error().find("cannot store records: no such table: history"), std::string::npos)
      << w.error();
  EXPECT_FALSE(w.Push(Row(2)));
  EXPECT_FALSE(w.Finish(HistoryWriter::Clock::now()));
}

}  // namespace
