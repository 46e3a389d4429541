// The history file watched on its own: a real mv of the file in use, the file
// deleted or replaced, its log deleted, and damaged pages found.
#include "controller/history/history_file.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "controller/history/history_connection.h"
#include "support/temp_dir.h"

namespace {

using controller::FileChange;

struct Fault {
  const char* name;
  const char* shell;  // run in the folder, the file in use named h.db
  FileChange want;
  const char* moved_to;  // where the file is found, in the folder
};

class FileWatchTest : public ::testing::TestWithParam<Fault> {
 protected:
  // A file in use as the writer has it: open, with its log and shared memory.
  FileWatchTest() : conn_(path_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) {
    EXPECT_EQ(sqlite3_exec(conn_.get(),
                           "PRAGMA journal_mode=WAL; CREATE TABLE t(x); "
                           "INSERT INTO t VALUES(1)",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    watch_.Opened(path_);
    EXPECT_NE(watch_.log_inode(), 0u);
  }

  test_support::TempDir dir_;
  const std::string path_ = dir_.File("h.db");
  controller::Connection conn_;
  controller::FileWatch watch_;
};

TEST_P(FileWatchTest, TellsWhatBecameOfTheFileInUse) {
  const Fault& f = GetParam();
  ASSERT_EQ(std::system(("cd '" + dir_.path() + "' && " + f.shell).c_str()), 0);
  std::string moved_to;
  EXPECT_EQ(watch_.Check(path_, &moved_to), f.want);
  EXPECT_EQ(moved_to, *f.moved_to ? dir_.File(f.moved_to) : "");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FileWatchTest,
    ::testing::Values(Fault{"Untouched", "true", FileChange::kNone, ""},
                      Fault{"Moved", "mv h.db kept.db", FileChange::kMoved, "kept.db"},
                      Fault{"Deleted", "rm h.db", FileChange::kDeleted, ""},
                      Fault{"Replaced", "echo x > new && mv new h.db", FileChange::kDeleted, ""},
                      Fault{"LogDeleted", "rm h.db-wal", FileChange::kLogLost, ""},
                      Fault{"LogReplaced", "rm h.db-wal && touch h.db-wal", FileChange::kLogLost,
                            ""}),
    [](const ::testing::TestParamInfo<Fault>& p) { return std::string(p.param.name); });

// A sound file passes the quick check; one whose pages were overwritten is
// found damaged, and stays so. A busy database is no damage.
TEST(FileWatchDamageTest, QuickCheckFindsOverwrittenPages) {
  test_support::TempDir dir;
  const std::string path = dir.File("h.db");
  {
    const controller::Connection c(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    ASSERT_EQ(sqlite3_exec(c.get(),
                           "CREATE TABLE t(x); WITH RECURSIVE n(i) AS (SELECT 1 UNION "
                           "ALL SELECT i + 1 FROM n WHERE i < 200) INSERT INTO t SELECT "
                           "randomblob(500) FROM n",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
  }
  controller::FileWatch watch;
  EXPECT_EQ(watch.Seen(SQLITE_BUSY), SQLITE_BUSY);
  {
    const controller::Connection c(path, SQLITE_OPEN_READWRITE);
    EXPECT_TRUE(watch.QuickCheck(c.get()).ok());
  }
  EXPECT_FALSE(watch.damaged());
  {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(3 * 4096);
    f << std::string(4096, 'Z');
  }
  const controller::Connection c(path, SQLITE_OPEN_READWRITE);
  const controller::Status s = watch.QuickCheck(c.get());
  EXPECT_EQ(s.code(), SQLITE_CORRUPT) << s.reason();
  EXPECT_TRUE(watch.damaged());
}

}  // namespace
