#include "controller/http/http_history.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <mutex>

#include "controller/common/decimal.h"
#include "controller/common/iso_time.h"
#include "controller/history/history_db.h"

namespace controller {

namespace {

constexpr int kBusyTimeoutMs = 2000;
// Room for the pages of a week chart (two per point, about 8 MiB on a week of
// 1 s records) to stay cached from one answer to the next; taken as used.
constexpr char kCacheSize[] = "PRAGMA cache_size=-16384";

// Rows of a device in time order through the (data_id, time_ms) index;
// rows stored at the same time keep their storing order. Rows whose
// time_ms is not yet filled in are not found.
constexpr char kRange[] =
    "SELECT time, record_type, data, time_ms FROM history WHERE data_id = ?1 AND "
    "device_type = ?2 AND time_ms >= ?3 AND time_ms <= ?4 ORDER BY time_ms, id LIMIT ?5";

// A chart reads the rows of the coarsest level its step is a multiple of,
// along that level's index; it seeks instead when a step spans more of them.
constexpr std::int64_t kChartRowsPerStepToScan = 16;

std::string ChartSql(int level) {
  return "SELECT time, record_type, data, time_ms FROM history INDEXED BY " +
         ChartIndexName(level) +
         " WHERE data_id = ?1 AND device_type = ?2 AND chart_level >= " + std::to_string(level) +
         " AND time_ms >= ?3 AND time_ms <= ?4 ORDER BY time_ms, id";
}

// Levels are only to be trusted once every row has one.
const std::string& AllLevelledSql() {
  static const std::string sql = "SELECT NOT EXISTS(SELECT 1 FROM history INDEXED BY " +
                                 std::string(kUnlevelledIndex) + " WHERE chart_level IS NULL)";
  return sql;
}

int LevelFor(std::int64_t step_ms) {
  for (int level = kChartLevels; level > 0; --level)
    if (step_ms % kChartGrainsMs[level - 1] == 0) return level;
  return 0;
}

const std::string* Single(const QueryParams& params, const char* name) {
  const auto it = params.find(name);
  return it == params.end() ? nullptr : &it->second;
}

// A whole decimal number in [min, max]; none of strtol's leniency (sign,
// blanks, trailing text).
long ParseCount(const std::string& text, const char* name, long min, long max) {
  // Digits beyond any count's range are capped like a large count.
  const bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
  const long long v = digits ? ParseDecimal<long long>(text).value_or(LLONG_MAX) : -1;
  if (!digits || v < min)
    throw BadRequest(std::string("parameter \"") + name + "\" must be a whole number of at least " +
                     std::to_string(min));
  return v > max ? max : static_cast<long>(v);
}

// Any year is read, so that a time before 1970 is named as such.
std::int64_t ParseTime(const std::string& text, const char* name) {
  const auto ms = ParseIsoMs(text);
  if (!ms)
    throw BadRequest(std::string("parameter \"") + name +
                     "\" must be an ISO 8601 time such as 2026-12-07T10:00:00Z, not \"" + text +
                     "\"");
  if (*ms < 0)
    throw BadRequest(std::string("parameter \"") + name + "\" is before 1970, where the history " +
                     "begins: \"" + text + "\"");
  return *ms;
}

// One read-only connection kept from answer to answer, so that a chart asked
// for again finds its pages in SQLite's cache instead of reading each from the
// file system; answers take turns on it. Reopened when the path names
// another file (the history was deleted or replaced).
struct SharedReader {
  std::mutex mu;
  std::string path;
  std::uint64_t dev = 0;
  std::uint64_t ino = 0;
  std::uint64_t shm = 0;  // the shared memory it shares with the writer
  sqlite3* db = nullptr;
  ~SharedReader() { sqlite3_close(db); }
};

SharedReader& Reader() {
  static SharedReader reader;
  return reader;
}

// The statements of one answer on the shared connection, finalized (and its
// read transaction ended) when the answer is done, so the writer's
// checkpoints are never held back between answers.
class Connection {
 public:
  Connection(SharedReader& reader, const std::string& path) : path_(path) {
    struct stat st {};
    struct stat shm {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    const bool has_shm = ::stat((path + "-shm").c_str(), &shm) == 0;
    if (reader.db &&
        (!exists || reader.path != path || reader.dev != static_cast<std::uint64_t>(st.st_dev) ||
         reader.ino != static_cast<std::uint64_t>(st.st_ino) ||
         (reader.shm != 0 && (!has_shm || reader.shm != static_cast<std::uint64_t>(shm.st_ino))))) {
      sqlite3_close(reader.db);
      reader.db = nullptr;
    }
    // A log deleted under the writer: a connection opened now would make SQLite
    // forget what it holds before the writer has saved it.
    if (!reader.db && has_shm && ::access((path + "-wal").c_str(), F_OK) != 0)
      throw HistoryError("history database " + path +
                         ": its log was deleted; the history is being saved, try again");
    if (!reader.db) {
      // Answers take turns on it (mu), so SQLite's own locking is not needed.
      if (sqlite3_open_v2(path.c_str(), &reader.db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                          nullptr) != SQLITE_OK) {
        // A failed open still hands out a handle.
        const std::string why = reader.db ? sqlite3_errmsg(reader.db) : "out of memory";
        sqlite3_close(reader.db);
        reader.db = nullptr;
        throw HistoryError("history database " + path + ": cannot open: " + why);
      }
      sqlite3_busy_timeout(reader.db, kBusyTimeoutMs);
      sqlite3_exec(reader.db, kCacheSize, nullptr, nullptr, nullptr);
      reader.path = path;
      reader.dev = static_cast<std::uint64_t>(st.st_dev);
      reader.ino = static_cast<std::uint64_t>(st.st_ino);
      reader.shm = has_shm ? static_cast<std::uint64_t>(shm.st_ino) : 0;
    }
    db_ = reader.db;
  }
  ~Connection() {
    for (sqlite3_stmt* s : stmts_) sqlite3_finalize(s);
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  sqlite3_stmt* Prepare(const char* sql, const HistoryRequest& req) {
    sqlite3_stmt* s = TryPrepare(sql);
    if (!s) Fail("cannot read");
    sqlite3_bind_int64(s, 1, static_cast<sqlite3_int64>(req.data_id));
    sqlite3_bind_text(s, 2, req.device_type.c_str(), -1, SQLITE_TRANSIENT);
    return s;
  }
  // Null when the file lacks what the statement needs.
  sqlite3_stmt* TryPrepare(const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK) {
      sqlite3_finalize(s);
      return nullptr;
    }
    stmts_.push_back(s);
    return s;
  }
  // The chart rows of a level, or null while some row has no level yet.
  sqlite3_stmt* PrepareChart(int level, const HistoryRequest& req) {
    sqlite3_stmt* all = level > 0 ? TryPrepare(AllLevelledSql().c_str()) : nullptr;
    if (!all || Step(all) != SQLITE_ROW || sqlite3_column_int(all, 0) == 0) return nullptr;
    sqlite3_stmt* s = TryPrepare(ChartSql(level).c_str());
    if (s) {
      sqlite3_bind_int64(s, 1, static_cast<sqlite3_int64>(req.data_id));
      sqlite3_bind_text(s, 2, req.device_type.c_str(), -1, SQLITE_TRANSIENT);
    }
    return s;
  }
  // SQLITE_ROW or SQLITE_DONE; anything else is a failure.
  int Step(sqlite3_stmt* s) {
    const int rc = sqlite3_step(s);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) Fail("cannot read");
    return rc;
  }
  void Exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail("cannot read");
  }
  [[noreturn]] void Fail(const char* what) {
    throw HistoryError("history database " + path_ + ": " + what + ": " + sqlite3_errmsg(db_));
  }

