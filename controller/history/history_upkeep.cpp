// The history's upkeep, done by the writer between groups: the integer time and
// chart level of rows taken over from an older file, and removals past the
// configured bounds.
#include "controller/history/history_upkeep.h"

#include <algorithm>
#include <string>
#include <vector>

#include "controller/common/iso_time.h"
#include "controller/history/history_rollup.h"
#include "controller/history/history_schema.h"
#include "controller/history/history_sql.h"

namespace controller {

namespace {

constexpr int kFillBatch = 2000;    // rows given their time_ms and level per transaction
constexpr int kRemoveBatch = 2000;  // rows removed per transaction
constexpr int kLogBatch = 500;      // events removed per statement: a small journal
constexpr std::int64_t kDayMs = 86400 * 1000LL;
constexpr auto kAgeCheckEvery = std::chrono::minutes(1);
// A fill that found the file locked or the disk full waits this long: tried
// again at once, it would keep the writer busy while nothing is to be stored.
constexpr auto kFillRetryAfter = std::chrono::milliseconds(200);

// A removed row that began windows of its device.
struct Removed {
  std::int64_t ms;
  std::int64_t data_id;
  std::string device_type;
  int level;
};

// Runs a DELETE ... RETURNING, adds what went to removed, the rows that began
// windows to starts and the ids to ids.
bool CollectRemoved(Statement& del, Removal* removed, std::vector<Removed>* starts,
                    std::vector<std::int64_t>* ids) {
  int rc = SQLITE_ROW;
  while ((rc = del.Step()) == SQLITE_ROW) {
    ids->push_back(del.Int(4));
    if (!del.Null(0)) {
      const std::int64_t ms = del.Int(0);
      removed->first_ms = removed->count == 0 ? ms : std::min(removed->first_ms, ms);
      removed->last_ms = removed->count == 0 ? ms : std::max(removed->last_ms, ms);
      const int level = static_cast<int>(del.Int(3));
      if (level > 0)
        starts->push_back({ms, del.Int(1), del.Text(2), std::min(level, kChartLevels)});
    }
    ++removed->count;
  }
  del.Reset();
  return rc == SQLITE_DONE;
}

// Gives the windows the removed rows began to the first rows left in them.
bool Relevel(sqlite3* db, const std::vector<Removed>& starts) {
  if (starts.empty()) return true;
  Statement relevel(db, sql::kRelevel);
  if (!relevel) return false;
  for (const Removed& r : starts) {
    for (int level = 1; level <= r.level; ++level) {
      const std::int64_t grain = kChartGrainsMs[level - 1];
      relevel.Reset().Bind(1, r.data_id).Bind(2, r.device_type);
      const std::int64_t start = WindowStart(r.ms, grain);
      relevel.Bind(3, start).Bind(4, start + grain).Bind(5, level);
      if (relevel.Step() != SQLITE_DONE) return false;
    }
  }
  return true;
}

}  // namespace

std::string RemovalLine(const Removal& r) {
  std::string line = "history: removed ";
  if (r.count > 0)
    line += std::to_string(r.count) + " records stored from " + FormatUtcMs(r.first_ms) + " to " +
            FormatUtcMs(r.last_ms);
  if (r.rollups > 0)
    line += (r.count > 0 ? " and " : "") + std::to_string(r.rollups) + " " + r.tiers + " rollups";
  if (r.events > 0)
    line +=
        (r.count + r.rollups > 0 ? " and " : "") + std::to_string(r.events) + " events of the log";
  return line + " (" + r.why + ")";
}

void HistoryUpkeep::Attach(sqlite3* db, bool filling, bool rollup_filling,
                           std::int64_t run_first_id) {
  db_ = db;
  filling_ = filling;
  rollup_filling_ = rollup_filling;
  run_first_id_ = run_first_id;
  log_run_first_id_ = QueryInt(db, sql::kNextEventId);
}

bool HistoryUpkeep::Step(Removal* removed) {
  const auto now = std::chrono::steady_clock::now();
  // Rows levelled before the rollups came are folded in first: those levelled
  // later are folded as they are, and must not be counted twice.
  if (rollup_filling_) {
    if (now >= fill_after_ && FillRollups()) return true;
    if (rollup_filling_) return false;
  }
  if (filling_ && now >= fill_after_ && FillTimes()) return true;
  if (room_.RemoveForSpace(removed)) return true;
  // Nothing goes by age before every row has its time (upkeep_retry).
  if (filling_ || now < next_age_check_) return false;
  // Rows another program added since are given their time before any goes
  // by age; their neighbours in storing order say nothing of their windows.
  if (QueryInt(db_, sql::kAnyUnlevelled) != 0) {
    filled_last_.clear();
    filling_ = true;
    return true;
  }
  // The log's own bounds once records are done, as a removal of its own.
  const std::int64_t had = removed->count;
  const bool more =
      RemoveOld(removed) || RemoveOldRollups() || removed->count > had || BoundLog(removed);
  next_age_check_ = more ? now : now + kAgeCheckEvery;
  if (more || removed_upto_ <= log_trimmed_upto_ || !TrimLog()) return more;
  next_age_check_ = now;
  return true;
}

// Events go once the records of their time have gone, every device's: those
// up to the newest removed record, older than every record left. A batch per
// call, so that the journal stays small; true while more is left. A full disk
// releases the reserve beside the file and tries once more.
bool HistoryUpkeep::TrimLog() {
  Statement next(db_, sql::kNextData);
  Statement oldest(db_, sql::kOldestOf);
  Statement trim(db_, sql::kRemoveEvents);
  if (!next || !oldest || !trim) return false;
  std::int64_t cutoff = removed_upto_ + 1;
  for (std::int64_t data_id = -1; next.Reset().Bind(1, data_id).Next();) {
    data_id = next.Int(0);
    if (oldest.Reset().Bind(1, data_id).Next() && !oldest.Null(0))
      cutoff = std::min(cutoff, oldest.Int(0));
  }
  next.Reset();
  oldest.Reset();
  int rc = trim.Bind(1, cutoff).Bind(2, kLogBatch).Bind(3, INT64_MAX).Step();
  if ((rc & 0xff) == SQLITE_FULL) {
    trim.Reset();
    room_.DiskFull();
    rc = trim.Step();
  }
  if (rc != SQLITE_DONE) {
    Seen(sqlite3_errcode(db_));
    return false;
  }
  if (sqlite3_changes(db_) == kLogBatch) return true;
  log_trimmed_upto_ = removed_upto_;
  return false;
}

// The log past log_keep_days or past its share of max_mb: a batch of its
// oldest events; true while more is left.
bool HistoryUpkeep::BoundLog(Removal* removed) {
  Removal got;
  std::int64_t before = 0;
  if (limits_.log_keep_days > 0) {
    before = now_ms_() - limits_.log_keep_days * kDayMs;
    got.why = "event log older than " + std::to_string(limits_.log_keep_days) + " days";
  }
  // Its size from the ids' span and the newest events' size: cheap, never
  // fewer than the events.
  const std::int64_t share = limits_.max_mb * 1024 * 1024 * HistoryLimits::kLogSharePercent / 100;
  if (share > 0 && QueryInt(db_, sql::kLogSpan) * QueryInt(db_, sql::kLogRowBytes) > share) {
    before = INT64_MAX;
    got.why = "event log over " + std::to_string(HistoryLimits::kLogSharePercent) + " % of " +
              std::to_string(limits_.max_mb) + " MiB";
  }
  if (before == 0 || QueryInt(db_, sql::kOldestEvent) >= before) return false;
  // By age never this run's events: a clock stepped forward must not wipe them.
  const std::int64_t below = before == INT64_MAX ? INT64_MAX : log_run_first_id_;
  if (RemoveEvents(before, below, kLogBatch, &got) == 0) return false;
  if (room_.incremental() && !room_.full()) Exec(db_, sql::kVacuum);
  *removed = got;
  return got.events == kLogBatch;
}

// Gives a batch of taken-over rows their integer time and chart level, in
// storing order; true while rows are left. One that fails waits a moment
// (fill_after_).
bool HistoryUpkeep::FillTimes() {
  fill_after_ = std::chrono::steady_clock::now() + kFillRetryAfter;
  Transaction fill(db_);
  Statement pick(db_, sql::kUnfilled);
  Statement set_time(db_, sql::kSetTime);
  Statement set_level(db_, sql::kSetLevel);
  Statement newest(db_, sql::kSetNewest);
  if (!fill.ok() || !pick || !set_time || !set_level || !newest) return false;
  rollups_.Clear();
  pick.Bind(1, kFillBatch);
  LastRows last = filled_last_;
  int n = 0;
  std::int64_t unreadable = 0;
  int rc = SQLITE_OK;
  while (pick.Next()) {
    Statement* set = &set_level;
    std::int64_t ms = pick.Int(4);
    const std::int64_t id = pick.Int(0);
    rc = newest.Reset().Bind(1, pick.Int(1)).Bind(2, pick.Text(2)).Bind(3, id).Step();
    if (rc != SQLITE_DONE) break;
    if (pick.Null(4)) {
      const auto parsed = ParseStoredTimeMs(pick.Text(3));
      if (!parsed) {
        // A time nobody can read keeps no time: never removed by age, in no chart.
        rc = set_level.Reset().Bind(2, 0).Bind(3, id).Step();
        if (rc != SQLITE_DONE) break;
        ++unreadable;
        ++n;
        continue;
      }
      ms = *parsed;
      set = &set_time;
    }
    const auto prev =
        last.try_emplace(std::make_pair(static_cast<std::uint32_t>(pick.Int(1)), pick.Text(2)));
    const int level = ChartLevel(prev.second ? nullptr : &prev.first->second.ms, ms);
    prev.first->second = LastRow{ms, id};
    rc = set->Reset().Bind(1, ms).Bind(2, level).Bind(3, id).Step();
    if (rc != SQLITE_DONE) break;
    rollups_.Add(prev.first->first.first, static_cast<int>(pick.Int(5)), pick.Blob(6), ms, id);
    ++n;
  }
  if (rc == SQLITE_DONE || rc == SQLITE_OK) rc = rollups_.Flush(db_);
  rollups_.Clear();
  if (rc == SQLITE_OK) rc = fill.Commit();
  rollups_.Settle(rc == SQLITE_OK);
  if (rc != SQLITE_OK) {
    Seen(rc);
    return false;  // busy or full: again after fill_after_
  }
  fill_after_ = {};
  unreadable_ += unreadable;
  filled_last_.swap(last);
  filling_ = n == kFillBatch;
  return filling_;
}

// One removal with its levels handed on, as one transaction; a device whose
// last row went has none to work the next level out from. del runs once, or
// once for each of by_id bound to its first parameter. False when it failed.
bool HistoryUpkeep::Remove(Statement& del, Removal* removed,
                           const std::vector<std::int64_t>* by_id) {
  Transaction remove(db_);
  if (!remove.ok()) return false;
  Removal got = *removed;
  std::vector<Removed> starts;
  std::vector<std::int64_t> ids;
  bool ok = true;
  for (std::size_t i = 0; ok && i < (by_id ? by_id->size() : 1); ++i) {
    if (by_id) del.Bind(1, (*by_id)[i]);
    ok = CollectRemoved(del, &got, &starts, &ids);
  }
  if (!ok || !Relevel(db_, starts) || remove.Commit() != SQLITE_OK) {
    Seen(sqlite3_errcode(db_));
    return false;
  }
  if (got.count > 0) removed_upto_ = std::max(removed_upto_, got.last_ms);
  std::sort(ids.begin(), ids.end());
  for (LastRows* last : {&stored_last_, &filled_last_}) {
    for (auto it = last->begin(); it != last->end();)
      it = std::binary_search(ids.begin(), ids.end(), it->second.id) ? last->erase(it) : ++it;
  }
  *removed = got;
  return true;
}

// One statement of a bounded batch: little journal, even on a full disk.
std::int64_t HistoryUpkeep::RemoveEventsForRoom(std::int64_t before_ms, std::int64_t count,
                                                Removal* removed) {
  return RemoveEvents(before_ms, INT64_MAX, count, removed);
}

std::int64_t HistoryUpkeep::RemoveEvents(std::int64_t before_ms, std::int64_t below_id,
                                         std::int64_t count, Removal* removed) {
  Statement del(db_, sql::kRemoveEvents);
  if (!del || del.Bind(1, before_ms).Bind(2, count).Bind(3, below_id).Step() != SQLITE_DONE) {
    Seen(sqlite3_errcode(db_));
    return 0;
  }
  const std::int64_t n = sqlite3_changes(db_);
  removed->events += n;
  return n;
}

bool HistoryUpkeep::RemoveIds(const std::vector<std::int64_t>& ids, Removal* removed) {
  Statement del(db_, sql::kRemoveId);
  return del && Remove(del, removed, &ids);
}

// Records stored more than keep_days before now, data id by data id, never those
// of this run: a clock stepped forward must not wipe what is being stored.
bool HistoryUpkeep::RemoveOld(Removal* removed) {
  if (limits_.keep_days <= 0) return false;
  const std::int64_t cutoff = now_ms_() - limits_.keep_days * kDayMs;
  Statement next(db_, sql::kNextData);
  Statement any(db_, sql::kAnyOld);
  Statement remove(db_, sql::kRemoveOld);
  if (!next || !any || !remove) return false;
  bool more = false;
  Removal got;
  got.why = "older than " + std::to_string(limits_.keep_days) + " days";
  for (std::int64_t data_id = -1; next.Reset().Bind(1, data_id).Next();) {
    data_id = next.Int(0);
    // Looked at first: a DELETE takes the write lock even when nothing matches.
    if (!any.Reset().Bind(1, data_id).Bind(2, cutoff).Bind(3, run_first_id_).Next()) continue;
    remove.Reset().Bind(1, data_id).Bind(2, cutoff).Bind(3, run_first_id_).Bind(4, kRemoveBatch);
    const std::int64_t before = got.count;
    if (!Remove(remove, &got)) break;
    more = more || got.count - before == kRemoveBatch;
  }
  if (got.count > 0) {
    // After a full disk, freed pages stay in the file: elsewhere they would be taken.
    if (room_.incremental() && !room_.full()) Exec(db_, sql::kVacuum);
    *removed = got;
  }
  return more;
}

}  // namespace controller
