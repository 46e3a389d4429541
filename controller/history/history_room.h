// Room for the history: its bounds, and the owner that keeps the file within
// them between groups (past max_mb, under min_free_mb, on a full disk).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct sqlite3;

namespace controller {

// Bounds of the history; 0 means no bound.
struct HistoryLimits {
  int keep_days = 400;            // older records go (not those of this run)
  std::int64_t max_mb = 0;        // the file's size, MiB
  std::int64_t min_free_mb = 64;  // free space to leave on the file system, MiB
  bool min_free_set = false;      // unset, min_free_mb is at most 5 % of the file system
  int minute_days = 90;           // rollups by minute, ten minutes and hour are kept this long;
  int ten_minute_days = 730;      // those by day as long as the file has room
  int hour_days = 3650;
  int log_keep_days = 400;  // older events of the log go
  // The log's share of max_mb, in percent: a flapping line's events are
  // several records' worth each and must not crowd the records out.
  static constexpr int kLogSharePercent = 25;
};

// The free space the history of path leaves on its file system, in bytes:
// min_free_mb as set, or by default the smaller of it and 5 % of the file
// system, so that a small one is not emptied to meet a bound it cannot hold.
std::int64_t MinFreeBytes(const std::string& path, const HistoryLimits& limits);

// What an upkeep step removed: how many records and the span of their times.
struct Removal {
  std::int64_t count = 0;
  std::int64_t first_ms = 0;
  std::int64_t last_ms = 0;
  std::string why;           // "older than 400 days", "file over 5 MiB", ...
  std::int64_t rollups = 0;  // rollups removed for space with them
  std::string tiers;         // of which tiers: "minute", "minute and hour"...
  std::int64_t events = 0;   // events of the log removed for space with them
  bool any() const { return count + rollups + events > 0; }
};

// The file kept beside the history while it is open, released on a full disk
// so that making room has room to write (see history_room.cpp).
constexpr char kReserveSuffix[] = "-reserve";

// One line about a removal, for the run's account.
std::string RemovalLine(const Removal& r);

// What room asks of the history it keeps: removals that keep the rest right
// (levels handed on, marks forgotten), each in a transaction of its own.
class Remover {
 public:
  // The rows of ids; false when that failed.
  virtual bool RemoveIds(const std::vector<std::int64_t>& ids, Removal* removed) = 0;
  // Up to count rollups below the day tier, finest and oldest first; how many went.
  virtual std::int64_t RemoveRollupsForRoom(std::int64_t count, Removal* removed) = 0;
  // Up to count of the oldest events older than before_ms; how many went.
  virtual std::int64_t RemoveEventsForRoom(std::int64_t before_ms, std::int64_t count,
                                           Removal* removed) = 0;

 protected:
  ~Remover() = default;
};

class HistoryRoom {
 public:
  HistoryRoom(const std::string& path, const HistoryLimits& limits, Remover& remover)
      : path_(path), limits_(limits), remover_(remover) {}

  // The connection to keep room in, and whether freed pages can be handed
  // back to the file system; at each setup of the file.
  void Attach(sqlite3* db, bool incremental) {
    db_ = db;
    incremental_ = incremental;
  }

  // Past max_mb, under min_free_mb, or on a full disk: records go in the
  // order of RoomOrder, events of the log older than the first of them before
  // them, and every event before a device's newest 10 minutes. True while
  // more is to be done at once.
  bool RemoveForSpace(Removal* removed);

  // A full disk met: said once, the reserve beside the file released and the
  // log checkpointed so that it starts again from its beginning instead of
  // growing. True when the checkpoint went through.
  bool DiskFull();

  // Removes a batch of records in the order of removal for space (RoomOrder)
  // to make room on a full disk, keeping the freed pages in the file for
  // reuse; false when there is nothing left to remove.
  bool MakeRoom(Removal* removed);

  // The ids of the first count rows that removals for space take, in order:
  // by stored time, oldest first, rows older than a day outside their
  // device's newest 10 minutes, then the other rows outside those 10 minutes,
  // then the rest. Between the first two, rollups by minute, ten minutes and
  // hour go. Records newer than the oldest event of the log, or of a newest
  // 10 minutes while any event is left, are not given. *first_tier: 1 when the first of them is
  // older than a day, else 2 or 3; *first_ms: the stored time of the first.
  std::vector<std::int64_t> RoomOrder(std::int64_t count, int* first_tier = nullptr,
                                      std::int64_t* first_ms = nullptr);

  bool full() const { return full_; }
  bool incremental() const { return incremental_; }

  // Lines for the run's account gathered since the last call.
  std::vector<std::string> TakeNotes();

 private:
  bool RemoveForRoom(std::int64_t count, const std::string& why, Removal* removed);
  bool Checkpoint(int mode);
  std::int64_t RowsFor(std::int64_t bytes);
  void CheckRoom(std::int64_t free);
  std::int64_t UsedBytes();
  std::int64_t FreeBytes() const;

  const std::string& path_;
  const HistoryLimits& limits_;
  Remover& remover_;
  sqlite3* db_ = nullptr;
  bool incremental_ = false;  // freed pages can be handed back to the file system
  const std::int64_t min_free_bytes_ = MinFreeBytes(path_, limits_);  // resolved at open
  std::chrono::steady_clock::time_point next_space_check_{};          // on the steady clock
  bool trimming_ = false;  // over the size bound: removing down to below it
  bool full_ = false;      // the disk is full: freed pages stay in the file
  bool low_said_ = false;  // little free space has been reported
  std::vector<std::string> notes_;
};

}  // namespace controller
