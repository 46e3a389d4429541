#include "controller/history/history_db.h"

#include <sys/stat.h>
#include <unistd.h>

#include <thread>
#include <utility>

#include "controller/common/iso_time.h"
#include "controller/history/history_schema.h"
#include "controller/history/history_sql.h"

namespace controller {

namespace {

constexpr int kOpenBusyTimeoutMs = 2000;
// Short: the writer retries with its own back-off and keeps an eye on stopping.
constexpr int kBusyTimeoutMs = 100;

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

void RemoveFiles(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm", "-journal", kReserveSuffix})
    ::unlink((path + suffix).c_str());
}

// Rollups name their columns and decode records by it: no history without a
// sound one.
FieldTable Needed(FieldTable fields) {
  if (!fields) throw std::invalid_argument("history: no rollup field table given");
  CheckRollupFields(*fields);
  return fields;
}

}  // namespace

void SkipSqliteMemoryStatistics() { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); }

HistoryDb::HistoryDb(const std::string& path, HistoryOptions options)
    : path_(path),
      limits_(options.limits),
      fields_(Needed(std::move(options.fields))),
      created_(!Exists(path)) {
  // One thread at a time uses the connection (the writer's, once started):
  // SQLite's own mutex would only be taken and given back at every call.
  conn_ = Connection(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX);
  try {
    if (!conn_.ok()) Fail("cannot open");
    sqlite3_busy_timeout(db(), kOpenBusyTimeoutMs);
    // A write-protected file is opened read-only without a word; say so in
    // SQLite's words. A lock held by another program is no reason to refuse:
    // the writer waits for it.
    if (sqlite3_db_readonly(db(), "main") == 1)
      throw HistoryError("history database " + path_ +
                         ": cannot write: " + sqlite3_errstr(SQLITE_READONLY));
    // Before anything begins a transaction or the log (see kIncrementalVacuum).
    // It takes the write lock even on a file that has it already: a lock held
    // elsewhere on a file of ours is waited for by the writer, as below.
    if (Exec(db(), sql::kIncrementalVacuum) != SQLITE_OK &&
        (created_ || !IsRetryable(sqlite3_errcode(db()))))
      Fail("cannot write");
    {
      // A reader elsewhere may keep even an empty commit waiting: no reason to refuse.
      Transaction probe(db());
      const int done = probe.Commit();
      if (done != SQLITE_OK && !IsRetryable(done)) Fail("cannot write");
    }
    try {
      Setup();
    } catch (const HistoryError&) {
      // An older file under a lock held elsewhere: monitoring starts, and the
      // writer finishes taking it over once the lock clears (Ready).
      if (created_ || !IsRetryable(sqlite3_errcode(db()))) throw;
      CheckTable();
    }
    PrepareLatest();
    sqlite3_busy_timeout(db(), kBusyTimeoutMs);
  } catch (const HistoryError& e) {
    const bool damage = db() && IsDamage(sqlite3_errcode(db()));
    Close();
    if (created_) RemoveFiles(path_);
    if (damage) throw HistoryDamaged(e.what());
    throw;
  } catch (...) {
    Close();
    if (created_) RemoveFiles(path_);
    throw;
  }
}

// Everything that writes to the file at open; run again by Ready() while a
// lock held elsewhere keeps it from finishing.
void HistoryDb::Setup() {
  for (const char* pragma : {sql::kWal, sql::kSyncFull, sql::kLogLimit, sql::kLogPages})
    Must(pragma, "cannot write");
  Must(sql::kCreateTable, "cannot create the history table");
  CheckTable();
  TakeOver();
  KeepNewest();
  // Rollups come to a file with rows already levelled: those are folded in by
  // upkeep (FillRollups), the others as they are levelled (FillTimes).
  const bool rollups_new = QueryInt(db(), std::string("SELECT COUNT(*) FROM sqlite_master WHERE "
                                                      "name = '") +
                                              RollupTable(1) + "'") == 0;
  for (int level = 1; level <= kChartLevels; ++level)
    Must(sql::CreateRollup(*fields_, level), "cannot create the rollups");
  Must(sql::kCreateRollupFill, "cannot create the rollups");
  Must(sql::kCreateRollupOpen, "cannot create the rollups");
  if (rollups_new) Must(sql::kStartRollupFill, "cannot create the rollups");
  const bool rollup_filling = QueryInt(db(), sql::kAnyRollupFill) != 0;
  TakeOverLog();
  insert_ = MustPrepare(sql::kInsert);
  insert_log_ = MustPrepare(sql::kInsertLog);
  count_repeat_ = MustPrepare(sql::kCountRepeat);
  room_.Attach(db(), QueryInt(db(), sql::kAutoVacuum) == 2);
  upkeep_.Attach(db(), QueryInt(db(), sql::kAnyUnlevelled) != 0, rollup_filling,
                 QueryInt(db(), sql::kNextId));
  watch_.Opened(path_);
  set_up_ = true;
}

