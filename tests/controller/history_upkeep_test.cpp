// The history's upkeep on its own: removal by age and the rollups' retention,
// counted from the clock it is given, not the machine's.
#include "controller/history/history_upkeep.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "controller/common/iso_time.h"
#include "controller/history/history_connection.h"
#include "controller/history/history_rollup.h"
#include "drivers/zota_up2200/zota_up2200_fields.h"
#include "support/sql_count.h"
#include "support/temp_dir.h"
#include "support/zota_history.h"

namespace {

constexpr std::int64_t kHour = 3600 * 1000LL;
constexpr std::int64_t kDay = 24 * kHour;
const std::int64_t kNow = *controller::ParseUtcMs("2026-06-15T12:00:00Z");

// The upkeep and the owners it works with, wired as the store wires them, on
// a connection of their own.
struct Owners {
  Owners(const std::string& at, const controller::HistoryLimits& l, std::int64_t now_ms)
      : path(at), limits(l), conn(at, SQLITE_OPEN_READWRITE), clock(now_ms) {
    room.Attach(conn.get(), false);
    upkeep.Attach(conn.get(), false, false, INT64_MAX);  // no row is this run's
  }
  std::string path;
  controller::HistoryLimits limits;
  controller::Connection conn;
  std::int64_t clock;
  controller::FieldTable fields = controller::ZotaRollupFields();
  controller::FileWatch watch;
  controller::LastRows last;
  controller::RollupBatch rollups{*fields};
  controller::HistoryRoom room{path, limits, upkeep};
  controller::HistoryUpkeep upkeep{limits, watch, room, rollups, last, [this] { return clock; }};
};

struct Kept {
  const char* name;
  std::int64_t clock;  // the upkeep's now
  int keep_days;
  std::int64_t records, minute, ten_minute, hour, day;
};

class HistoryUpkeepTest : public ::testing::TestWithParam<Kept> {
 protected:
  test_support::TempDir dir_;
  const std::string path_ = dir_.File("h.db");
};

// One device's records 60 and 30 days, 5 days and 2 hours before kNow; the
// rollups by minute kept 1 day, by ten minutes 10, by hour 50.
TEST_P(HistoryUpkeepTest, RemovesByAgeOnItsOwnClock) {
  const Kept& k = GetParam();
  {
    controller::HistoryDb db(path_, test_support::ZotaHistory({0, 0, 0}));
    for (const std::int64_t ago : {60 * kDay, 30 * kDay, 5 * kDay, 2 * kHour}) {
      const controller::HistoryRow row{1,
                                       zota::kRecordType,
                                       "zota_up2200",
                                       kNow - ago,
                                       "",
                                       controller::Bytes(zota::kRecordSize, 0)};
      ASSERT_TRUE(db.StoreGroup({row}).ok());
    }
  }
  controller::HistoryLimits limits{k.keep_days, 0, 0};
  limits.minute_days = 1;
  limits.ten_minute_days = 10;
  limits.hour_days = 50;
  Owners o(path_, limits, k.clock);
  controller::Removal removed;
  for (int i = 0; i < 100 && o.upkeep.Step(&removed); ++i) {
  }
  EXPECT_EQ(removed.count, 4 - k.records);
  const auto count = [&](const char* table) {
    return test_support::SqlCount(path_, std::string("SELECT COUNT(*) FROM ") + table);
  };
  EXPECT_EQ(count("history"), k.records);
  EXPECT_EQ(count("rollup_minute"), k.minute);  // the open minute stays, however old
  EXPECT_EQ(count("rollup_ten_minute"), k.ten_minute);
  EXPECT_EQ(count("rollup_hour"), k.hour);
  EXPECT_EQ(count("rollup_day"), k.day);  // kept as long as the file has room
}

INSTANTIATE_TEST_SUITE_P(
    Clocks, HistoryUpkeepTest,
    ::testing::Values(Kept{"Ahead", kNow + 2 * kDay, 40, 3, 1, 1, 2, 3},
                      Kept{"FortyDaysBehind", kNow - 40 * kDay, 40, 4, 3, 2, 3, 3},
                      Kept{"RecordsUnbounded", kNow, 0, 4, 1, 1, 2, 3}),
    [](const ::testing::TestParamInfo<Kept>& p) { return std::string(p.param.name); });

}  // namespace
