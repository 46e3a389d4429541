// Room for the history, kept by the writer between groups: removals for space
// (past max_mb, under min_free_mb, on a full disk) in one order, and a full
// disk got over without needing free space for it.
//
// Order of removal, by stored time and oldest first: rows older than a day
// outside their device's newest 10 minutes, then rollups by minute, ten
// minutes and hour, then the other rows outside those 10 minutes, then the
// rest; day rollups stay. Events of the log (several records' worth each) go
// before any record newer than them, and all of them before a device's newest
// 10 minutes. Rows taken over and not yet given a time wait for
// it (the filling is quick), unless nothing else is left.
//
// A full disk: the reserve file beside the history (made while there is room)
// is released, so that the checkpoint and the removal can write; after each
// checkpoint the log starts again from its beginning instead of growing; and
// freed pages stay in the file for the records to come, since the file system
// would hand them to whatever filled it.
#include "controller/history/history_room.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <queue>
#include <string>
#include <tuple>
#include <vector>

#include "controller/common/file.h"
#include "controller/common/iso_time.h"
#include "controller/history/history_schema.h"
#include "controller/history/history_sql.h"

namespace controller {

namespace {

constexpr std::int64_t kMiB = 1024 * 1024;
constexpr std::int64_t kDayMs = 86400 * 1000LL;
constexpr std::int64_t kNewestMs = 10 * 60 * 1000LL;  // each device's newest records go last
constexpr std::int64_t kTrimBatch = 2000;             // rows per step past max_mb
constexpr std::int64_t kRoomBatch = 2000;             // rows removed for a full disk at most
constexpr std::int64_t kRoomBytes = 256 * 1024;       // what a full disk's removal aims to free
constexpr std::int64_t kFreeStep = 500;  // rows per step under min_free_mb: little past it
constexpr auto kSpaceCheckEvery = std::chrono::seconds(1);
// Free pages in the file that new rows can use before it must grow.
constexpr std::int64_t kReuseReserve = kMiB;
// While the disk is full: freed pages kept ready in the file for the next groups,
// at most an eighth of the file.
constexpr std::int64_t kFullMargin = 128 * 1024;
constexpr std::int64_t kReserveBytes = kMiB;
constexpr std::int64_t kRoomAgain = 2 * kReserveBytes;  // free space that ends a full disk

// One device's rows by stored time, each with its tier of removal.
struct Cursor {
  Statement rows;
  std::int64_t old_before;   // tier 1 below: older than a day, outside the newest 10 minutes
  std::int64_t newest_from;  // tier 3 from here: the newest 10 minutes
  std::int64_t id = 0;
  std::int64_t ms = 0;
  int tier = 0;
  bool Next() {
    if (!rows.Next()) return false;
    id = rows.Int(0);
    ms = rows.Int(1);
    tier = ms < old_before ? 1 : ms < newest_from ? 2 : 3;
    return true;
  }
};

// Bytes as MiB for a line: whole from 10 on, else with a decimal.
std::string Mib(std::int64_t bytes) {
  const double mib = static_cast<double>(bytes) / kMiB;
  char text[32];
  std::snprintf(text, sizeof text, mib >= 10 ? "%.0f MiB" : "%.1f MiB", mib);
  return text;
}

// Makes the reserve file when it is missing; a file system that cannot
// allocate it gets none.
void KeepReserve(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && st.st_size >= kReserveBytes) return;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const bool made = ::posix_fallocate(fd, 0, kReserveBytes) == 0;
  ::close(fd);
  if (!made) ::unlink(path.c_str());
}

}  // namespace

std::int64_t MinFreeBytes(const std::string& path, const HistoryLimits& limits) {
  const std::int64_t set = limits.min_free_mb * kMiB;
  struct statvfs vfs {};
  if (set <= 0 || limits.min_free_set || ::statvfs(FolderOf(path).c_str(), &vfs) != 0) return set;
  const auto size =
      static_cast<std::int64_t>(vfs.f_blocks) * static_cast<std::int64_t>(vfs.f_frsize);
  return std::min(set, size / 20);
}

