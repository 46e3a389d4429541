// The history writer's thread against the poll loop's: records pushed while it
// stores, groups per commit, another program's lock waited out without losing
// or reordering a record, and failures reported to the loop.
#include "controller/history/history_writer.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "controller/common/iso_time.h"
#include "controller/history/history_db.h"
#include "support/sql_count.h"
#include "support/temp_dir.h"
#include "support/zota_history.h"

namespace {

using controller::HistoryWriter;

class HistoryWriterTest : public ::testing::Test {
 protected:
  // A connection of its own, as another program would have.
  // Another program's connection: like any, it waits a while for a lock (the
  // writer proves the file writable when it starts).
  sqlite3* Other() {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    return db;
  }

  // The first data byte of every stored row, in row order.
  std::vector<int> StoredSequence() {
    sqlite3* db = Other();
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT data FROM history ORDER BY id", -1, &st, nullptr);
    std::vector<int> out;
    while (sqlite3_step(st) == SQLITE_ROW)
      out.push_back(static_cast<const unsigned char*>(sqlite3_column_blob(st, 0))[0]);
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
  }

  // The event log as stored, each event's JSON a number.
  std::vector<int> LoggedEvents() {
    sqlite3* db = Other();
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT json FROM event_log ORDER BY id", -1, &st, nullptr);
    std::vector<int> out;
    while (sqlite3_step(st) == SQLITE_ROW)
      out.push_back(std::atoi(reinterpret_cast<const char*>(sqlite3_column_text(st, 0))));
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
  }

  static controller::LoggedEvent Event(int n, const char* kind) {
    controller::LoggedEvent e;
    e.time_ms = 1000 + n;
    e.event = kind;
    e.device = "ups";
    e.json = std::to_string(n);
    return e;
  }

  static controller::HistoryRow Row(int n) {
    controller::HistoryRow r;
    r.data_id = 1001;
    r.record_type = 5035;
    r.device_type = "zota_up2200";
    r.time_ms = controller::NowUtcMs();
    r.data.assign(26, 0);
    r.data[0] = static_cast<unsigned char>(n);
    return r;
  }

  std::unique_ptr<controller::HistoryDb> Db() {
    return std::make_unique<controller::HistoryDb>(path_, test_support::ZotaHistory());
  }

