// What /api/history costs on a week of 1 s records of one device (604,800
// rows), in a file of the older schema taken over first (the file's size per
// record is reported as bytes_per_record), against SQLite alone
// reading the newest 1,000 rows by rowid from the same file in the same run.
//   build-bench/bench/history_bench [--benchmark_repetitions=5]
// The file is made in a temporary folder (about 90 MB) and removed at the end;
// the Render cases (the answer's text from rows already read) need no file.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "controller/app/zota_rollup_fields.h"
#include "controller/common/iso_time.h"
#include "controller/history/history_db.h"
#include "controller/http/http_history.h"
#include "drivers/zota_up2200/zota_up2200_fields.h"

namespace {

constexpr int kWeekS = 7 * 86400;
constexpr char kStart[] = "2026-11-30T00:00:00";
constexpr std::uint32_t kDataId = 1001;
constexpr char kType[] = "zota_up2200";

// Without bounds, so that the week stays whole.
controller::HistoryOptions Unbounded() {
  return {controller::HistoryLimits{0, 0, 0}, controller::ZotaRollupFields()};
}

struct WeekFile {
  std::string dir;
  std::string path;
  std::int64_t start_ms = 0;
  std::int64_t end_ms = 0;
  double takeover_s = 0.0;
  double bytes_per_record = 0.0;

