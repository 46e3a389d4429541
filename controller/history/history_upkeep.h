// The history's upkeep, done by the writer between groups: the integer time
// and chart level of rows taken over from an older file, rows of a file that
// had them before the rollups folded in, and removals by age and for room.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "controller/common/iso_time.h"
#include "controller/history/history_file.h"
#include "controller/history/history_room.h"

struct sqlite3;

namespace controller {

class RollupBatch;
class Statement;

// Per device (data id, type), its row stored last: what the next row's chart
// level is worked out from, in storing order and in the order taken-over rows
// are filled. Forgotten when that row is removed.
struct LastRow {
  std::int64_t ms = 0;
  std::int64_t id = 0;
};
using LastRows = std::map<std::pair<std::uint32_t, std::string>, LastRow>;

class HistoryUpkeep : public Remover {
 public:
  // UTC ms since 1970, what ages are counted from.
  using WallClock = std::function<std::int64_t()>;

  // The store's own parts it works on: the rollups folded with each fill, and
  // the rows stored last, forgotten as they are removed.
  HistoryUpkeep(const HistoryLimits& limits, FileWatch& watch, HistoryRoom& room,
                RollupBatch& rollups, LastRows& stored_last, WallClock now_ms = NowUtcMs)
      : limits_(limits),
        watch_(watch),
        room_(room),
        rollups_(rollups),
        stored_last_(stored_last),
        now_ms_(std::move(now_ms)) {}

  // The connection once the file is set up, what is left to fill, and the
  // first id of this run's rows.
  void Attach(sqlite3* db, bool filling, bool rollup_filling, std::int64_t run_first_id);

  // One small step; true when more is left to do at once; *removed says what went.
  bool Step(Removal* removed);

  // When a step put off for a moment is due; max() when none is.
  std::chrono::steady_clock::time_point retry() const {
    return filling_ || rollup_filling_ ? fill_after_ : std::chrono::steady_clock::time_point::max();
  }

  // Rows whose time text could not be read, found since the last call.
  std::int64_t TakeUnreadable() { return std::exchange(unreadable_, 0); }

  // For the room (Remover).
  bool RemoveIds(const std::vector<std::int64_t>& ids, Removal* removed) override;
  std::int64_t RemoveRollupsForRoom(std::int64_t count, Removal* removed) override;
  std::int64_t RemoveEventsForRoom(std::int64_t before_ms, std::int64_t count,
                                   Removal* removed) override;

 private:
  int Seen(int rc) { return watch_.Seen(rc); }
  bool FillTimes();
  bool Remove(Statement& del, Removal* removed, const std::vector<std::int64_t>* by_id = nullptr);
  bool RemoveOld(Removal* removed);
  bool TrimLog();
  bool BoundLog(Removal* removed);
  std::int64_t RemoveEvents(std::int64_t before_ms, std::int64_t below_id, std::int64_t count,
                            Removal* removed);
  bool FillRollups();
  bool RemoveOldRollups();

  const HistoryLimits& limits_;
  FileWatch& watch_;
  HistoryRoom& room_;
  RollupBatch& rollups_;
  LastRows& stored_last_;
  const WallClock now_ms_;
  sqlite3* db_ = nullptr;
  std::int64_t run_first_id_ = 0;      // rows of this run have this id or a larger one
  std::int64_t log_run_first_id_ = 0;  // and events of the log
  bool filling_ = true;                // rows without an integer time or level may be left
  bool rollup_filling_ = false;        // rows of an older file still to be folded into the rollups
  LastRows filled_last_;               // as stored_last_, in the order rows are filled
  std::int64_t unreadable_ = 0;
  // Its pace, on the steady clock: a stepped wall clock cannot stall it.
  std::chrono::steady_clock::time_point next_age_check_{};
  std::chrono::steady_clock::time_point fill_after_{};  // a failed fill waits till then
  std::int64_t removed_upto_ = 0;                       // the newest time of a record removed
  std::int64_t log_trimmed_upto_ = 0;  // the event log was trimmed for removals up to here
};

}  // namespace controller
