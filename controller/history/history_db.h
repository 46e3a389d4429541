// Device history in SQLite: one row per published record, raw bytes as stored.
#pragma once

#include <boost/optional.hpp>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "controller/history/history_connection.h"
#include "controller/history/history_file.h"
#include "controller/history/history_rollup.h"
#include "controller/history/history_room.h"
#include "controller/history/history_status.h"
#include "controller/history/history_upkeep.h"

struct sqlite3;

namespace controller {

class Statement;

class HistoryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The file is damaged: it may be set aside and a new history made in its place.
class HistoryDamaged : public HistoryError {
 public:
  using HistoryError::HistoryError;
};

using Bytes = std::vector<unsigned char>;

// One record as the history keeps it, on its way in and as read back.
struct HistoryRow {
  std::uint32_t data_id = 0;
  int record_type = 0;
  std::string device_type;
  std::int64_t time_ms = 0;  // when it was published, UTC ms since 1970; 0: read `time`
  std::string time;          // the stored UTC text; not needed on the way in
  Bytes data;
};

// A repeat is counted in the row of its event while that row's first time is
// at most this long before it: a day of flapping is a few rows an hour, and a
// row never hides more than this of an incident.
constexpr std::int64_t kRepeatWindowMs = 10 * 60 * 1000;

// One event for the event log, as the targets got it.
struct LoggedEvent {
  std::int64_t time_ms = 0;
  std::string event;
  std::string device;
  std::uint32_t data_id = 0;
  std::string json;
  // The condition whose repeats (same event and device, kRepeatWindowMs)
  // one row counts; empty: the event is a row of its own.
  std::string repeat_of = std::string();
};

// What a history is made with: its bounds, and the field table its rollups
// sum records up by (one device type's), from CheckedFields.
struct HistoryOptions {
  HistoryLimits limits;
  FieldTable fields;
};

class HistoryDb {
 public:
  // Opens or creates the database, checks the history table and proves it
  // writable. Throws HistoryError naming the path and SQLite's reason; a file
  // this call created is removed again. std::invalid_argument without fields.
  HistoryDb(const std::string& path, HistoryOptions options);
  ~HistoryDb();
  HistoryDb(const HistoryDb&) = delete;
  HistoryDb& operator=(const HistoryDb&) = delete;

  // Stores rows in one transaction: fine, or SQLite's code, a busy or locked
  // one worth retrying (IsRetryable) or a permanent error, with its reason.
  // Nothing is stored unless all are.
  Status StoreGroup(const std::vector<HistoryRow>& rows) { return StoreGroup(rows, {}); }
  // And the events with them, in the same transaction.
  Status StoreGroup(const std::vector<HistoryRow>& rows, const std::vector<LoggedEvent>& events);

  // The newest stored record of a device, if any.
  boost::optional<HistoryRow> Latest(std::uint32_t data_id, const std::string& device_type);

  // Closes the database and, if this object created the file, removes it with
  // its journal files: for a start-up that failed after the history was opened.
  void CloseAndRemoveIfCreated();

  const std::string& path() const { return path_; }
  const HistoryLimits& limits() const { return limits_; }
  HistoryOptions options() const { return {limits_, fields_}; }

  // What became of the file and its log since they were opened; *moved_to is
  // where the file is now when it was moved away.
  FileChange CheckFiles(std::string* moved_to) const {
    return set_up_ ? watch_.Check(path_, moved_to) : FileChange::kNone;
  }

  // Copies every committed row from the log into the file through this
  // connection and empties the log, waiting a little for readers; SQLite's
  // reason when it could not.
  Status Checkpoint();

  // Finishes a start that found the file locked (the columns and indexes of an
  // older layout); the reason while it is still locked.
  Status Ready();

  // Whether the file is set up and a write goes through now (an empty write
  // transaction); the reason while a lock held elsewhere stops it.
  Status Writable();

  // SQLite's quick check: fine when the file is sound, else its first problem.
  Status QuickCheck();

  // The log's inode as opened, 0 when unknown.
  std::uint64_t log_inode() const { return watch_.log_inode(); }

  // Whether a step found the file damaged.
  bool damaged() const { return watch_.damaged(); }

  // Rows whose time text could not be read, found since the last call.
  std::int64_t TakeUnreadable() { return upkeep_.TakeUnreadable(); }

  // One small step of upkeep, between groups (see HistoryUpkeep): true when
  // more is left to do at once; *removed says what went.
  bool Upkeep(Removal* removed) { return set_up_ && upkeep_.Step(removed); }

  // When a step put off for a moment (a fill that found the file locked or
  // the disk full) is due; max() when none is.
  std::chrono::steady_clock::time_point upkeep_retry() const {
    return set_up_ ? upkeep_.retry() : std::chrono::steady_clock::time_point::max();
  }

  // Room: see HistoryRoom.
  bool DiskFull() { return room_.DiskFull(); }
  bool MakeRoom(Removal* removed) { return room_.MakeRoom(removed); }
  std::vector<std::int64_t> RoomOrder(std::int64_t count, int* first_tier = nullptr) {
    return room_.RoomOrder(count, first_tier);
  }
  // The disk was found full and has had no room since.
  bool disk_full() const { return room_.full(); }
  // Lines for the run's account (a full disk, room again, little space left)
  // gathered since the last call.
  std::vector<std::string> TakeNotes() { return room_.TakeNotes(); }

 private:
  [[noreturn]] void Fail(const std::string& what) const;
  void Setup();
  int Seen(int rc) { return watch_.Seen(rc); }  // notes damage in a result code
  // Run or prepared, or HistoryError naming what failed.
  void Must(const std::string& sql, const char* what);
  std::unique_ptr<Statement> MustPrepare(const char* sql);
  void CheckTable();
  int Close();  // SQLite's word on closing: SQLITE_BUSY when a statement was left open
  void TakeOver();
  void KeepNewest();
  void PrepareLatest();
  void TakeOverLog();
  int InsertEvents(const std::vector<LoggedEvent>& events);
  int NameNewest(std::uint32_t data_id, const std::string& device_type, std::int64_t id);

  std::string path_;
  HistoryLimits limits_;
  FieldTable fields_;                          // never null
  HistoryRoom room_{path_, limits_, upkeep_};  // its bounds kept between groups
  LastRows stored_last_;
  FileWatch watch_;  // the file as opened, and damage found
  bool created_ = false;
  bool set_up_ = false;  // false while a lock held elsewhere delays the takeover
  Connection conn_;
  sqlite3* db() const { return conn_.get(); }
  std::unique_ptr<Statement> insert_;
  std::unique_ptr<Statement> latest_;
  std::unique_ptr<Statement> newest_;  // names a device's newest row
  std::unique_ptr<Statement> renamed_, by_time_;
  std::unique_ptr<Statement> insert_log_;
  std::unique_ptr<Statement> count_repeat_;
  RollupBatch rollups_{*fields_};  // a group's or a fill's records, folded before they are written
  HistoryUpkeep upkeep_{limits_, watch_, room_, rollups_, stored_last_};
};

// Before the first database is opened: SQLite's memory statistics take a
// process-wide lock on every allocation, and nothing here reads them.
void SkipSqliteMemoryStatistics();

}  // namespace controller