 private:
  std::string path_;
  sqlite3* db_ = nullptr;
  std::vector<sqlite3_stmt*> stmts_;
};

std::string ColumnText(sqlite3_stmt* s, int col) {
  const unsigned char* p = sqlite3_column_text(s, col);
  return p ? std::string(reinterpret_cast<const char*>(p),
                         static_cast<std::size_t>(sqlite3_column_bytes(s, col)))
           : std::string();
}

}  // namespace

void CheckParamNames(const QueryParams& params, std::initializer_list<const char*> allowed) {
  for (auto it = params.begin(); it != params.end(); it = params.upper_bound(it->first)) {
    bool known = false;
    for (const char* name : allowed) known = known || it->first == name;
    if (!known) throw BadRequest("unknown parameter \"" + it->first + "\"");
    if (params.count(it->first) > 1)
      throw BadRequest("parameter \"" + it->first + "\" is given more than once");
  }
}

HistoryRequest ParseHistoryRequest(const QueryParams& params, const StatusBoard& board,
                                   std::int64_t now_ms) {
  CheckParamNames(params, {"device", "from", "to", "limit", "step", "format"});
  HistoryRequest req;
  const std::string* device = Single(params, "device");
  if (!device || device->empty()) throw BadRequest("parameter \"device\" is required");
  const auto status = board.Find(*device);
  if (!status) throw BadRequest("unknown device \"" + *device + "\"");
  req.device = *device;
  req.data_id = status->data_id;
  req.device_type = status->type;

  const std::string* from = Single(params, "from");
  const std::string* to = Single(params, "to");
  req.to_ms = to ? ParseTime(*to, "to") : now_ms;
  req.from_ms = from ? ParseTime(*from, "from") : req.to_ms - kDefaultHistoryWindowMs;
  if (req.from_ms < 0) req.from_ms = 0;
  if (req.from_ms > req.to_ms) throw BadRequest("\"from\" is later than \"to\"");

  if (const std::string* limit = Single(params, "limit"))
    req.limit = static_cast<std::size_t>(
        ParseCount(*limit, "limit", 1, static_cast<long>(kMaxHistoryLimit)));
  if (const std::string* step = Single(params, "step")) {
    req.step_s = ParseCount(*step, "step", 0, kMaxHistoryStepS + 1);
    if (req.step_s > kMaxHistoryStepS)
      throw BadRequest("parameter \"step\" must be at most " + std::to_string(kMaxHistoryStepS));
  }
  if (const std::string* format = Single(params, "format")) {
    if (*format == "csv") {
      req.csv = true;
    } else if (*format != "json") {
      throw BadRequest("parameter \"format\" must be json or csv, not \"" + *format + "\"");
    }
  }
  return req;
}

