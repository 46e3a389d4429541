// The figures of every record of each slice of a step answer: whole slices of
// a step of whole minutes from the coarsest rollup that divides it, the rest
// (slices cut by the range, other steps, a file whose rollups are still being
// filled) from the raw records.
#include <algorithm>
#include <map>

#include "controller/common/iso_time.h"
#include "controller/history/history_reader.h"
#include "controller/history/history_schema.h"
#include "controller/history/history_sql.h"

namespace controller {

namespace {

int RollupLevelFor(std::int64_t step_ms) {
  for (int level = kChartLevels; level > 0; --level)
    if (step_ms % kChartGrainsMs[level - 1] == 0) return level;
  return 0;
}

[[noreturn]] void Fail(sqlite3* db, const std::string& path) {
  throw HistoryError("history database " + path + ": cannot read: " + sqlite3_errmsg(db));
}

// Rollups hold every row once no row waits to be levelled or folded in.
bool Trusted(sqlite3* db) {
  Statement folding(db, sql::kAnyRollupFill);
  Statement levelled(db, sql::kAllLevelled);
  return folding && levelled && folding.Next() && folding.Int(0) == 0 && levelled.Next() &&
         levelled.Int(0) != 0;
}

// Raw rows of [from, to] folded into their slices.
void FoldRaw(sqlite3* db, const std::string& path, const HistoryRange& r, std::int64_t from,
             std::int64_t to, std::int64_t step_ms, std::map<std::int64_t, Aggregate>* out) {
  Statement s(db, sql::kRange);
  if (!s) Fail(db, path);
  s.Bind(1, r.data_id).Bind(2, r.device_type).Bind(3, from).Bind(4, to).Bind(5, -1);
  zota::DecodedRecord rec;
  int rc = SQLITE_ROW;
  while ((rc = s.Step()) == SQLITE_ROW) {
    const std::int64_t ms = s.Int(3);
    if (RollupRecord(static_cast<int>(s.Int(1)), s.Blob(2), &rec))
      (*out)[ms / step_ms].Add(rec, ms, 0);
  }
  if (rc != SQLITE_DONE) Fail(db, path);
}

// The rows of a level with bucket_ms in [from, end), each into its slice.
void FoldRollups(sqlite3* db, const std::string& path, const HistoryRange& r, int level,
                 std::int64_t from, std::int64_t end, std::int64_t step_ms,
                 std::map<std::int64_t, Aggregate>* out) {
  Statement s(db, sql::ReadRollup(level));
  if (!s) Fail(db, path);
  s.Bind(1, r.data_id).Bind(2, from).Bind(3, end);
  const int key = 3 + 3 * static_cast<int>(kRollupMeasures) + static_cast<int>(kRollupFlags);
  int rc = SQLITE_ROW;
  while ((rc = s.Step()) == SQLITE_ROW) (*out)[s.Int(key) / step_ms].Merge(ReadAggregate(s, 0));
  if (rc != SQLITE_DONE) Fail(db, path);
}

// Part of one slice, [a, b]: the whole days in it from day rollups, the whole
// hours left from hour rollups, and so on down to the records of the seconds
// at its ends.
void FoldPart(sqlite3* db, const std::string& path, const HistoryRange& r, std::int64_t a,
              std::int64_t b, std::int64_t step_ms, std::map<std::int64_t, Aggregate>* out) {
  if (a > b) return;
  for (int level = kChartLevels; level > 0; --level) {
    const std::int64_t grain = kChartGrainsMs[level - 1];
    const std::int64_t lo = (a + grain - 1) / grain * grain;
    const std::int64_t hi = (b + 1) / grain * grain;
    if (lo >= hi) continue;
    FoldRollups(db, path, r, level, lo, hi, step_ms, out);
    FoldPart(db, path, r, a, lo - 1, step_ms, out);
    FoldPart(db, path, r, hi, b, step_ms, out);
    return;
  }
  FoldRaw(db, path, r, a, b, step_ms, out);
}

}  // namespace

void ReadSlices(sqlite3* db, const std::string& path, const HistoryRange& range,
                HistoryPage* page) {
  const std::int64_t step_ms = static_cast<std::int64_t>(range.step_s) * 1000;
  // Only as far as the points answered go, when the limit cut them short.
  const std::int64_t to =
      page->more && !page->rows.empty()
          ? std::min(range.to_ms, (page->rows.back().time_ms / step_ms + 1) * step_ms - 1)
          : range.to_ms;
  std::map<std::int64_t, Aggregate> slices;
  // Whole slices inside the range: [first_whole, end_whole) in ms.
  const std::int64_t first_whole = (range.from_ms + step_ms - 1) / step_ms * step_ms;
  const std::int64_t end_whole = (to + 1) / step_ms * step_ms;
  const int level = RollupLevelFor(step_ms);
  if (level > 0 && Trusted(db)) {
    if (first_whole < end_whole) {
      FoldRollups(db, path, range, level, first_whole, end_whole, step_ms, &slices);
      FoldPart(db, path, range, range.from_ms, first_whole - 1, step_ms, &slices);
      FoldPart(db, path, range, end_whole, to, step_ms, &slices);
    } else {
      FoldPart(db, path, range, range.from_ms, to, step_ms, &slices);  // within one slice
    }
  } else {
    FoldRaw(db, path, range, range.from_ms, to, step_ms, &slices);
  }
  // Points in slice order: the slice's first stored row where one is left,
  // else only its figures.
  std::vector<HistoryRow> rows;
  std::vector<Aggregate> figures;
  auto first = page->rows.begin();
  auto slice = slices.begin();
  while (first != page->rows.end() || slice != slices.end()) {
    const std::int64_t a = first != page->rows.end() ? first->time_ms / step_ms : INT64_MAX;
    const std::int64_t b = slice != slices.end() ? slice->first : INT64_MAX;
    if (a <= b) {
      rows.push_back(std::move(*first++));
      figures.push_back(a == b ? (slice++)->second : Aggregate{});
    } else {
      HistoryRow gone;
      gone.time_ms = slice->second.first_ms;
      gone.time = FormatUtcMs(gone.time_ms);
      rows.push_back(std::move(gone));
      figures.push_back((slice++)->second);
    }
  }
  if (rows.size() > range.limit) {
    rows.resize(range.limit);
    figures.resize(range.limit);
    page->more = true;
  }
  page->rows.swap(rows);
  page->slices.swap(figures);
}

}  // namespace controller