Status HistoryDb::Ready() {
  if (set_up_) return {};
  try {
    Setup();
  } catch (const HistoryError& e) {
    return Status(SQLITE_BUSY, e.what());  // still locked: tried again
  }
  PrepareLatest();
  return {};
}

Status HistoryDb::Writable() {
  Status ready = Ready();
  if (!ready.ok()) return ready;
  Transaction probe(db());
  const int rc = probe.Commit();
  return rc == SQLITE_OK ? Status() : Status(rc, sqlite3_errstr(rc));
}

HistoryDb::~HistoryDb() {
  Close();
  ::unlink((path_ + kReserveSuffix).c_str());  // made anew by the next run
}

int HistoryDb::Close() {
  insert_.reset();
  newest_.reset();
  renamed_.reset();
  by_time_.reset();
  insert_log_.reset();
  count_repeat_.reset();
  rollups_.Release();
  latest_.reset();
  return conn_.Close();
}

void HistoryDb::CloseAndRemoveIfCreated() {
  Close();
  if (created_) RemoveFiles(path_);
  created_ = false;
}

void HistoryDb::Fail(const std::string& what) const {
  throw HistoryError("history database " + path_ + ": " + what + ": " + conn_.reason());
}

void HistoryDb::Must(const std::string& sql, const char* what) {
  if (Exec(db(), sql) != SQLITE_OK) Fail(what);
}

std::unique_ptr<Statement> HistoryDb::MustPrepare(const char* sql) {
  auto s = std::make_unique<Statement>(db(), sql);
  if (!*s) Fail("unusable history table");
  return s;
}

// A table of an older version gains time_ms and chart_level at once (SQLite
// only notes a new column); its rows are filled later in small batches, so a
// long history needs neither a long start nor room for a copy of itself.
void HistoryDb::TakeOver() {
  for (const char* column : sql::kAddedColumns) {
    if (QueryInt(db(), sql::HasColumn(column)) == 0)
      Must(sql::AddColumn(column), ("cannot add the " + std::string(column) + " column").c_str());
  }
  // A time index of the earlier layout (device_type in it) is built anew, once.
  const std::int64_t time_columns = QueryInt(db(), sql::kTimeIndexWidth);
  if (time_columns != 0 && time_columns != sql::kTimeIndexColumns)
    Must(sql::kDropTimeIndex, "cannot replace the history index");
  for (const char* create : sql::kCreateIndexes) Must(create, "cannot create the history index");
  for (int level = 1; level <= kChartLevels; ++level)
    Must(sql::CreateChartIndex(level), "cannot create the history index");
}

// A table made elsewhere must take our rows: every column we write, and no
// other column that insists on a value.
void HistoryDb::CheckTable() {
  Statement info(db(), sql::kTableInfo);
  if (!info) Fail("cannot read the history table");
  std::vector<std::string> names;
  std::string problem;
  while (info.Next()) {
    names.push_back(info.Text(1));
    const bool not_null = info.Int(3) != 0;
    const bool has_default = !info.Null(4);
    const bool key = info.Int(5) != 0;
    bool ours = false;
    for (const char* c : sql::kAddedColumns) ours = ours || names.back() == c;
    for (const char* c : sql::kColumns) ours = ours || names.back() == c;
    if (!ours && not_null && !has_default && !key && problem.empty())
      problem = "column \"" + names.back() + "\" requires a value this program does not store";
  }
  for (const char* c : sql::kColumns) {
    bool found = false;
    for (const std::string& n : names) found = found || n == c;
    if (!found && problem.empty()) problem = "column \"" + std::string(c) + "\" is missing";
  }
  if (!problem.empty())
    throw HistoryError("history database " + path_ + ": table \"history\": " + problem);
}

