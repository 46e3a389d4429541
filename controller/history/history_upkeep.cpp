// The history's upkeep, done by the writer between groups: the integer time and
// chart level of rows taken over from an older file, and removals past the
// configured bounds.
#include <sqlite3.h>

#include <algorithm>
#include <string>
#include <vector>

#include "controller/common/iso_time.h"
#include "controller/history/history_db.h"

namespace controller {

namespace {

constexpr int kFillBatch = 2000;    // rows given their time_ms and level per transaction
constexpr int kRemoveBatch = 2000;  // rows removed per transaction
constexpr std::int64_t kDayMs = 86400 * 1000LL;
constexpr auto kAgeCheckEvery = std::chrono::minutes(1);

constexpr char kUnfilled[] =
    "SELECT id, data_id, device_type, time, time_ms FROM history WHERE chart_level IS NULL "
    "ORDER BY id LIMIT ?1";
constexpr char kSetTime[] = "UPDATE history SET time_ms = ?1, chart_level = ?2 WHERE id = ?3";
// Apart, so that a row with its time already leaves the time index alone.
constexpr char kSetLevel[] = "UPDATE history SET chart_level = ?2 WHERE id = ?3";
constexpr char kNextDevice[] =
    "SELECT data_id, device_type FROM history WHERE (data_id, device_type) > (?1, ?2) "
    "ORDER BY data_id, device_type LIMIT 1";
constexpr char kAnyOld[] =
    "SELECT 1 FROM history WHERE data_id = ?1 AND device_type = ?2 AND time_ms < ?3 AND id < ?4 "
    "LIMIT 1";
constexpr char kRemoveOld[] =
    "DELETE FROM history WHERE id IN (SELECT id FROM history WHERE data_id = ?1 AND "
    "device_type = ?2 AND time_ms < ?3 AND id < ?4 ORDER BY time_ms LIMIT ?5) "
    "RETURNING time_ms, data_id, device_type, chart_level, id";
// The first row left in a window whose first row went takes over its level.
// Rows not yet filled are left to the filling.
constexpr char kRelevel[] =
    "UPDATE history SET chart_level = ?5 WHERE id = (SELECT id FROM history WHERE data_id = ?1 "
    "AND device_type = ?2 AND time_ms >= ?3 AND time_ms < ?4 ORDER BY time_ms, id LIMIT 1) "
    "AND chart_level < ?5";

// A removed row that began windows of its device.
struct Removed {
  std::int64_t ms;
  std::int64_t data_id;
  std::string device_type;
  int level;
};

// A statement finalized when it goes out of scope.
class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) { ok_ = sqlite3_prepare_v2(db, sql, -1, &s_, nullptr) == 0; }
  ~Stmt() { sqlite3_finalize(s_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  sqlite3_stmt* get() const { return s_; }
  bool ok() const { return ok_; }

 private:
  sqlite3_stmt* s_ = nullptr;
  bool ok_ = false;
};

// Runs a DELETE ... RETURNING, adds what went to removed, the rows that began
// windows to starts and the ids to ids.
bool CollectRemoved(sqlite3_stmt* st, Removal* removed, std::vector<Removed>* starts,
                    std::vector<std::int64_t>* ids) {
  int rc = SQLITE_ROW;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    ids->push_back(sqlite3_column_int64(st, 4));
    if (sqlite3_column_type(st, 0) != SQLITE_NULL) {
      const std::int64_t ms = sqlite3_column_int64(st, 0);
      removed->first_ms = removed->count == 0 ? ms : std::min(removed->first_ms, ms);
      removed->last_ms = removed->count == 0 ? ms : std::max(removed->last_ms, ms);
      const int level = sqlite3_column_int(st, 3);
      if (level > 0) {
        const auto* t = sqlite3_column_text(st, 2);
        starts->push_back({ms, sqlite3_column_int64(st, 1),
                           t ? reinterpret_cast<const char*>(t) : "",
                           std::min(level, kChartLevels)});
      }
    }
    ++removed->count;
  }
  sqlite3_reset(st);
  return rc == SQLITE_DONE;
}

// Gives the windows the removed rows began to the first rows left in them.
bool Relevel(sqlite3* db, const std::vector<Removed>& starts) {
  if (starts.empty()) return true;
  Stmt relevel(db, kRelevel);
  if (!relevel.ok()) return false;
  for (const Removed& r : starts) {
    for (int level = 1; level <= r.level; ++level) {
      const std::int64_t grain = kChartGrainsMs[level - 1];
      sqlite3_reset(relevel.get());
      sqlite3_bind_int64(relevel.get(), 1, r.data_id);
      sqlite3_bind_text(relevel.get(), 2, r.device_type.c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_int64(relevel.get(), 3, r.ms / grain * grain);
      sqlite3_bind_int64(relevel.get(), 4, (r.ms / grain + 1) * grain);
      sqlite3_bind_int(relevel.get(), 5, level);
      if (sqlite3_step(relevel.get()) != SQLITE_DONE) return false;
    }
  }
  return true;
}

}  // namespace

std::string RemovalLine(const Removal& r) {
  return "history: removed " + std::to_string(r.count) + " records stored from " +
         FormatUtcMs(r.first_ms) + " to " + FormatUtcMs(r.last_ms) + " (" + r.why + ")";
}

bool HistoryDb::Upkeep(Removal* removed) {
  if (!set_up_) return false;
  if (filling_ && FillTimes()) return true;
  if (RemoveForSpace(removed)) return true;
  const auto now = std::chrono::steady_clock::now();
  if (now < next_age_check_) return false;
  // Rows another program added since are given their time before any goes
  // by age; their neighbours in storing order say nothing of their windows.
  if (Pragma("SELECT EXISTS(SELECT 1 FROM history WHERE chart_level IS NULL)") != 0) {
    filled_last_.clear();
    filling_ = true;
    return true;
  }
  const bool more = RemoveOld(removed);
  next_age_check_ = more ? now : now + kAgeCheckEvery;
  return more;
}

// Gives a batch of taken-over rows their integer time and chart level, in
// storing order; true while rows are left.
bool HistoryDb::FillTimes() {
  Stmt pick(db_, kUnfilled);
  Stmt set_time(db_, kSetTime);
  Stmt set_level(db_, kSetLevel);
  if (!pick.ok() || !set_time.ok() || !set_level.ok()) return false;
  if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return true;
  sqlite3_bind_int(pick.get(), 1, kFillBatch);
  LastRows last = filled_last_;
  int n = 0;
  std::int64_t unreadable = 0;
  int rc = SQLITE_OK;
  while (sqlite3_step(pick.get()) == SQLITE_ROW) {
    sqlite3_stmt* set = set_level.get();
    std::int64_t ms = sqlite3_column_int64(pick.get(), 4);
    const std::int64_t id = sqlite3_column_int64(pick.get(), 0);
    if (sqlite3_column_type(pick.get(), 4) == SQLITE_NULL) {
      const auto* t = sqlite3_column_text(pick.get(), 3);
      const auto parsed = t ? ParseStoredTimeMs(reinterpret_cast<const char*>(t)) : boost::none;
      if (!parsed) {
        // A time nobody can read keeps no time: never removed by age, in no chart.
        sqlite3_reset(set_level.get());
        sqlite3_bind_int(set_level.get(), 2, 0);
        sqlite3_bind_int64(set_level.get(), 3, id);
        rc = sqlite3_step(set_level.get());
        if (rc != SQLITE_DONE) break;
        ++unreadable;
        ++n;
        continue;
      }
      ms = *parsed;
      set = set_time.get();
    }
    const auto* type = sqlite3_column_text(pick.get(), 2);
    const auto prev = last.try_emplace(
        std::make_pair(static_cast<std::uint32_t>(sqlite3_column_int64(pick.get(), 1)),
                       std::string(type ? reinterpret_cast<const char*>(type) : "")));
    const int level = ChartLevel(prev.second ? nullptr : &prev.first->second.ms, ms);
    prev.first->second = LastRow{ms, id};
    sqlite3_reset(set);
    sqlite3_bind_int64(set, 1, ms);
    sqlite3_bind_int(set, 2, level);
    sqlite3_bind_int64(set, 3, id);
    rc = sqlite3_step(set);
    if (rc != SQLITE_DONE) break;
    ++n;
  }
  if (rc == SQLITE_DONE || rc == SQLITE_OK)
    rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    Seen(rc);
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return !damaged_;  // busy or full: again later
  }
  unreadable_ += unreadable;
  filled_last_.swap(last);
  filling_ = n == kFillBatch;
  return filling_;
}

