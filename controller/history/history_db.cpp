#include "controller/history/history_db.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "controller/common/iso_time.h"

namespace controller {

namespace {

constexpr int kOpenBusyTimeoutMs = 2000;
// Short: the writer retries with its own back-off and keeps an eye on stopping.
constexpr int kBusyTimeoutMs = 100;

// time_ms is the stored time in milliseconds since 1970 (UTC); time keeps the
// same time as text for readers of the file; chart_level (ChartLevel) lets a
// chart read only the first rows of its windows. A table made before these
// existed gets the columns added and filled by the writer (Upkeep).
constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS history ("
    " id INTEGER PRIMARY KEY,"
    " data_id INTEGER NOT NULL,"
    " device_type TEXT NOT NULL,"
    " record_type INTEGER NOT NULL,"
    " time TEXT NOT NULL,"
    " data BLOB NOT NULL,"
    " time_ms INTEGER,"
    " chart_level INTEGER)";

// By device in storing order (the cache's newest record), by device in time
// (ranges and steps); the rows whose time_ms or chart_level is still to be
// filled and those of each chart level have indexes of their own (TakeOver).
constexpr const char* kIndexes[] = {
    "CREATE INDEX IF NOT EXISTS history_device ON history(data_id, device_type, id)",
    // Partial: taking over an older file adds no entry until a row is filled.
    // Whole numbers only, as they compare fastest; the row id it ends with
    // keeps rows of the same time in storing order.
    ("CREATE INDEX IF NOT EXISTS history_time ON history(data_id, time_ms) "
     "WHERE time_ms IS NOT NULL"),
    // Rows still to be filled were found by their time alone before chart_level.
    "DROP INDEX IF EXISTS history_unfilled"};

// One per chart level, holding the whole answer of a chart point, so that a
// chart reads along one of these and never the table; a few hundredths of the
// rows at most (those of a 1 s poll that begin a minute).
std::string ChartIndex(int level) {
  return "CREATE INDEX IF NOT EXISTS " + ChartIndexName(level) +
         " ON history(data_id, device_type, time_ms, id, record_type, time, data) WHERE "
         "chart_level >= " +
         std::to_string(level);
}

constexpr int kTimeIndexColumns = 2;

constexpr const char* kColumns[] = {"id", "data_id", "device_type", "record_type", "time", "data"};
constexpr const char* kAddedColumns[] = {"time_ms", "chart_level"};

constexpr char kInsert[] =
    "INSERT INTO history(data_id, device_type, record_type, time, data, time_ms, chart_level) "
    "VALUES(?, ?, ?, ?, ?, ?, ?)";

constexpr char kLatest[] =
    "SELECT data, time, time_ms FROM history WHERE data_id = ? AND device_type = ? "
    "ORDER BY id DESC LIMIT 1";
// The same of a file not yet taken over.
constexpr char kLatestUntimed[] =
    "SELECT data, time, NULL FROM history WHERE data_id = ? AND device_type = ? "
    "ORDER BY id DESC LIMIT 1";

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

void RemoveFiles(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm", "-journal", kReserveSuffix})
    ::unlink((path + suffix).c_str());
}

}  // namespace

std::string ChartIndexName(int level) { return "history_chart" + std::to_string(level); }

int ChartLevel(const std::int64_t* prev_ms, std::int64_t ms) {
  // A row before its predecessor (the clock went back) may begin any window.
  if (!prev_ms || ms < *prev_ms || *prev_ms < 0) return kChartLevels;
  int level = 0;
  while (level < kChartLevels && ms / kChartGrainsMs[level] != *prev_ms / kChartGrainsMs[level])
    ++level;
  return level;
}

bool IsRetryable(int rc) {
  const int primary = rc & 0xff;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED || primary == SQLITE_PROTOCOL;
}

std::string UtcTimestamp(std::chrono::system_clock::time_point t) {
  return FormatUtcMs(
      std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count());
}

boost::optional<std::int64_t> ParseUtcTimestamp(const std::string& text) {
  // A stored time always carries its time of day; a bare date is none.
  if (text.size() < 19 || text[10] != 'T') return boost::none;
  const auto ms = ParseUtcMs(text);
  if (!ms) return boost::none;
  return *ms / 1000;  // never negative: years start at 1970
}

HistoryDb::HistoryDb(const std::string& path, HistoryLimits limits)
    : path_(path), limits_(limits), created_(!Exists(path)) {
  const int rc =
      sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  try {
    if (rc != SQLITE_OK) Fail("cannot open");
    sqlite3_busy_timeout(db_, kOpenBusyTimeoutMs);
    // A write-protected file is opened read-only without a word; say so in
    // SQLite's words. A lock held by another program is no reason to refuse:
    // the writer waits for it.
    if (sqlite3_db_readonly(db_, "main") == 1)
      throw HistoryError("history database " + path_ +
                         ": cannot write: " + sqlite3_errstr(SQLITE_READONLY));
    // Only a new file can hand freed pages back; an older one reuses them.
    // First: once a transaction or the log has begun, SQLite ignores it.
    Exec("PRAGMA auto_vacuum=INCREMENTAL", "cannot write");
    const int probe = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (probe == SQLITE_OK) {
      // A reader elsewhere may keep even an empty commit waiting: no reason to refuse.
      const int done = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
      if (done != SQLITE_OK && !IsRetryable(done)) Fail("cannot write");
      if (done != SQLITE_OK) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    } else if (!IsRetryable(probe)) {
      Fail("cannot write");
    }
    try {
      Setup();
    } catch (const HistoryError&) {
      // An older file under a lock held elsewhere: monitoring starts, and the
      // writer finishes taking it over once the lock clears (Ready).
      if (created_ || !IsRetryable(sqlite3_errcode(db_))) throw;
      CheckTable();
    }
    Prepare(&latest_, Pragma("SELECT COUNT(*) FROM pragma_table_info('history') WHERE name = "
                             "'time_ms'") != 0
                          ? kLatest
                          : kLatestUntimed);
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  } catch (const HistoryError& e) {
    const bool damage = db_ && IsDamage(sqlite3_errcode(db_));
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
  // WAL appends each commit instead of rewriting pages; FULL syncs the log at
  // every commit, which costs little now that records are committed in groups
  // and keeps a power cut from losing more than the group being written.
  Exec("PRAGMA journal_mode=WAL", "cannot write");
  Exec("PRAGMA synchronous=FULL", "cannot write");
  // The log is cut back after each checkpoint instead of keeping its peak size.
  Exec("PRAGMA journal_size_limit=4194304", "cannot write");
  Exec(kSchema, "cannot create the history table");
  CheckTable();
  TakeOver();
  sqlite3_finalize(insert_);
  insert_ = nullptr;
  Prepare(&insert_, kInsert);
  incremental_ = Pragma("PRAGMA auto_vacuum") == 2;
  filling_ = Pragma("SELECT EXISTS(SELECT 1 FROM history WHERE chart_level IS NULL)") != 0;
  run_first_id_ = Pragma("SELECT COALESCE(MAX(id), 0) + 1 FROM history");
  RecordFiles();
  set_up_ = true;
}

bool HistoryDb::Ready(std::string* why) {
  if (set_up_) return true;
  try {
    Setup();
  } catch (const HistoryError& e) {
    *why = e.what();
    return false;
  }
  sqlite3_finalize(latest_);
  latest_ = nullptr;
  Prepare(&latest_, kLatest);
  return true;
}

HistoryDb::~HistoryDb() {
  Close();
  ::unlink((path_ + kReserveSuffix).c_str());  // made anew by the next run
}

void HistoryDb::Close() {
  sqlite3_finalize(insert_);
  sqlite3_finalize(latest_);
  sqlite3_close(db_);
  insert_ = nullptr;
  latest_ = nullptr;
  db_ = nullptr;
}

void HistoryDb::CloseAndRemoveIfCreated() {
  Close();
  if (created_) RemoveFiles(path_);
  created_ = false;
}

void HistoryDb::Fail(const std::string& what) const {
  const char* msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
  throw HistoryError("history database " + path_ + ": " + what + ": " + msg);
}

void HistoryDb::Exec(const char* sql, const char* what) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail(what);
}

void HistoryDb::Prepare(sqlite3_stmt** stmt, const char* sql) {
  if (sqlite3_prepare_v2(db_, sql, -1, stmt, nullptr) != SQLITE_OK) Fail("unusable history table");
}

// The first column of a one-row query as an integer; 0 when there is none.
std::int64_t HistoryDb::Pragma(const char* sql) {
  sqlite3_stmt* st = nullptr;
  std::int64_t v = 0;
  if (sqlite3_prepare_v2(db_, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
    v = sqlite3_column_int64(st, 0);
  sqlite3_finalize(st);
  return v;
}

// A table of an older version gains time_ms and chart_level at once (SQLite
// only notes a new column); its rows are filled later in small batches, so a
// long history needs neither a long start nor room for a copy of itself.
void HistoryDb::TakeOver() {
  for (const char* column : kAddedColumns) {
    const std::string name = column;
    if (Pragma(("SELECT COUNT(*) FROM pragma_table_info('history') WHERE name = '" + name + "'")
                   .c_str()) == 0)
      Exec(("ALTER TABLE history ADD COLUMN " + name + " INTEGER").c_str(),
           ("cannot add the " + name + " column").c_str());
  }
  // A time index of the earlier layout (device_type in it) is built anew, once.
  const std::int64_t time_columns =
      Pragma("SELECT COUNT(*) FROM pragma_index_info('history_time')");
  if (time_columns != 0 && time_columns != kTimeIndexColumns)
    Exec("DROP INDEX history_time", "cannot replace the history index");
  for (const char* sql : kIndexes) Exec(sql, "cannot create the history index");
  Exec(("CREATE INDEX IF NOT EXISTS " + std::string(kUnlevelledIndex) +
        " ON history(id) WHERE chart_level IS NULL")
           .c_str(),
       "cannot create the history index");
  for (int level = 1; level <= kChartLevels; ++level)
    Exec(ChartIndex(level).c_str(), "cannot create the history index");
}

bool HistoryDb::StillAtPath() const {
  struct stat st {};
  if (::stat(path_.c_str(), &st) != 0) return false;
  return static_cast<std::uint64_t>(st.st_dev) == dev_ &&
         static_cast<std::uint64_t>(st.st_ino) == ino_;
}

// A table made elsewhere must take our rows: every column we write, and no
// other column that insists on a value.
void HistoryDb::CheckTable() {
  sqlite3_stmt* info = nullptr;
  if (sqlite3_prepare_v2(db_, "PRAGMA table_info(history)", -1, &info, nullptr) != SQLITE_OK)
    Fail("cannot read the history table");
  std::vector<std::string> names;
  std::string problem;
  while (sqlite3_step(info) == SQLITE_ROW) {
    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(info, 1));
    names.emplace_back(name ? name : "");
    const bool not_null = sqlite3_column_int(info, 3) != 0;
    const bool has_default = sqlite3_column_type(info, 4) != SQLITE_NULL;
    const bool key = sqlite3_column_int(info, 5) != 0;
    bool ours = false;
    for (const char* c : kAddedColumns) ours = ours || names.back() == c;
    for (const char* c : kColumns) ours = ours || names.back() == c;
    if (!ours && not_null && !has_default && !key && problem.empty())
      problem = "column \"" + names.back() + "\" requires a value this program does not store";
  }
  sqlite3_finalize(info);
  for (const char* c : kColumns) {
    bool found = false;
    for (const std::string& n : names) found = found || n == c;
    if (!found && problem.empty()) problem = "column \"" + std::string(c) + "\" is missing";
  }
  if (!problem.empty())
    throw HistoryError("history database " + path_ + ": table \"history\": " + problem);
}

int HistoryDb::StoreGroup(const std::vector<HistoryRow>& rows, std::string* error) {
  std::string why;
  if (!Ready(&why)) {
    if (error) *error = why;
    return SQLITE_BUSY;
  }
  // Taken on only once the group is in: a group that fails was never stored.
  LastRows last = stored_last_;
  int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  for (std::size_t i = 0; rc == SQLITE_OK && i < rows.size(); ++i) {
    const HistoryRow& row = rows[i];
    const std::int64_t ms = row.time_ms;
    const auto prev = last.try_emplace(std::make_pair(row.data_id, row.device_type));
    const int level = ChartLevel(prev.second ? nullptr : &prev.first->second.ms, ms);
    const std::string time = FormatUtcMs(ms);
    sqlite3_bind_int64(insert_, 1, static_cast<sqlite3_int64>(row.data_id));
    sqlite3_bind_text(insert_, 2, row.device_type.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_int(insert_, 3, row.record_type);
    sqlite3_bind_text(insert_, 4, time.c_str(), -1, SQLITE_STATIC);
    // A zero-length blob is still a blob, never NULL.
    if (row.data.empty()) {
      sqlite3_bind_zeroblob(insert_, 5, 0);
    } else {
      sqlite3_bind_blob(insert_, 5, row.data.data(), static_cast<int>(row.data.size()),
                        SQLITE_STATIC);
    }
    sqlite3_bind_int64(insert_, 6, static_cast<sqlite3_int64>(ms));
    sqlite3_bind_int(insert_, 7, level);
    rc = sqlite3_step(insert_);
    prev.first->second = LastRow{ms, sqlite3_last_insert_rowid(db_)};
    if (rc == SQLITE_DONE) rc = SQLITE_OK;
    sqlite3_reset(insert_);  // ready for the next row, also after a failed one
    sqlite3_clear_bindings(insert_);
  }
  if (rc == SQLITE_OK) rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) {
    stored_last_.swap(last);
    return rc;
  }
  if (error) *error = sqlite3_errmsg(db_);
  if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  return Seen(rc);
}

void HistoryDb::Store(std::uint32_t data_id, const std::string& device_type, int record_type,
                      const unsigned char* data, unsigned int len) {
  std::vector<HistoryRow> one(1);
  one[0].data_id = data_id;
  one[0].device_type = device_type;
  one[0].record_type = record_type;
  one[0].time_ms = NowUtcMs();
  one[0].data.assign(data, data + len);
  std::string error;
  if (StoreGroup(one, &error) != SQLITE_OK)
    throw HistoryError("history database " + path_ + ": cannot store a record: " + error);
}

boost::optional<HistoryRow> HistoryDb::Latest(std::uint32_t data_id,
                                              const std::string& device_type) {
  sqlite3_reset(latest_);
  sqlite3_bind_int64(latest_, 1, static_cast<sqlite3_int64>(data_id));
  sqlite3_bind_text(latest_, 2, device_type.c_str(), -1, SQLITE_TRANSIENT);
  const int rc = sqlite3_step(latest_);
  boost::optional<HistoryRow> out;
  if (rc == SQLITE_ROW) {
    const auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(latest_, 0));
    const int n = sqlite3_column_bytes(latest_, 0);
    const auto* t = sqlite3_column_text(latest_, 1);
    HistoryRow rec;
    rec.data_id = data_id;
    rec.device_type = device_type;
    rec.data.assign(p, p + (p ? n : 0));
    rec.time = t ? reinterpret_cast<const char*>(t) : "";
    if (sqlite3_column_type(latest_, 2) != SQLITE_NULL) {
      rec.time_ms = sqlite3_column_int64(latest_, 2);
    } else {
      // Not filled yet: the text says the same.
      const auto parsed = ParseStoredTimeMs(rec.time);
      rec.time_ms = parsed ? *parsed : 0;
    }
    out = std::move(rec);
  } else if (rc != SQLITE_DONE) {
    Seen(rc);
    sqlite3_reset(latest_);
    Fail("cannot read the history");
  }
  sqlite3_reset(latest_);
  return out;
}

}  // namespace controller