// The first count rows in the order of removal. Each device's rows are read
// along the time index as far as they are taken, never the whole table.
std::vector<std::int64_t> HistoryRoom::RoomOrder(std::int64_t count, int* first_tier,
                                                 std::int64_t* first_ms) {
  std::vector<std::int64_t> ids;
  Statement next(db_, sql::kNextData);
  Statement newest(db_, sql::kNewest);
  if (!next || !newest) return ids;
  const std::int64_t day_ago = NowUtcMs() - kDayMs;
  std::vector<Cursor> cursors;
  for (std::int64_t data_id = -1;;) {
    if (!next.Reset().Bind(1, data_id).Next()) break;
    data_id = next.Int(0);
    if (!newest.Reset().Bind(1, data_id).Next()) continue;
    const std::int64_t from = newest.Int(0) - kNewestMs;
    Cursor c{Statement(db_, sql::kByTime), std::min(from, day_ago), from};
    if (!c.rows) return ids;
    c.rows.Bind(1, data_id);
    if (c.Next()) cursors.push_back(std::move(c));
  }
  // The devices' rows merged: the cursor whose row goes first on top.
  const auto after = [&cursors](std::size_t a, std::size_t b) {
    const Cursor& x = cursors[a];
    const Cursor& y = cursors[b];
    return std::tie(x.tier, x.ms, x.id) > std::tie(y.tier, y.ms, y.id);
  };
  std::priority_queue<std::size_t, std::vector<std::size_t>, decltype(after)> heap(after);
  for (std::size_t i = 0; i < cursors.size(); ++i) heap.push(i);
  if (first_tier) *first_tier = heap.empty() ? 3 : cursors[heap.top()].tier;
  if (first_ms && !heap.empty()) *first_ms = cursors[heap.top()].ms;
  // Records newer than an event of the log, or of a newest 10 minutes while
  // any is left, wait for the events to go.
  const std::int64_t events_from = QueryInt(db_, sql::kOldestEvent);
  bool waits = false;
  while (static_cast<std::int64_t>(ids.size()) < count && !heap.empty()) {
    const std::size_t i = heap.top();
    const Cursor& c = cursors[i];
    waits = c.tier == 3 ? events_from != INT64_MAX : c.ms > events_from;
    if (waits) break;
    heap.pop();
    ids.push_back(cursors[i].id);
    if (cursors[i].Next()) heap.push(i);
  }
  Statement by_id(db_, sql::kById);  // rows with no time at all, when nothing else is left
  if (ids.empty() && !waits && by_id) {
    by_id.Bind(1, count);
    while (by_id.Next()) ids.push_back(by_id.Int(0));
  }
  return ids;
}

bool HistoryRoom::RemoveForRoom(std::int64_t count, const std::string& why, Removal* removed) {
  int tier = 0;
  std::int64_t first_ms = INT64_MAX;
  std::vector<std::int64_t> ids = RoomOrder(count, &tier, &first_ms);
  Removal got;
  got.why = why;
  // Events older than the first record to go make room first; every one of
  // them before a device's newest 10 minutes.
  const std::int64_t events_from = QueryInt(db_, sql::kOldestEvent);
  if (events_from != INT64_MAX && (ids.empty() || events_from < first_ms) &&
      remover_.RemoveEventsForRoom(tier == 3 ? INT64_MAX : first_ms, count, &got) > 0) {
    if (incremental_ && !full_) Exec(db_, sql::kVacuum);
    *removed = got;
    return true;
  }
  // Records older than a day first, then the finer rollups, then the rest: as
  // many of each as it takes to make up count.
  if (tier != 1) {
    const std::int64_t taken = remover_.RemoveRollupsForRoom(count, &got);
    ids.resize(static_cast<std::size_t>(
        std::max<std::int64_t>(0, std::min<std::int64_t>(ids.size(), count - taken))));
  }
  if ((!ids.empty() && !remover_.RemoveIds(ids, &got)) || !got.any()) return false;
  // After a full disk, freed pages stay in the file: elsewhere they would be taken.
  if (incremental_ && !full_) Exec(db_, sql::kVacuum);
  *removed = got;
  return true;
}

// Past max_mb, under min_free_mb, or on a full disk: records go in the order
// of RoomOrder. True while more is to be done at once.
bool HistoryRoom::RemoveForSpace(Removal* removed) {
  if (full_) {
    // The log starts again from its beginning instead of growing, and the
    // next groups find freed pages ready rather than grow the file.
    Checkpoint(SQLITE_CHECKPOINT_PASSIVE);
    const std::int64_t page = QueryInt(db_, sql::kPageSize);
    const std::int64_t reusable = QueryInt(db_, sql::kFreePages) * page;
    const std::int64_t margin = std::min(kFullMargin, QueryInt(db_, sql::kPageCount) * page / 8);
    if (reusable + FreeBytes() < margin) {
      RemoveForRoom(RowsFor(2 * margin - reusable), "disk full", removed);
      Checkpoint(SQLITE_CHECKPOINT_PASSIVE);
      return false;
    }
  }
  if (limits_.max_mb > 0) {
    const std::int64_t bound = limits_.max_mb * kMiB;
    const std::int64_t high = bound - bound / 16;
    const std::int64_t low = bound - bound / 8;
    const std::int64_t used = UsedBytes();
    if (used > high) trimming_ = true;
    if (trimming_ && used > low)
      return RemoveForRoom(kTrimBatch, "file over " + std::to_string(limits_.max_mb) + " MiB",
                           removed);
    trimming_ = false;
  }
  // The file system is asked at most once a second.
  const auto now = std::chrono::steady_clock::now();
  if (now < next_space_check_) return false;
  next_space_check_ = now + kSpaceCheckEvery;
  const std::int64_t free = FreeBytes();
  CheckRoom(free);
  // A full disk keeps its own room (above).
  if (full_ || min_free_bytes_ <= 0 || free >= min_free_bytes_) return false;
  // A file that cannot hand pages back only needs room to reuse: an eighth of
  // it, at most kReuseReserve.
  const std::int64_t page = QueryInt(db_, sql::kPageSize);
  const std::int64_t reusable = QueryInt(db_, sql::kFreePages) * page;
  if (!incremental_ &&
      reusable >= std::min(kReuseReserve, QueryInt(db_, sql::kPageCount) * page / 8))
    return false;
  if (!RemoveForRoom(kFreeStep, "less than " + Mib(min_free_bytes_) + " free", removed) ||
      !incremental_)
    return false;
  // What was handed back reaches the file system at the checkpoint; removal
  // goes on at once while it frees space there.
  Checkpoint(SQLITE_CHECKPOINT_PASSIVE);
  const bool more = FreeBytes() > free;
  if (more) next_space_check_ = now;
  return more;
}