// A log of an older layout gains the counts (SQLite only notes a column with
// a constant default: no copy), its rows counting one each.
void HistoryDb::TakeOverLog() {
  Must(sql::kCreateLog, "cannot create the event log");
  for (const auto& column : sql::kLogAddedColumns) {
    if (QueryInt(db(), sql::LogHasColumn(column[0])) == 0)
      Must(std::string("ALTER TABLE event_log ADD COLUMN ") + column[1],
           "cannot add a column to the event log");
  }
  for (const char* create : sql::kCreateLogIndexes) Must(create, "cannot create the event log");
}

// The events into the log, inside the group's transaction: a repeat counted
// in its row when there is one, else a row of its own.
int HistoryDb::InsertEvents(const std::vector<LoggedEvent>& events) {
  int rc = SQLITE_OK;
  for (std::size_t i = 0; rc == SQLITE_OK && i < events.size(); ++i) {
    const LoggedEvent& e = events[i];
    if (!e.repeat_of.empty()) {
      Statement& repeat = *count_repeat_;
      repeat.Bind(1, e.time_ms).Bind(2, e.event).Bind(3, e.device).Bind(4, e.data_id);
      rc = repeat.Bind(6, e.repeat_of).Bind(7, kRepeatWindowMs).Step();
      repeat.Reset();
      if (rc != SQLITE_DONE) break;
      rc = SQLITE_OK;
      if (sqlite3_changes(db()) > 0) continue;
    }
    Statement& log = *insert_log_;
    log.Bind(1, e.time_ms).Bind(2, e.event).Bind(3, e.device).Bind(4, e.data_id).Bind(5, e.json);
    rc = log.Bind(6, e.repeat_of).Step();
    if (rc == SQLITE_DONE) rc = SQLITE_OK;
    log.Reset();
  }
  return rc;
}

Status HistoryDb::StoreGroup(const std::vector<HistoryRow>& rows,
                             const std::vector<LoggedEvent>& events) {
  Status ready = Ready();
  if (!ready.ok()) return ready;
  // Taken back unless the group is in: a group that fails was never stored.
  // (Undone rather than copied: a copy of every device's entry each group
  // cost more than the group's own rows at a thousand devices.)
  struct Undo {
    LastRows::iterator at;
    bool added;
    LastRow was;
  };
  std::vector<Undo> undo;
  undo.reserve(rows.size());
  Statement& insert = *insert_;
  rollups_.Clear();
  Transaction group(db());
  int rc = group.rc();
  for (std::size_t i = 0; rc == SQLITE_OK && i < rows.size(); ++i) {
    const HistoryRow& row = rows[i];
    const std::int64_t ms = row.time_ms;
    const auto prev = stored_last_.try_emplace(std::make_pair(row.data_id, row.device_type));
    undo.push_back(Undo{prev.first, prev.second, prev.first->second});
    const int level = ChartLevel(prev.second ? nullptr : &prev.first->second.ms, ms);
    insert.Bind(1, row.data_id).Bind(2, row.device_type).Bind(3, row.record_type);
    insert.Bind(4, FormatUtcMs(ms)).Bind(5, row.data).Bind(6, ms).Bind(7, level);
    rc = insert.Step();
    const std::int64_t id = sqlite3_last_insert_rowid(db());
    prev.first->second = LastRow{ms, id};
    if (rc == SQLITE_DONE) rc = NameNewest(row.data_id, row.device_type, id);
    if (rc == SQLITE_DONE) {
      rc = SQLITE_OK;
      rollups_.Add(row.data_id, row.record_type, row.data, ms, id);
    }
    insert.Reset();  // ready for the next row, also after a failed one
  }
  if (rc == SQLITE_OK) rc = rollups_.Flush(db());
  rollups_.Clear();
  if (rc == SQLITE_OK) rc = InsertEvents(events);
  if (rc == SQLITE_OK) rc = group.Commit();
  rollups_.Settle(rc == SQLITE_OK);
  if (rc == SQLITE_OK) return {};
  for (auto u = undo.rbegin(); u != undo.rend(); ++u) {
    if (u->added) {
      stored_last_.erase(u->at);
    } else {
      u->at->second = u->was;
    }
  }
  return Status(Seen(rc), sqlite3_errmsg(db()));
}

Status HistoryDb::Checkpoint() { return watch_.Checkpoint(db()); }

Status HistoryDb::QuickCheck() { return watch_.QuickCheck(db()); }

}  // namespace controller
