// The rollups' upkeep, done by the writer between groups: folding in the rows
// of a file that had them before the rollups came, and removals by each tier's
// age and for space.
#include <algorithm>
#include <queue>
#include <string>
#include <tuple>
#include <vector>

#include "controller/common/iso_time.h"
#include "controller/history/history_rollup.h"
#include "controller/history/history_sql.h"
#include "controller/history/history_upkeep.h"

namespace controller {

namespace {

constexpr int kFoldBatch = 2000;  // rows folded in per transaction
constexpr std::int64_t kDayMs = 86400 * 1000LL;
constexpr auto kFoldRetryAfter = std::chrono::milliseconds(200);
constexpr const char* kTierNames[kChartLevels] = {"minute", "ten-minute", "hour", "day"};

}  // namespace

// One batch of rows in storing order; true while more are left. The rows'
// ids still to go are kept in the file, so a restart goes on where it was.
bool HistoryUpkeep::FillRollups() {
  fill_after_ = std::chrono::steady_clock::now() + kFoldRetryAfter;
  Transaction fold(db_);
  Statement state(db_, sql::kRollupFill);
  Statement pick(db_, sql::kRollupUnfolded);
  if (!fold.ok() || !state || !pick) return false;
  if (!state.Next()) {
    rollup_filling_ = false;
    return false;
  }
  const std::int64_t last = state.Int(1);
  std::int64_t next = state.Int(0);
  pick.Bind(1, next).Bind(2, last).Bind(3, kFoldBatch);
  rollups_.Clear();
  int n = 0;
  int rc = SQLITE_ROW;
  while ((rc = pick.Step()) == SQLITE_ROW) {
    rollups_.Add(static_cast<std::uint32_t>(pick.Int(1)), static_cast<int>(pick.Int(2)),
                 pick.Blob(3), pick.Int(4), pick.Int(0));
    next = pick.Int(0) + 1;
    ++n;
  }
  const bool more = n == kFoldBatch && next <= last;
  rc = rc == SQLITE_DONE ? rollups_.Flush(db_) : rc;
  rollups_.Clear();
  if (rc == SQLITE_OK) {
    Statement step(db_, more ? sql::kSetRollupFill : sql::kEndRollupFill);
    if (more) step.Bind(1, next);
    rc = step && step.Step() == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db_);
  }
  if (rc == SQLITE_OK) rc = fold.Commit();
  rollups_.Settle(rc == SQLITE_OK);
  if (rc != SQLITE_OK) {
    Seen(rc);
    return false;  // busy or full: again after fill_after_
  }
  fill_after_ = {};
  rollup_filling_ = more;
  return more;
}

// Each tier past its days, device by device; day rollups stay.
bool HistoryUpkeep::RemoveOldRollups() {
  rollups_.Forget();
  const int days[kChartLevels] = {limits_.minute_days, limits_.ten_minute_days, limits_.hour_days,
                                  0};
  for (int level = 1; level <= kChartLevels; ++level) {
    if (days[level - 1] <= 0) continue;
    const std::int64_t cutoff = now_ms_() - days[level - 1] * kDayMs;
    Statement next(db_, sql::NextRollupDevice(level));
    Statement remove(db_, sql::RemoveRollupsBefore(level));
    if (!next || !remove) return false;
    for (std::int64_t data_id = -1; next.Reset().Bind(1, data_id).Next();) {
      data_id = next.Int(0);
      if (remove.Reset().Bind(1, data_id).Bind(2, cutoff).Step() != SQLITE_DONE) {
        Seen(sqlite3_errcode(db_));
        return false;
      }
    }
  }
  return false;
}

// Up to count rollups below the day tier, finest tier first and oldest
// first across devices; how many went.
std::int64_t HistoryUpkeep::RemoveRollupsForRoom(std::int64_t count, Removal* removed) {
  rollups_.Forget();
  std::int64_t taken = 0;
  for (int level = 1; level < kChartLevels && taken < count; ++level) {
    Statement next(db_, sql::NextRollupDevice(level));
    Statement oldest(db_, sql::OldestRollups(level));
    if (!next || !oldest) break;
    // Each device's oldest, merged by time.
    std::vector<std::tuple<std::int64_t, std::int64_t>> keys;  // bucket_ms, data_id
    for (std::int64_t data_id = -1; next.Reset().Bind(1, data_id).Next();) {
      data_id = next.Int(0);
      oldest.Reset().Bind(1, data_id).Bind(2, count - taken);
      while (oldest.Next()) keys.emplace_back(oldest.Int(0), data_id);
    }
    if (keys.empty()) continue;
    std::sort(keys.begin(), keys.end());
    keys.resize(std::min<std::size_t>(keys.size(), static_cast<std::size_t>(count - taken)));
    Transaction remove(db_);
    Statement del(db_, sql::RemoveRollup(level));
    bool ok = remove.ok() && del;
    for (std::size_t i = 0; ok && i < keys.size(); ++i)
      ok = del.Reset().Bind(1, std::get<1>(keys[i])).Bind(2, std::get<0>(keys[i])).Step() ==
           SQLITE_DONE;
    if (!ok || remove.Commit() != SQLITE_OK) {
      Seen(sqlite3_errcode(db_));
      break;
    }
    taken += static_cast<std::int64_t>(keys.size());
    removed->rollups += static_cast<std::int64_t>(keys.size());
    if (removed->tiers.find(kTierNames[level - 1]) == std::string::npos)
      removed->tiers +=
          (removed->tiers.empty() ? "" : " and ") + std::string(kTierNames[level - 1]);
  }
  return taken;
}

}  // namespace controller
