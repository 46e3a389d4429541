#include "controller/history/history_reader.h"

#include <algorithm>
#include <mutex>
#include <optional>

#include "controller/history/history_connection.h"
#include "controller/history/history_day_cache.h"
#include "controller/history/history_file.h"
#include "controller/history/history_schema.h"
#include "controller/history/history_sql.h"

namespace controller {

namespace {

constexpr int kBusyTimeoutMs = 2000;
// A chart reads the rows of the coarsest level its step is a multiple of,
// along that level's index; it seeks instead when a step spans more of them.
constexpr std::int64_t kChartRowsPerStepToScan = 16;

// One read-only connection kept from answer to answer, so that a chart asked
// for again finds its pages in SQLite's cache instead of reading each from the
// file system; answers take turns on it (mu). Reopened when the path names
// other files than it opened: the history or its log deleted or replaced.
struct SharedReader {
  std::mutex mu;
  std::string path;
  FileIdentity files;
  Connection db;
  DayCache days;  // of the file db has open

  sqlite3* For(const std::string& at) {
    const FileIdentity now = FileIdentity::At(at);
    if (db.ok() && (at != path || !files.SameFile(now) || !files.SameLogs(now))) db.Close();
    if (!db.ok()) days.Clear();
    if (db.ok()) return db.get();
    // A log deleted under the writer: a connection opened now would make SQLite
    // forget what it holds before the writer has saved it.
    if (now.shm() != 0 && now.wal() == 0)
      throw HistoryError("history database " + at +
                         ": its log was deleted; the history is being saved, try again");
    // Answers take turns on it, so SQLite's own locking is not needed.
    db = Connection(at, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX);
    if (!db.ok()) {
      const std::string why = db.reason();
      db.Close();
      throw HistoryError("history database " + at + ": cannot open: " + why);
    }
    sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
    Exec(db.get(), sql::kReaderCache);
    path = at;
    files = now;
    return db.get();
  }
};

SharedReader& Shared() {
  static SharedReader reader;
  return reader;
}

// One answer on the shared connection. Its statements are finalized and its
// read transaction ended when the answer is done, so the writer's checkpoints
// are never held back between answers.
class Answer {
 public:
  Answer(sqlite3* db, const std::string& path, const HistoryRange& range)
      : db_(db), path_(path), range_(range) {}

  // A statement of the device's rows (parameters 1 and 2 bound).
  Statement Rows(const char* sql) {
    Statement s(db_, sql);
    if (!s) Fail();
    s.Bind(1, range_.data_id).Bind(2, range_.device_type);
    return s;
  }
  // The chart rows of a level; empty while some row has no level yet, or
  // when the file lacks the level's index.
  Statement Chart(int level) {
    if (level == 0) return Statement();
    Statement all(db_, sql::kAllLevelled);
    if (!all || Step(all) != SQLITE_ROW || all.Int(0) == 0) return Statement();
    Statement s(db_, sql::ChartRange(level));
    if (s) s.Bind(1, range_.data_id).Bind(2, range_.device_type);
    return s;
  }
  // SQLITE_ROW or SQLITE_DONE; anything else is a failure.
  int Step(Statement& s) {
    const int rc = s.Step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) Fail();
    return rc;
  }
  sqlite3* db() const { return db_; }
  [[noreturn]] void Fail() const {
    throw HistoryError("history database " + path_ + ": cannot read: " + sqlite3_errmsg(db_));
  }

