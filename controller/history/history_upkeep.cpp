// The history's upkeep, done by the writer between groups: the integer time of
// rows taken over from an older file, and removals past the configured bounds.
#include <sqlite3.h>
#include <sys/statvfs.h>

#include <algorithm>

#include "controller/history/history_db.h"
#include "controller/common/iso_time.h"

namespace controller {

namespace {

constexpr int kFillBatch = 2000;    // rows given their time_ms per transaction
constexpr int kRemoveBatch = 2000;  // rows removed per transaction
constexpr std::int64_t kMiB = 1024 * 1024;
constexpr std::int64_t kDayMs = 86400 * 1000LL;
constexpr auto kAgeCheckEvery = std::chrono::minutes(1);
constexpr auto kSpaceCheckEvery = std::chrono::seconds(1);
// Free pages in the file that new rows can use before it must grow.
constexpr std::int64_t kReuseReserve = kMiB;

constexpr char kUnfilled[] =
    "SELECT id, time FROM history WHERE time_ms IS NULL ORDER BY id LIMIT ?1";
constexpr char kSetTime[] = "UPDATE history SET time_ms = ?1 WHERE id = ?2";
constexpr char kNextDevice[] =
    "SELECT data_id, device_type FROM history WHERE (data_id, device_type) > (?1, ?2) "
    "ORDER BY data_id, device_type LIMIT 1";
constexpr char kAnyOld[] =
    "SELECT 1 FROM history WHERE data_id = ?1 AND device_type = ?2 AND time_ms < ?3 AND id < ?4 "
    "LIMIT 1";
constexpr char kRemoveOld[] =
    "DELETE FROM history WHERE id IN (SELECT id FROM history WHERE data_id = ?1 AND "
    "device_type = ?2 AND time_ms < ?3 AND id < ?4 ORDER BY time_ms LIMIT ?5) RETURNING time_ms";
constexpr char kRemoveOldest[] =
    "DELETE FROM history WHERE id IN (SELECT id FROM history ORDER BY id LIMIT ?1) "
    "RETURNING time_ms";

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

// Runs a DELETE ... RETURNING time_ms and adds what went to removed.
bool CollectRemoved(sqlite3_stmt* st, Removal* removed) {
  int rc = SQLITE_ROW;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    if (sqlite3_column_type(st, 0) != SQLITE_NULL) {
      const std::int64_t ms = sqlite3_column_int64(st, 0);
      removed->first_ms = removed->count == 0 ? ms : std::min(removed->first_ms, ms);
      removed->last_ms = removed->count == 0 ? ms : std::max(removed->last_ms, ms);
    }
    ++removed->count;
  }
  return rc == SQLITE_DONE;
}

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string RemovalLine(const Removal& r) {
  return "history: removed " + std::to_string(r.count) + " records stored from " +
         FormatUtcMs(r.first_ms) + " to " + FormatUtcMs(r.last_ms) + " (" + r.why + ")";
}

bool HistoryDb::Upkeep(Removal* removed) {
  if (filling_ && FillTimes()) return true;
  if (RemoveForSpace(removed)) return true;
  const auto now = std::chrono::steady_clock::now();
  if (now < next_age_check_) return false;
  const bool more = RemoveOld(removed);
  next_age_check_ = more ? now : now + kAgeCheckEvery;
  return more;
}

// Gives a batch of taken-over rows their integer time; true while rows are left.
bool HistoryDb::FillTimes() {
  Stmt pick(db_, kUnfilled);
  Stmt set(db_, kSetTime);
  if (!pick.ok() || !set.ok()) return false;
  if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return true;
  sqlite3_bind_int(pick.get(), 1, kFillBatch);
  int n = 0;
  int rc = SQLITE_OK;
  while (sqlite3_step(pick.get()) == SQLITE_ROW) {
    const auto* t = sqlite3_column_text(pick.get(), 1);
    // A time nobody can read is filed at 1970 rather than never found.
    const auto ms = t ? ParseUtcMs(reinterpret_cast<const char*>(t)) : boost::none;
    sqlite3_reset(set.get());
    sqlite3_bind_int64(set.get(), 1, ms ? *ms : 0);
    sqlite3_bind_int64(set.get(), 2, sqlite3_column_int64(pick.get(), 0));
    rc = sqlite3_step(set.get());
    if (rc != SQLITE_DONE) break;
    ++n;
  }
  if (rc == SQLITE_DONE || rc == SQLITE_OK)
    rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return true;  // busy or full: again later
  }
  filling_ = n == kFillBatch;
  return filling_;
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
    if (!CollectRemoved(remove.get(), &got)) break;
    more = more || got.count - before == kRemoveBatch;
  }
  if (got.count > 0) {
    if (incremental_) sqlite3_exec(db_, "PRAGMA incremental_vacuum", nullptr, nullptr, nullptr);
    *removed = got;
  }
  return more;
}

// Past max_mb, or under min_free_mb on the file system: the oldest rows go,
// down to an eighth below the bound so that removals come in runs, not per group.
bool HistoryDb::RemoveForSpace(Removal* removed) {
  const std::int64_t used = UsedBytes();
  if (limits_.max_mb > 0) {
    const std::int64_t bound = limits_.max_mb * kMiB;
    const std::int64_t high = bound - bound / 16;
    const std::int64_t low = bound - bound / 8;
    if (used > high) trimming_ = true;
    if (trimming_ && used > low)
      return RemoveOldest(
          kRemoveBatch, ("file over " + std::to_string(limits_.max_mb) + " MiB").c_str(), removed);
    trimming_ = false;
  }
  // The file system is asked at most once a second.
  const auto now = std::chrono::steady_clock::now();
  if (limits_.min_free_mb <= 0 || now < next_space_check_) return false;
  next_space_check_ = now + kSpaceCheckEvery;
  if (FreeBytes() < limits_.min_free_mb * kMiB) {
    // A file that cannot hand pages back only needs room to reuse.
    const std::int64_t reusable = Pragma("PRAGMA freelist_count") * Pragma("PRAGMA page_size");
    if (incremental_ || reusable < kReuseReserve) {
      const std::string why = "less than " + std::to_string(limits_.min_free_mb) + " MiB free";
      // Removal goes on at once while it hands space back.
      const bool more = RemoveOldest(kRemoveBatch, why.c_str(), removed) && incremental_;
      if (more) next_space_check_ = now;
      return more;
    }
  }
  return false;
}

bool HistoryDb::MakeRoom(Removal* removed) {
  RemoveOldest(kRemoveBatch, "disk full", removed);
  return removed->count > 0;
}

bool HistoryDb::RemoveOldest(std::int64_t count, const char* why, Removal* removed) {
  Stmt remove(db_, kRemoveOldest);
  if (!remove.ok()) return false;
  sqlite3_bind_int64(remove.get(), 1, count);
  Removal got;
  got.why = why;
  if (!CollectRemoved(remove.get(), &got) || got.count == 0) return false;
  if (incremental_) sqlite3_exec(db_, "PRAGMA incremental_vacuum", nullptr, nullptr, nullptr);
  *removed = got;
  return got.count == count;
}

std::int64_t HistoryDb::UsedBytes() {
  return (Pragma("PRAGMA page_count") - Pragma("PRAGMA freelist_count")) *
         Pragma("PRAGMA page_size");
}

std::int64_t HistoryDb::FreeBytes() const {
  struct statvfs vfs {};
  if (::statvfs(FolderOf(path_).c_str(), &vfs) != 0) return INT64_MAX;
  return static_cast<std::int64_t>(vfs.f_bavail) * static_cast<std::int64_t>(vfs.f_frsize);
}

}  // namespace controller
