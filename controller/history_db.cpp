#include "controller/history_db.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <ctime>

namespace host {

namespace {

constexpr int kBusyTimeoutMs = 2000;

constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS history ("
    " id INTEGER PRIMARY KEY,"
    " data_id INTEGER NOT NULL,"
    " device_type TEXT NOT NULL,"
    " record_type INTEGER NOT NULL,"
    " time TEXT NOT NULL,"
    " data BLOB NOT NULL);"
    "CREATE INDEX IF NOT EXISTS history_device ON history(data_id, device_type, id);";

constexpr char kInsert[] =
    "INSERT INTO history(data_id, device_type, record_type, time, data) VALUES(?, ?, ?, ?, ?)";

constexpr char kLatest[] =
    "SELECT data, time FROM history WHERE data_id = ? AND device_type = ? ORDER BY id DESC LIMIT 1";

}  // namespace

std::string UtcTimestamp() {
  const auto now = std::chrono::system_clock::now();
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  const std::time_t secs = std::chrono::system_clock::to_time_t(now);
  std::tm tm{};
  ::gmtime_r(&secs, &tm);
  char date[32];
  std::strftime(date, sizeof(date), "%Y-%m-%dT%H:%M:%S", &tm);
  char frac[8];
  std::snprintf(frac, sizeof(frac), ".%03dZ", static_cast<int>(ms));
  return std::string(date) + frac;
}

boost::optional<std::int64_t> ParseUtcTimestamp(const std::string& text) {
  static const char kShape[] = "dddd-dd-ddTdd:dd:dd";
  const std::size_t n = sizeof(kShape) - 1;
  if (text.size() < n) return boost::none;
  for (std::size_t i = 0; i < n; ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return boost::none;
  }
  const auto num = [&](std::size_t at, std::size_t len) {
    int v = 0;
    for (std::size_t i = at; i < at + len; ++i) v = v * 10 + (text[i] - '0');
    return v;
  };
  const int y = num(0, 4), mo = num(5, 2), d = num(8, 2);
  const int h = num(11, 2), mi = num(14, 2), sec = num(17, 2);
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 60) return boost::none;
  // Days from the civil date (proleptic Gregorian), so no time zone or 32-bit
  // time_t is involved.
  const std::int64_t yy = y - (mo <= 2 ? 1 : 0);
  const std::int64_t era = (yy >= 0 ? yy : yy - 399) / 400;
  const std::int64_t yoe = yy - era * 400;
  const std::int64_t doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const std::int64_t days = era * 146097 + doe - 719468;
  return days * 86400 + h * 3600 + mi * 60 + sec;
}

HistoryDb::HistoryDb(const std::string& path) : path_(path) {
  const int rc =
      sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  try {
    if (rc != SQLITE_OK) Fail("cannot open");
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    // SQLite silently falls back to read-only for a write-protected file.
    if (sqlite3_db_readonly(db_, "main") == 1) Fail("cannot write");
    // WAL keeps each committed record on disk without rewriting the file.
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=FULL");
    Exec(kSchema);
    Exec("BEGIN IMMEDIATE; COMMIT");  // proves the write lock can be taken
    if (sqlite3_prepare_v2(db_, kInsert, -1, &insert_, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db_, kLatest, -1, &latest_, nullptr) != SQLITE_OK)
      Fail("has an unexpected history table");
  } catch (...) {
    sqlite3_finalize(insert_);
    sqlite3_close(db_);
    throw;
  }
}

HistoryDb::~HistoryDb() {
  sqlite3_finalize(insert_);
  sqlite3_finalize(latest_);
  sqlite3_close(db_);
}

void HistoryDb::Fail(const std::string& what) const {
  const char* msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
  throw HistoryError("history database " + path_ + ": " + what + ": " + msg);
}

void HistoryDb::Exec(const char* sql) {
  char* err = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
    const std::string msg = err ? err : "unknown error";
    sqlite3_free(err);
    throw HistoryError("history database " + path_ + ": cannot write: " + msg);
  }
}

void HistoryDb::Store(std::uint32_t data_id, const std::string& device_type, int record_type,
                      const unsigned char* data, unsigned int len) {
  const std::string time = UtcTimestamp();
  sqlite3_reset(insert_);
  sqlite3_clear_bindings(insert_);
  sqlite3_bind_int64(insert_, 1, static_cast<sqlite3_int64>(data_id));
  sqlite3_bind_text(insert_, 2, device_type.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int(insert_, 3, record_type);
  sqlite3_bind_text(insert_, 4, time.c_str(), -1, SQLITE_TRANSIENT);
  // A zero-length blob is still a blob, never NULL.
  if (len == 0) {
    sqlite3_bind_zeroblob(insert_, 5, 0);
  } else {
    sqlite3_bind_blob(insert_, 5, data, static_cast<int>(len), SQLITE_TRANSIENT);
  }
  const int rc = sqlite3_step(insert_);
  sqlite3_reset(insert_);
  if (rc != SQLITE_DONE) Fail("cannot store a record");
}

boost::optional<StoredRecord> HistoryDb::Latest(std::uint32_t data_id,
                                                const std::string& device_type) {
  sqlite3_reset(latest_);
  sqlite3_bind_int64(latest_, 1, static_cast<sqlite3_int64>(data_id));
  sqlite3_bind_text(latest_, 2, device_type.c_str(), -1, SQLITE_TRANSIENT);
  const int rc = sqlite3_step(latest_);
  boost::optional<StoredRecord> out;
  if (rc == SQLITE_ROW) {
    const auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(latest_, 0));
    const int n = sqlite3_column_bytes(latest_, 0);
    const auto* t = sqlite3_column_text(latest_, 1);
    out = StoredRecord{Bytes(p, p + (p ? n : 0)), t ? reinterpret_cast<const char*>(t) : ""};
  } else if (rc != SQLITE_DONE) {
    sqlite3_reset(latest_);
    Fail("cannot read the history");
  }
  sqlite3_reset(latest_);
  return out;
}

}  // namespace host