 private:
  sqlite3* db_;
  const std::string& path_;
  const HistoryRange& range_;
};

void Take(const Statement& s, HistoryPage* page) {
  HistoryRow row;
  row.time = s.Text(0);
  row.record_type = static_cast<int>(s.Int(1));
  row.data = s.Blob(2);
  row.time_ms = s.Int(3);
  page->rows.push_back(std::move(row));
}

// The first row at or after the start of each step. The first is sought through the time
// index, as its step may start anywhere; the others start at whole steps,
// where the first row is one of the chart level's (if every row has one).
void ReadSteps(Answer& db, Statement& scan, const HistoryRange& range, HistoryPage* page) {
  const std::int64_t step_ms = static_cast<std::int64_t>(range.step_s) * 1000;
  scan.Bind(5, 1);
  const int level = LevelFor(step_ms);
  Statement chart = db.Chart(level);
  const bool seek_chart =
      chart && step_ms / kChartGrainsMs[level > 0 ? level - 1 : 0] > kChartRowsPerStepToScan;
  bool chart_started = false;
  std::int64_t from = range.from_ms;
  while (from <= range.to_ms) {
    Statement* s = &scan;
    if (!chart || page->rows.empty()) {
      scan.Reset().Bind(3, from);
      if (db.Step(scan) != SQLITE_ROW) break;
    } else {
      s = &chart;
      if (!chart_started || seek_chart) {
        chart.Reset().Bind(3, from).Bind(4, range.to_ms);
        chart_started = true;
      }
      int rc = SQLITE_ROW;
      while ((rc = db.Step(chart)) == SQLITE_ROW && chart.Int(3) < from) {
      }
      if (rc != SQLITE_ROW) break;
    }
    if (page->rows.size() == range.limit) {
      page->more = true;
      break;
    }
    Take(*s, page);
    from = (s->Int(3) / step_ms + 1) * step_ms;
  }
}

}  // namespace

HistoryPage ReadHistory(const std::string& db_path, const FieldTable& fields,
                        const HistoryRange& range) {
  HistoryPage page;
  const std::int64_t step_ms = static_cast<std::int64_t>(range.step_s) * 1000;
  if (step_ms != 0 && !fields)
    throw HistoryError("history database " + db_path + ": no rollup fields to sum up steps by");
  const std::size_t expected =
      step_ms == 0 ? kDefaultHistoryLimit
                   : static_cast<std::size_t>(std::min<std::int64_t>(
                         (range.to_ms - range.from_ms) / step_ms + 2, kMaxHistoryLimit));
  page.rows.reserve(std::min(range.limit, expected));
  SharedReader& shared = Shared();
  std::lock_guard<std::mutex> lock(shared.mu);
  Answer db(shared.For(db_path), db_path, range);
  // A step's points in one read transaction rather than one each, ended after
  // the statements.
  std::optional<Transaction> read;
  if (step_ms != 0 && !read.emplace(db.db(), Transaction::kRead).ok()) db.Fail();
  Statement scan = db.Rows(sql::kRange);
  scan.Bind(4, range.to_ms);
  if (step_ms == 0) {
    // One more than asked for tells whether the range holds further rows.
    scan.Bind(3, range.from_ms).Bind(5, static_cast<std::int64_t>(range.limit) + 1);
    while (db.Step(scan) == SQLITE_ROW) {
      if (page.rows.size() == range.limit) {
        page.more = true;
        break;
      }
      Take(scan, &page);
    }
    return page;
  }
  ReadSteps(db, scan, range, &page);
  shared.days.Use(fields);
  ReadSlices(db.db(), db_path, *fields, range, &page, &shared.days);
  return page;
}

std::vector<LoggedRow> ReadLog(const std::string& db_path, const LogRange& range) {
  std::vector<LoggedRow> out;
  SharedReader& shared = Shared();
  std::lock_guard<std::mutex> lock(shared.mu);
  sqlite3* db = shared.For(db_path);
  // A log not yet taken over by this version has no counts, or no table:
  // nothing was logged.
  Statement s(db, sql::ReadLog(true));
  if (!s && sqlite3_errmsg(db) == std::string("no such column: count"))
    s = Statement(db, sql::ReadLog(false));
  if (!s) {
    if (sqlite3_errmsg(db) == std::string("no such table: event_log")) return out;
    throw HistoryError("history database " + db_path + ": cannot read: " + sqlite3_errmsg(db));
  }
  s.Bind(1, range.from_ms).Bind(2, range.to_ms).Bind(3, static_cast<std::int64_t>(range.limit));
  if (!range.device.empty()) s.Bind(4, range.device);
  int rc = SQLITE_ROW;
  while ((rc = s.Step()) == SQLITE_ROW) out.push_back(LoggedRow{s.Text(0), s.Int(1), s.Int(2)});
  if (rc != SQLITE_DONE)
    throw HistoryError("history database " + db_path + ": cannot read: " + sqlite3_errmsg(db));
  std::reverse(out.begin(), out.end());  // read newest first, so limit keeps the newest
  return out;
}

}  // namespace controller