HistoryPage ReadHistory(const std::string& db_path, const HistoryRequest& req) {
  HistoryPage page;
  const std::int64_t step_ms = static_cast<std::int64_t>(req.step_s) * 1000;
  const std::size_t expected =
      step_ms == 0 ? kDefaultHistoryLimit
                   : static_cast<std::size_t>(std::min<std::int64_t>(
                         (req.to_ms - req.from_ms) / step_ms + 2, kMaxHistoryLimit));
  page.rows.reserve(std::min(req.limit, expected));
  SharedReader& reader = Reader();
  std::lock_guard<std::mutex> lock(reader.mu);
  Connection db(reader, db_path);
  sqlite3_stmt* scan = db.Prepare(kRange, req);
  sqlite3_bind_int64(scan, 4, req.to_ms);
  const auto take = [&](sqlite3_stmt* s) {
    HistoryRow row;
    row.time = ColumnText(s, 0);
    row.record_type = sqlite3_column_int(s, 1);
    const auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(s, 2));
    if (p) row.data.assign(p, p + sqlite3_column_bytes(s, 2));
    page.rows.push_back(std::move(row));
  };
  if (step_ms == 0) {
    // One more than asked for tells whether the range holds further rows.
    sqlite3_bind_int64(scan, 3, req.from_ms);
    sqlite3_bind_int64(scan, 5, static_cast<sqlite3_int64>(req.limit) + 1);
    while (db.Step(scan) == SQLITE_ROW) {
      if (page.rows.size() == req.limit) {
        page.more = true;
        break;
      }
      take(scan);
    }
    return page;
  }
  // The first row at or after the start of each step, all in one read
  // transaction rather than one each. The first is sought through the time
  // index, as its step may start anywhere; the others start at whole steps,
  // where the first row is one of the chart level's (if every row has one).
  db.Exec("BEGIN");
  sqlite3_bind_int64(scan, 5, 1);
  const int level = LevelFor(step_ms);
  sqlite3_stmt* chart = db.PrepareChart(level, req);
  const bool seek_chart =
      chart && step_ms / kChartGrainsMs[level > 0 ? level - 1 : 0] > kChartRowsPerStepToScan;
  bool chart_started = false;
  std::int64_t from = req.from_ms;
  while (from <= req.to_ms) {
    sqlite3_stmt* s = scan;
    if (!chart || page.rows.empty()) {
      sqlite3_reset(scan);
      sqlite3_bind_int64(scan, 3, from);
      if (db.Step(scan) != SQLITE_ROW) break;
    } else {
      s = chart;
      if (!chart_started || seek_chart) {
        sqlite3_reset(chart);
        sqlite3_bind_int64(chart, 3, from);
        sqlite3_bind_int64(chart, 4, req.to_ms);
        chart_started = true;
      }
      int rc = SQLITE_ROW;
      while ((rc = db.Step(chart)) == SQLITE_ROW && sqlite3_column_int64(chart, 3) < from) {
      }
      if (rc != SQLITE_ROW) break;
    }
    if (page.rows.size() == req.limit) {
      page.more = true;
      break;
    }
    take(s);
    const std::int64_t at = sqlite3_column_int64(s, 3);
    from = (at / step_ms + 1) * step_ms;
  }
  return page;
}

}  // namespace controller