// Once a second: little space left said once, the end of a full disk, and the
// reserve made again while there is room for it.
void HistoryRoom::CheckRoom(std::int64_t free) {
  const std::string who = "history database " + path_ + ": ";
  if (min_free_bytes_ > 0 && free < 2 * min_free_bytes_ && !low_said_) {
    low_said_ = true;
    notes_.push_back(who + "warning: " + Mib(free) + " free on its file system, under twice the " +
                     Mib(min_free_bytes_) + " kept free; below that the oldest records go");
  }
  if (full_ && free >= kRoomAgain) {
    full_ = false;
    notes_.push_back(who + "the disk has room again (" + Mib(free) + " free)");
  }
  if (!full_ && free >= kRoomAgain) KeepReserve(path_ + kReserveSuffix);
}

bool HistoryRoom::DiskFull() {
  if (!full_)
    notes_.push_back("history database " + path_ +
                     ": the disk is full; the oldest records make room for new ones");
  full_ = true;
  ::unlink((path_ + kReserveSuffix).c_str());
  return Checkpoint(SQLITE_CHECKPOINT_RESTART);
}

bool HistoryRoom::MakeRoom(Removal* removed) {
  DiskFull();
  const bool got = RemoveForRoom(RowsFor(kRoomBytes), "disk full", removed);
  // Into the file, so that the log starts again and the freed pages are there to use.
  Checkpoint(SQLITE_CHECKPOINT_RESTART);
  return got;
}

// About how many rows hold bytes, from the ids' span (cheap, and never fewer
// than the rows): at least one, at most a batch.
std::int64_t HistoryRoom::RowsFor(std::int64_t bytes) {
  const std::int64_t span = QueryInt(db_, sql::kMaxId) - QueryInt(db_, sql::kMinId) + 1;
  const std::int64_t used = UsedBytes();
  if (span <= 0 || used <= 0) return 1;
  const double rows = static_cast<double>(bytes) * static_cast<double>(span) / used;
  return rows >= kRoomBatch ? kRoomBatch
                            : std::max<std::int64_t>(1, static_cast<std::int64_t>(rows));
}

bool HistoryRoom::Checkpoint(int mode) {
  int log = 0;
  int done = 0;
  int rc = sqlite3_wal_checkpoint_v2(db_, nullptr, mode, &log, &done);
  struct stat st {};
  const std::int64_t page = QueryInt(db_, sql::kPageSize);
  if ((rc & 0xff) == SQLITE_FULL && incremental_ && page > 0 && ::stat(path_.c_str(), &st) == 0) {
    // The log gives the file pages past its end and the disk has no room for
    // them: as many free pages are given up, so that it fits as it is.
    const std::int64_t past = QueryInt(db_, sql::kPageCount) - st.st_size / page;
    if (past > 0 && Exec(db_, sql::VacuumPages(past)) == SQLITE_OK)
      rc = sqlite3_wal_checkpoint_v2(db_, nullptr, mode, &log, &done);
  }
  return rc == SQLITE_OK && done == log;
}

std::vector<std::string> HistoryRoom::TakeNotes() {
  std::vector<std::string> out;
  out.swap(notes_);
  return out;
}

std::int64_t HistoryRoom::UsedBytes() {
  return (QueryInt(db_, sql::kPageCount) - QueryInt(db_, sql::kFreePages)) *
         QueryInt(db_, sql::kPageSize);
}

std::int64_t HistoryRoom::FreeBytes() const {
  struct statvfs vfs {};
  if (::statvfs(FolderOf(path_).c_str(), &vfs) != 0) return INT64_MAX;
  return static_cast<std::int64_t>(vfs.f_bavail) * static_cast<std::int64_t>(vfs.f_frsize);
}

}  // namespace controller