  WeekFile() {
    char tmpl[] = "/tmp/zota-history-bench-XXXXXX";
    dir = ::mkdtemp(tmpl);
    path = dir + "/week.db";
    start_ms = *controller::ParseUtcMs(std::string(kStart) + "Z");
    end_ms = start_ms + (kWeekS - 1) * 1000LL;
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    // The schema before time_ms, one row a second, a real record each.
    const std::string fill =
        "PRAGMA journal_mode=WAL;"
        "CREATE TABLE history (id INTEGER PRIMARY KEY, data_id INTEGER NOT NULL, device_type "
        "TEXT NOT NULL, record_type INTEGER NOT NULL, time TEXT NOT NULL, data BLOB NOT NULL);"
        "CREATE INDEX history_device ON history(data_id, device_type, id);"
        "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < " +
        std::to_string(kWeekS - 1) +
        ") INSERT INTO history(data_id, device_type, record_type, time, data) SELECT " +
        std::to_string(kDataId) + ", '" + kType + "', 5035, strftime('%Y-%m-%dT%H:%M:%fZ', '" +
        kStart +
        "', '+' || i || ' seconds'), x'E9030000FC08F708FC085401F401CC000E0109EA070C07141E2C' "
        "FROM n;";
    sqlite3_exec(db, fill.c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
    const auto t0 = std::chrono::steady_clock::now();
    {
      controller::HistoryDb take(path, Unbounded());
      controller::Removal none;
      while (take.Upkeep(&none)) {
      }
    }
    takeover_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    // The last connection closed has checkpointed the log into the file.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) bytes_per_record = static_cast<double>(st.st_size) / kWeekS;
  }
  ~WeekFile() {
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
    ::rmdir(dir.c_str());
  }
};

WeekFile& Week() {
  static WeekFile week;
  return week;
}

controller::HistoryRequest Request(std::int64_t from_ms, std::int64_t to_ms, long step_s,
                                   std::size_t limit) {
  controller::HistoryRequest req;
  req.device = "ups1";
  req.data_id = kDataId;
  req.device_type = kType;
  req.from_ms = from_ms;
  req.to_ms = to_ms;
  req.step_s = step_s;
  req.limit = limit;
  return req;
}

// A whole answer as served: a connection of its own, the rows, the JSON.
void Serve(benchmark::State& state, const controller::HistoryRequest& req) {
  std::size_t rows = 0;
  std::size_t bytes = 0;
  for (auto _ : state) {
    const controller::HistoryPage page =
        controller::ReadHistory(Week().path, controller::ZotaRollupFields(), req);
    const std::string json = controller::HistoryJson(req, page);
    rows = page.rows.size();
    bytes = json.size();
    benchmark::DoNotOptimize(json.data());
  }
  state.counters["rows"] = static_cast<double>(rows);
  state.counters["bytes"] = static_cast<double>(bytes);
  state.counters["takeover_s"] = Week().takeover_s;
  state.counters["bytes_per_record"] = Week().bytes_per_record;
}

// The baseline: SQLite reading the newest 1,000 rows by rowid, each column
// touched, on a connection opened once.
void BM_SqliteNewest1000(benchmark::State& state) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(Week().path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db,
                     "SELECT time, record_type, data FROM history WHERE rowid > "
                     "(SELECT MAX(rowid) FROM history) - 1000 ORDER BY rowid",
                     -1, &st, nullptr);
  std::size_t rows = 0;
  for (auto _ : state) {
    sqlite3_reset(st);
    rows = 0;
    while (sqlite3_step(st) == SQLITE_ROW) {
      benchmark::DoNotOptimize(sqlite3_column_text(st, 0));
      benchmark::DoNotOptimize(sqlite3_column_int(st, 1));
      benchmark::DoNotOptimize(sqlite3_column_blob(st, 2));
      ++rows;
    }
  }
  state.counters["rows"] = static_cast<double>(rows);
  sqlite3_finalize(st);
  sqlite3_close(db);
}
BENCHMARK(BM_SqliteNewest1000)->Unit(benchmark::kMicrosecond);

void BM_PlainNewest1000(benchmark::State& state) {
  Serve(state, Request(Week().end_ms - 999 * 1000, Week().end_ms, 0, 1000));
}
BENCHMARK(BM_PlainNewest1000)->Unit(benchmark::kMicrosecond);

// The week chart: one record per 600 s, 1,008 points.
void BM_WeekStep600(benchmark::State& state) {
  Serve(state, Request(Week().start_ms, Week().end_ms, 600, controller::kMaxHistoryLimit));
}
BENCHMARK(BM_WeekStep600)->Unit(benchmark::kMicrosecond);

// The status page's week view: one record per 180 s, 3,360 points.
void BM_PageWeekStep180(benchmark::State& state) {
  Serve(state, Request(Week().start_ms, Week().end_ms, 180, controller::kMaxHistoryLimit));
}
BENCHMARK(BM_PageWeekStep180)->Unit(benchmark::kMicrosecond);

// A step that is no whole number of minutes: one seek per point.
void BM_WeekStep599(benchmark::State& state) {
  Serve(state, Request(Week().start_ms, Week().end_ms, 599, controller::kMaxHistoryLimit));
}
BENCHMARK(BM_WeekStep599)->Unit(benchmark::kMicrosecond);

// The day chart: one record per 60 s, 1,440 points.
void BM_DayStep60(benchmark::State& state) {
  Serve(state, Request(Week().end_ms - 86400 * 1000LL + 1000, Week().end_ms, 60,
                       controller::kMaxHistoryLimit));
}
BENCHMARK(BM_DayStep60)->Unit(benchmark::kMicrosecond);

// The week chart against the plain answer, one of each in turn, so that the
// machine's drift during a run weighs on both alike.
void BM_WeekAgainstPlain(benchmark::State& state) {
  const controller::HistoryRequest plain =
      Request(Week().end_ms - 999 * 1000, Week().end_ms, 0, 1000);
  const controller::HistoryRequest week =
      Request(Week().start_ms, Week().end_ms, 600, controller::kMaxHistoryLimit);
  const auto serve = [](const controller::HistoryRequest& req) {
    const auto t0 = std::chrono::steady_clock::now();
    const std::string json = controller::HistoryJson(
        req, controller::ReadHistory(Week().path, controller::ZotaRollupFields(), req));
    benchmark::DoNotOptimize(json.data());
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
  };
  double plain_us = 0.0;
  double week_us = 0.0;
  for (auto _ : state) {
    plain_us += serve(plain);
    week_us += serve(week);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["plain_us"] = plain_us / n;
  state.counters["week_us"] = week_us / n;
  state.counters["week_per_plain"] = week_us / plain_us;
}
BENCHMARK(BM_WeekAgainstPlain)->Unit(benchmark::kMicrosecond);

// Ten years of day rollups before the week, as retention leaves them once
// records and finer rollups are gone: made once, with the week's own days.
void AddDecade() {
  static bool done = false;
  if (done) return;
  done = true;
  sqlite3* db = nullptr;
  sqlite3_open(Week().path.c_str(), &db);
  std::string cols = "data_id, bucket_ms, rows, first_ms, first_id";
  std::string vals = std::to_string(kDataId) + ", b, 86400, b, 0";
  for (const char* part : {"_min", "_max", "_sum"}) {
    for (const zota::Measurement& m : zota::kMeasurements) {
      cols += std::string(", ") + m.key + part;
      vals += std::string(part) == "_sum" ? ", 198720000" : ", 2300";
    }
  }
  for (const zota::Flag& f : zota::kFlags) {
    cols += std::string(", ") + f.key + "_rows";
    vals += ", 0";
  }
  const std::string sql =
      "WITH RECURSIVE d(b) AS (SELECT " + std::to_string(Week().start_ms - 3650 * 86400000LL) +
      " UNION ALL SELECT b + 86400000 FROM d WHERE b < " + std::to_string(Week().start_ms) +
      ") INSERT OR IGNORE INTO rollup_day(" + cols + ") SELECT " + vals + " FROM d";
  sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  sqlite3_close(db);
}

// The week at step=600 (ten-minute rollups) and ten years at a 4-day step
// (day rollups, 913 points) against the plain answer, in turn; and the
// decade's first answer, before its days are kept.
void BM_ChartsAgainstPlain(benchmark::State& state) {
  AddDecade();
  const std::int64_t decade_from = Week().end_ms - 3650 * 86400000LL;
  const controller::HistoryRequest plain =
      Request(Week().end_ms - 999 * 1000, Week().end_ms, 0, 1000);
  const controller::HistoryRequest week =
      Request(Week().start_ms, Week().end_ms, 600, controller::kMaxHistoryLimit);
  const controller::HistoryRequest decade =
      Request(decade_from, Week().end_ms, 4 * 86400, controller::kMaxHistoryLimit);
  const auto serve = [](const controller::HistoryRequest& req, std::size_t* points) {
    const auto t0 = std::chrono::steady_clock::now();
    const controller::HistoryPage page =
        controller::ReadHistory(Week().path, controller::ZotaRollupFields(), req);
    const std::string json = controller::HistoryJson(req, page);
    benchmark::DoNotOptimize(json.data());
    *points = page.rows.size();
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
  };
  double us[3] = {0.0, 0.0, 0.0};
  std::size_t points[3] = {0, 0, 0};
  // The first answers after the reader opens the file (SQLite's page cache
  // empty too): the decade's reads every day row, later ones find the days
  // kept and read only each day's count. An answer from another file makes
  // the reader let go of this one, as when the file changes under it.
  const std::string other = Week().dir + "/other.db";
  { controller::HistoryDb made(other, Unbounded()); }
  const auto first = [&](const controller::HistoryRequest& req) {
    benchmark::DoNotOptimize(
        controller::ReadHistory(other, controller::ZotaRollupFields(), plain).rows.data());
    std::size_t n = 0;
    return serve(req, &n);
  };
  const double first_plain_us = first(plain);
  const double first_decade_us = first(decade);
  for (auto _ : state) {
    us[0] += serve(plain, &points[0]);
    us[1] += serve(week, &points[1]);
    us[2] += serve(decade, &points[2]);
  }
  state.counters["week_per_plain"] = us[1] / us[0];
  state.counters["decade_per_plain"] = us[2] / us[0];
  state.counters["first_decade_per_first_plain"] = first_decade_us / first_plain_us;
  state.counters["week_points"] = static_cast<double>(points[1]);
  state.counters["decade_points"] = static_cast<double>(points[2]);
}
BENCHMARK(BM_ChartsAgainstPlain)->Unit(benchmark::kMicrosecond);

// The writer's CPU per stored record with rollups against without, in turn:
// the same rows, once as records 5035 (rolled up) and once under another
// type (not), groups of 256 from 50 devices polled every 50 ms, each into a
// file of its own in memory where there is some.
void BM_StoreRollupsAgainstNone(benchmark::State& state) {
  const std::string base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  const unsigned char record[] = {0xE9, 0x03, 0x00, 0x00, 0xFC, 0x08, 0xF7, 0x08, 0xFC,
                                  0x08, 0x54, 0x01, 0xF4, 0x01, 0xCC, 0x00, 0x0E, 0x01,
                                  0x09, 0xEA, 0x07, 0x0C, 0x07, 0x14, 0x1E, 0x2C};
  constexpr int kGroups = 120;  // about a minute of 50 devices at 50 ms: new minutes too
  const auto cpu_us = [] {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
  };
  const auto store = [&](int type) {
    const std::string path = base + "/zota-store-bench-" + std::to_string(::getpid()) + ".db";
    double spent = 0.0;
    {
      controller::HistoryDb db(path, Unbounded());
      std::int64_t ms = 1796083200000LL;  // 2026-12-01, no week file needed
      for (int g = 0; g < kGroups; ++g) {
        std::vector<controller::HistoryRow> group(256);
        for (std::size_t i = 0; i < group.size(); ++i, ms += 1) {
          group[i].data_id = 1001 + static_cast<std::uint32_t>(i % 50);
          group[i].device_type = kType;
          group[i].record_type = type;
          group[i].time_ms = ms + static_cast<std::int64_t>(g) * 250;
          group[i].data.assign(record, record + sizeof(record));
        }
        const double t0 = cpu_us();
        const controller::Status stored = db.StoreGroup(group);
        spent += cpu_us() - t0;
        if (!stored.ok()) state.SkipWithError(stored.reason().c_str());
      }
    }
    for (const char* suffix : {"", "-wal", "-shm", "-reserve"})
      std::remove((path + suffix).c_str());
    return spent / (kGroups * 256);
  };
  double with = 0.0;
  double without = 0.0;
  for (auto _ : state) {
    with += store(5035);
    without += store(5036);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["with_us_per_record"] = with / n;
  state.counters["without_us_per_record"] = without / n;
  state.counters["with_per_without"] = with / without;
}
BENCHMARK(BM_StoreRollupsAgainstNone)->Unit(benchmark::kMillisecond)->Iterations(5);

// The text of the largest answer from its rows, as JSON and as CSV.
controller::HistoryPage FullPage() {
  const unsigned char record[] = {0xE9, 0x03, 0x00, 0x00, 0xFC, 0x08, 0xF7, 0x08, 0xFC,
                                  0x08, 0x54, 0x01, 0xF4, 0x01, 0xCC, 0x00, 0x0E, 0x01,
                                  0x09, 0xEA, 0x07, 0x0C, 0x07, 0x14, 0x1E, 0x2C};
  controller::HistoryRow row;
  row.time = "2026-12-07T20:30:44.000Z";
  row.record_type = 5035;
  row.data.assign(record, record + sizeof(record));
  controller::HistoryPage page;
  page.rows.assign(controller::kMaxHistoryLimit, row);
  return page;
}

void BM_RenderJson10000(benchmark::State& state) {
  const controller::HistoryPage page = FullPage();
  const controller::HistoryRequest req = Request(0, 0, 0, controller::kMaxHistoryLimit);
  for (auto _ : state) benchmark::DoNotOptimize(controller::HistoryJson(req, page).data());
}
BENCHMARK(BM_RenderJson10000)->Unit(benchmark::kMicrosecond);

void BM_RenderCsv10000(benchmark::State& state) {
  const controller::HistoryPage page = FullPage();
  for (auto _ : state) benchmark::DoNotOptimize(controller::HistoryCsv(page).data());
}
BENCHMARK(BM_RenderCsv10000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