  test_support::TempDir dir_;
  const std::string path_ = dir_.File("h.db");
};

TEST_F(HistoryWriterTest, CommitsInOrderInGroups) {
  controller::HistoryWriterOptions opt;
  opt.group_max = 100;
  HistoryWriter w(Db(), opt);
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
TEST_F(HistoryWriterTest, WaitsOutALockWithoutLosingRecords) {
  controller::HistoryWriterOptions opt;
  opt.capacity = 40;
  opt.group_wait = std::chrono::milliseconds(20);
  opt.written_late_after = std::chrono::milliseconds(300);
  HistoryWriter w(Db(), opt);
  w.Start();

  sqlite3* other = Other();
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  for (int pushed = 0; pushed < 40; ++pushed) {
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
  EXPECT_GT(s.written_late, 0);
  EXPECT_GE(s.longest_wait, std::chrono::milliseconds(700));
  std::vector<int> want;
  for (int i = 0; i < 40; ++i) want.push_back(i);
  EXPECT_EQ(StoredSequence(), want);
}

// A file of the older schema taken over while another program holds its
// lock: the idle writer tries the fill again a moment later, and fills it
// once the lock goes without a record to store.
TEST_F(HistoryWriterTest, FillsATakenOverFileOnceALockGoesWhileIdle) {
  sqlite3* other = Other();
  ASSERT_EQ(sqlite3_exec(other,
                         "CREATE TABLE history (id INTEGER PRIMARY KEY, data_id INTEGER NOT NULL, "
                         "device_type TEXT NOT NULL, record_type INTEGER NOT NULL, time TEXT NOT "
                         "NULL, data BLOB NOT NULL);"
                         "INSERT INTO history(data_id, device_type, record_type, time, data) "
                         "VALUES(7, 'z', 5035, '2026-12-07T10:00:00.000Z', x'01')",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  HistoryWriter w(Db());
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  w.Start();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);
  const char* unfilled = "SELECT COUNT(*) FROM history WHERE time_ms IS NULL";
  for (int i = 0; i < 100 && test_support::SqlCount(path_, unfilled) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(test_support::SqlCount(path_, unfilled), 0);
  EXPECT_TRUE(w.Finish(HistoryWriter::Clock::now() + std::chrono::seconds(10))) << w.error();
}

TEST_F(HistoryWriterTest, GivesUpOnALockAtTheDeadlineAndSaysHowManyAreLost) {
  HistoryWriter w(Db());
  w.Start();
  sqlite3* other = Other();
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(w.Push(Row(i)));
  EXPECT_FALSE(w.Finish(HistoryWriter::Clock::now() + std::chrono::milliseconds(300)));
  EXPECT_NE(w.error().find("gave up waiting: database is locked; 3 records not stored"),
            std::string::npos)
      << w.error();
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
}

// A second Ctrl-C: the wait for a lock held elsewhere ends long before its deadline.
TEST_F(HistoryWriterTest, CutShortEndsTheWaitAtTheDeadline) {
  HistoryWriter w(Db());
  w.Start();
  sqlite3* other = Other();
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  ASSERT_TRUE(w.Push(Row(1)));
  std::thread cut([&w] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    w.CutShort();
  });
  EXPECT_FALSE(w.Finish(HistoryWriter::Clock::now() + std::chrono::hours(1)));
  cut.join();
  EXPECT_NE(w.error().find("1 records not stored"), std::string::npos) << w.error();
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
}

// A permanent error stops the writer and wakes the loop through its descriptor.
TEST_F(HistoryWriterTest, ReportsAPermanentError) {
  HistoryWriter w(Db());
  w.Start();
  sqlite3* other = Other();
  ASSERT_EQ(sqlite3_exec(other, "DROP TABLE history", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);
  ASSERT_TRUE(w.Push(Row(1)));
  pollfd p{w.alert_fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 10000), 1);
  EXPECT_TRUE(w.failed());
  EXPECT_NE(w.error().find("cannot store records: no such table: history"), std::string::npos)
      << w.error();
  EXPECT_FALSE(w.Push(Row(2)));
  EXPECT_FALSE(w.Finish(HistoryWriter::Clock::now()));
}

// A full queue while another program holds the lock: the oldest waiting
// records make way for new ones, counted and said once, and what is left is
// stored in order once the lock goes; the run does not count as all stored.
TEST_F(HistoryWriterTest, DropsTheOldestFromAFullQueue) {
  controller::HistoryWriterOptions opt;
  opt.capacity = 20;
  opt.group_max = 5;
  opt.drop_oldest = true;
  opt.group_wait = std::chrono::milliseconds(10);
  HistoryWriter w(Db(), opt);
  std::vector<std::string> notes;  // written on the writer's thread, read after Finish
  int drops = 0;                   // counted on this thread, which pushes
  w.OnNotice([&](const std::string& line) { notes.push_back(line); });
  w.OnDrop([&] { ++drops; });
  sqlite3* other = Other();
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  w.Start();
  // The first group meets the lock before the queue fills, however slow the machine.
  ASSERT_TRUE(w.Push(Row(0)));
  for (int i = 0; i < 2000 && w.stats().retries == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_GT(w.stats().retries, 0);
  for (int i = 1; i < 50; ++i) {
    ASSERT_TRUE(w.Push(Row(i)));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(drops, 30);
  EXPECT_EQ(w.stats().dropped, 30);
  ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);
  EXPECT_FALSE(w.Finish(HistoryWriter::Clock::now() + std::chrono::seconds(10)));
  EXPECT_NE(w.error().find("30 records dropped while the queue was full"), std::string::npos)
      << w.error();
  // In order: the group tried at the lock (the first record) stayed, and the
  // others kept are the newest.
  const std::vector<int> stored = StoredSequence();
  ASSERT_EQ(stored.size(), 20u);
  EXPECT_EQ(stored.front(), 0);
  EXPECT_TRUE(std::is_sorted(stored.begin(), stored.end()));
  for (std::size_t i = 5; i < stored.size(); ++i) EXPECT_EQ(stored[i], static_cast<int>(30 + i));
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_NE(notes[0].find("the queue is full (database is locked); the oldest waiting are dropped"),
            std::string::npos)
      << notes[0];
}

// The same for events bound for the log: at most kEventsWaiting wait, those
// being stored included, and the oldest waiting make way, counted and said.
TEST_F(HistoryWriterTest, DropsTheOldestEventsFromAFullLogQueue) {
  controller::HistoryWriterOptions opt;
  opt.group_wait = std::chrono::milliseconds(10);
  HistoryWriter w(Db(), opt);
  std::vector<std::string> notes;  // written on the writer's thread, read after Finish
  w.OnNotice([&](const std::string& line) { notes.push_back(line); });
  const auto event = [](int i) { return Event(i, "alarm_raised"); };
  w.Start();
  for (int i = 0; i < 2000 && !w.writable(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  sqlite3* other = Other();
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  ASSERT_TRUE(w.PushEvent(event(0)));
  for (int i = 0; i < 2000 && w.stats().retries == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_GT(w.stats().retries, 0);
  const int pushed = static_cast<int>(controller::kEventsWaiting) + 5;
  for (int i = 1; i < pushed; ++i) ASSERT_TRUE(w.PushEvent(event(i)));
  EXPECT_EQ(w.stats().events_dropped, 5);
  ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  w.Finish(HistoryWriter::Clock::now() + std::chrono::seconds(10));
  sqlite3_close(other);
  const std::vector<int> logged = LoggedEvents();
  ASSERT_EQ(logged.size(), controller::kEventsWaiting);
  EXPECT_EQ(logged.front(), 5);  // the one being stored went first: it was the oldest
  EXPECT_EQ(logged.back(), pushed - 1);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_NE(notes[0].find("events wait for the event log and its queue is full"), std::string::npos)
      << notes[0];
}

// Under a long lock every waiting event sits in the group being retried; a
// flood then drops the oldest of that group, never the newest (the end of an
// incident is what an operator needs).
TEST_F(HistoryWriterTest, DropsTheOldestOfAGroupRetriedUnderALock) {
  controller::HistoryWriterOptions opt;
  opt.group_wait = std::chrono::milliseconds(10);
  opt.max_backoff = std::chrono::milliseconds(50);
  HistoryWriter w(Db(), opt);
  const auto event = [](int i) { return Event(i, "link_lost"); };
  const auto retried_after = [&w](long long at_least) {
    for (int i = 0; i < 2000 && w.stats().retries < at_least; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return w.stats().retries >= at_least;
  };
  w.Start();
  for (int i = 0; i < 2000 && !w.writable(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  sqlite3* other = Other();
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  const int all = static_cast<int>(controller::kEventsWaiting);
  for (int i = 0; i < all; ++i) ASSERT_TRUE(w.PushEvent(event(i)));
  // Two failed tries after the pushes: one of them took every event.
  ASSERT_TRUE(retried_after(w.stats().retries + 2));
  for (int i = all; i < all + 5; ++i) ASSERT_TRUE(w.PushEvent(event(i)));
  ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  w.Finish(HistoryWriter::Clock::now() + std::chrono::seconds(10));
  sqlite3_close(other);
  const std::vector<int> logged = LoggedEvents();
  EXPECT_EQ(w.stats().events_dropped, 5);
  ASSERT_EQ(logged.size(), controller::kEventsWaiting);
  EXPECT_EQ(logged.front(), 5);
  EXPECT_EQ(logged.back(), all + 4);
}

// The file deleted under a running writer: said once, a new history made at
// the path, and every record pushed after the deletion stored in it.
TEST_F(HistoryWriterTest, RecreatesADeletedFileAndSaysSoOnce) {
  controller::HistoryWriterOptions opt;
  opt.group_wait = std::chrono::milliseconds(10);
  HistoryWriter w(Db(), opt);
  std::vector<std::string> notes;  // written on the writer's thread, read after Finish
  std::vector<controller::HistoryState> states;
  w.OnNotice([&](const std::string& line) { notes.push_back(line); });
  // Told outside the writer's lock: asking the writer back does not hang.
  w.OnState([&](controller::HistoryState s) {
    EXPECT_EQ(w.state(), s);
    states.push_back(s);
  });
  w.Start();
  ASSERT_TRUE(w.Push(Row(1)));
  for (int i = 0; i < 500 && w.stats().stored < 1; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(::unlink(path_.c_str()), 0);
  for (int i = 2; i < 6; ++i) ASSERT_TRUE(w.Push(Row(i)));
  ASSERT_TRUE(w.Finish(HistoryWriter::Clock::now() + std::chrono::seconds(10))) << w.error();
  EXPECT_EQ(StoredSequence(), (std::vector<int>{2, 3, 4, 5}));
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_NE(notes[0].find(path_ + " was deleted; storing in a new history at"), std::string::npos)
      << notes[0];
  EXPECT_EQ(w.state(), controller::HistoryState::kRecreated);
  EXPECT_EQ(states, (std::vector<controller::HistoryState>{controller::HistoryState::kRecreated}));
}

// A new file hands the pages of removed records back: one grown to about
// 4 MiB and then bounded by max_mb 2 shrinks (its log aside) under 3 MiB.
TEST_F(HistoryWriterTest, ShrinksANewFileToMaxMb) {
  const std::int64_t start = controller::NowUtcMs() - 31000 * 17;
  const auto rows = [&](int from, int to) {
    std::vector<controller::HistoryRow> out;
    for (int i = from; i < to; ++i) {
      out.push_back(Row(i));
      out.back().data_id = 1001 + i % 3;  // three devices polled every 50 ms
      out.back().time_ms = start + i * 17;
    }
    return out;
  };
  {
    controller::HistoryDb unbounded(path_, test_support::ZotaHistory({0, 0, 0}));
    for (int i = 0; i < 30000; i += 250)
      ASSERT_EQ(unbounded.StoreGroup(rows(i, i + 250)).code(), SQLITE_OK);
  }
  HistoryWriter w(
      std::make_unique<controller::HistoryDb>(path_, test_support::ZotaHistory({0, 2, 0})));
  std::atomic<bool> trimmed{false};  // the run of removals said, once done
  w.OnNotice([&](const std::string& line) {
    if (line.find("(file over 2 MiB)") != std::string::npos) trimmed = true;
  });
  w.Start();
  for (auto& r : rows(30000, 31000)) ASSERT_TRUE(w.Push(std::move(r)));
  for (int i = 0; i < 1000 && !trimmed; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(trimmed);
  ASSERT_TRUE(w.Finish(HistoryWriter::Clock::now() + std::chrono::seconds(30))) << w.error();
  // What the log holds belongs to the file once checkpointed.
  sqlite3* other = Other();
  ASSERT_EQ(sqlite3_exec(other, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(other);
  struct stat st {};
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_LT(st.st_size, 3 * 1024 * 1024);
}

}  // namespace
