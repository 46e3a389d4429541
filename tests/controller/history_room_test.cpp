// Room for the history on its own: what a removal for room asks of the
// history, in which order, and the reserve on a real full disk.
#include "controller/history/history_room.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "controller/common/iso_time.h"
#include "controller/history/history_connection.h"
#include "support/temp_dir.h"
#include "support/zota_history.h"

namespace {

constexpr std::int64_t kMin = 60 * 1000;
const std::int64_t kNow = controller::NowUtcMs() / kMin * kMin;

// A history that removes nothing and notes what it was asked: "ids 1 2",
// "rollups", "events before 4320 min" (before kNow), "events all".
struct Asked : controller::Remover {
  bool RemoveIds(const std::vector<std::int64_t>& ids, controller::Removal* r) override {
    std::string line = "ids";
    for (const std::int64_t id : ids) line += " " + std::to_string(id);
    calls.push_back(line);
    r->count += static_cast<std::int64_t>(ids.size());
    return true;
  }
  // All but one of what is asked: one record is left to go with them.
  std::int64_t RemoveRollupsForRoom(std::int64_t count, controller::Removal* r) override {
    calls.push_back("rollups");
    r->rollups += count - 1;
    return count - 1;
  }
  std::int64_t RemoveEventsForRoom(std::int64_t before, std::int64_t,
                                   controller::Removal* r) override {
    calls.push_back(before == INT64_MAX
                        ? "events all"
                        : "events before " + std::to_string((kNow - before) / kMin) + " min");
    return ++r->events;
  }
  std::vector<std::string> calls;
};

class HistoryRoomTest : public ::testing::Test {
 protected:
  // Records of one device and events, stored this many minutes before kNow.
  void Store(const std::vector<std::int64_t>& records, const std::vector<std::int64_t>& events) {
    controller::HistoryDb db(path_, test_support::ZotaHistory({0, 0, 0}));
    for (const std::int64_t ago : records)
      ASSERT_TRUE(db.StoreGroup({{7, 1, "z", kNow - ago * kMin, "", {1}}}).ok());
    for (const std::int64_t ago : events)
      ASSERT_TRUE(db.StoreGroup({}, {{kNow - ago * kMin, "test", "u", 7, "{}"}}).ok());
  }
  void Open() {
    conn_ = controller::Connection(path_, SQLITE_OPEN_READWRITE);
    room_.Attach(conn_.get(), false);
  }
  bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

  test_support::TempDir dir_;
  std::string path_ = dir_.File("h.db");
  controller::HistoryLimits limits_{0, 0, 0};
  Asked asked_;
  controller::Connection conn_;
  controller::HistoryRoom room_{path_, limits_, asked_};
};

struct Making {
  const char* name;
  std::vector<std::int64_t> records, events;  // minutes ago
  std::vector<std::string> calls;
};

class HistoryRoomOrderTest : public HistoryRoomTest,
                             public ::testing::WithParamInterface<Making> {};

// Rows older than a day go before the finer rollups, those before the rest;
// events older than the first record before it, and every event before a
// device's newest 10 minutes.
TEST_P(HistoryRoomOrderTest, AsksForRemovalsInItsOrder) {
  Store(GetParam().records, GetParam().events);
  Open();
  controller::Removal removed;
  EXPECT_TRUE(room_.MakeRoom(&removed));
  EXPECT_EQ(asked_.calls, GetParam().calls);
  EXPECT_EQ(removed.why, "disk full");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HistoryRoomOrderTest,
    ::testing::Values(
        Making{"OlderThanADayFirst", {3 * 1440, 20, 3}, {}, {"ids 1 2 3"}},
        Making{"RollupsBeforeTheRest", {20, 3}, {}, {"rollups", "ids 1"}},
        Making{"OlderEventsFirst", {3 * 1440, 3}, {4 * 1440}, {"events before 4320 min"}},
        Making{"EveryEventBeforeTheNewest", {3}, {1}, {"events all"}}),
    [](const ::testing::TestParamInfo<Making>& p) { return std::string(p.param.name); });

// On a real full disk the reserve beside the file is released, so that the
// history can still write; once there is room again it is said, and the
// reserve made anew.
TEST_F(HistoryRoomTest, ReleasesItsReserveOnAFullDisk) {
  const std::string small = dir_.File("small");
  ASSERT_EQ(::mkdir(small.c_str(), 0700), 0);
  if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=4m") != 0)
    GTEST_SKIP() << "no tmpfs to fill (not root?)";
  struct Unmount {
    std::string at;
    ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
  } unmount{small};
  path_ = small + "/h.db";  // room_ holds path_ by reference
  Store({3}, {});
  Open();
  controller::Removal removed;
  room_.RemoveForSpace(&removed);  // the first look at free space makes the reserve
  const std::string reserve = path_ + controller::kReserveSuffix;
  ASSERT_TRUE(Exists(reserve));
  const std::string filler = small + "/filler";
  const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  const std::string block(64 * 1024, 'x');
  for (int i = 0; i < 200 && ::write(fd, block.data(), block.size()) > 0; ++i) {
  }
  ::close(fd);
  const auto write = [this] {
    return sqlite3_exec(conn_.get(),
                        "CREATE TABLE IF NOT EXISTS t(x); INSERT INTO t VALUES(zeroblob(300000))",
                        nullptr, nullptr, nullptr);
  };
  ASSERT_NE(write(), SQLITE_OK);
  EXPECT_TRUE(room_.DiskFull());
  EXPECT_FALSE(Exists(reserve));
  EXPECT_EQ(write(), SQLITE_OK) << sqlite3_errmsg(conn_.get());
  room_.DiskFull();  // said once
  ASSERT_EQ(::unlink(filler.c_str()), 0);
  // Free space is looked at once a second.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  room_.RemoveForSpace(&removed);
  EXPECT_FALSE(room_.full());
  EXPECT_TRUE(Exists(reserve));
  const std::vector<std::string> notes = room_.TakeNotes();
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_NE(notes[0].find("the disk is full"), std::string::npos) << notes[0];
  EXPECT_NE(notes[1].find("the disk has room again"), std::string::npos) << notes[1];
}

}  // namespace