// One removal with its levels handed on, as one transaction; a device whose
// last row went has none to work the next level out from. del runs once, or
// once for each of by_id bound to its first parameter. False when it failed.
bool HistoryDb::Remove(sqlite3_stmt* del, Removal* removed,
                       const std::vector<std::int64_t>* by_id) {
  if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return false;
  Removal got = *removed;
  std::vector<Removed> starts;
  std::vector<std::int64_t> ids;
  bool ok = true;
  for (std::size_t i = 0; ok && i < (by_id ? by_id->size() : 1); ++i) {
    if (by_id) sqlite3_bind_int64(del, 1, (*by_id)[i]);
    ok = CollectRemoved(del, &got, &starts, &ids);
  }
  if (!ok || !Relevel(db_, starts) ||
      sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    Seen(sqlite3_errcode(db_));
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
  }
  std::sort(ids.begin(), ids.end());
  for (LastRows* last : {&stored_last_, &filled_last_}) {
    for (auto it = last->begin(); it != last->end();)
      it = std::binary_search(ids.begin(), ids.end(), it->second.id) ? last->erase(it) : ++it;
  }
  *removed = got;
  return true;
}

// Records stored more than keep_days before now, device by device, never those
// of this run: a clock stepped forward must not wipe what is being stored.
bool HistoryDb::RemoveOld(Removal* removed) {
  if (limits_.keep_days <= 0) return false;
  const std::int64_t cutoff = NowUtcMs() - limits_.keep_days * kDayMs;
  Stmt next(db_, kNextDevice);
  Stmt any(db_, kAnyOld);
  Stmt remove(db_, kRemoveOld);
  if (!next.ok() || !any.ok() || !remove.ok()) return false;
  sqlite3_int64 data_id = -1;
  std::string type;
  bool more = false;
  Removal got;
  got.why = "older than " + std::to_string(limits_.keep_days) + " days";
  for (;;) {
    sqlite3_reset(next.get());
    sqlite3_bind_int64(next.get(), 1, data_id);
    sqlite3_bind_text(next.get(), 2, type.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(next.get()) != SQLITE_ROW) break;
    data_id = sqlite3_column_int64(next.get(), 0);
    const auto* t = sqlite3_column_text(next.get(), 1);
    type = t ? reinterpret_cast<const char*>(t) : "";
    // Looked at first: a DELETE takes the write lock even when nothing matches.
    sqlite3_reset(any.get());
    sqlite3_bind_int64(any.get(), 1, data_id);
    sqlite3_bind_text(any.get(), 2, type.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(any.get(), 3, cutoff);
    sqlite3_bind_int64(any.get(), 4, run_first_id_);
    if (sqlite3_step(any.get()) != SQLITE_ROW) continue;
    sqlite3_reset(remove.get());
    sqlite3_bind_int64(remove.get(), 1, data_id);
    sqlite3_bind_text(remove.get(), 2, type.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(remove.get(), 3, cutoff);
    sqlite3_bind_int64(remove.get(), 4, run_first_id_);
    sqlite3_bind_int(remove.get(), 5, kRemoveBatch);
    const std::int64_t before = got.count;
    if (!Remove(remove.get(), &got)) break;
    more = more || got.count - before == kRemoveBatch;
  }
  if (got.count > 0) {
    // After a full disk, freed pages stay in the file: elsewhere they would be taken.
    if (incremental_ && !full_)
      sqlite3_exec(db_, "PRAGMA incremental_vacuum", nullptr, nullptr, nullptr);
    *removed = got;
  }
  return more;
}

}  // namespace controller
