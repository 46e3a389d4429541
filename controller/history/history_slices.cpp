// The figures of every record of each slice of a step answer: whole slices of
// a step of whole minutes from the coarsest rollup that divides it, the rest
// (slices cut by the range, other steps, a file whose rollups are still being
// filled) from the raw records.
#include <algorithm>
#include <array>
#include <iterator>
#include <map>
#include <memory>

#include "controller/common/iso_time.h"
#include "controller/history/history_day_cache.h"
#include "controller/history/history_reader.h"
#include "controller/history/history_schema.h"
#include "controller/history/history_sql.h"

namespace controller {

namespace {

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

// Folds records and rollups into the slices of one answer, each statement
// prepared once however many pieces the cut slices break into.
class SliceFolder {
 public:
  SliceFolder(sqlite3* db, const std::string& path, const RollupFields& fields,
              const HistoryRange& r, std::int64_t step_ms, DayCache* days)
      : fields_(fields), db_(db), path_(path), range_(r), step_ms_(step_ms), days_(days) {}

  // Raw rows of [from, to] folded into their slices.
  void Raw(std::int64_t from, std::int64_t to) {
    Statement& s = Prepared(0);
    s.Reset().Bind(1, range_.data_id).Bind(2, range_.device_type).Bind(3, from).Bind(4, to);
    s.Bind(5, -1);
    RollupValues rec;
    int rc = SQLITE_ROW;
    while ((rc = s.Step()) == SQLITE_ROW) {
      const std::int64_t ms = s.Int(3);
      if (RollupRecord(fields_, static_cast<int>(s.Int(1)), s.Blob(2), &rec))
        Slice(ms / step_ms_).Add(rec, ms, 0);
    }
    if (rc != SQLITE_DONE) Fail(db_, path_);
  }

  // The rows of a level with bucket_ms in [from, end), each into its slice.
  // The coarser windows lack the device's open minute, which is added.
  void Rollups(int level, std::int64_t from, std::int64_t end) {
    if (level > 1) Read(Prepared(kChartLevels + 1), from, end);
    if (level == kChartLevels && days_) {
      const auto fold = [this](std::int64_t bucket, const Aggregate& a) {
        Slice(bucket / step_ms_).Merge(a);
      };
      if (days_->Read(db_, range_.data_id, from, end, fold) != SQLITE_OK) Fail(db_, path_);
      return;
    }
    Read(Prepared(level), from, end);
  }

  void Read(Statement& s, std::int64_t from, std::int64_t end) {
    s.Reset().Bind(1, range_.data_id).Bind(2, from).Bind(3, end);
    const int key = RollupValueCount(fields_);
    int rc = SQLITE_ROW;
    while ((rc = s.Step()) == SQLITE_ROW)
      Slice(s.Int(key) / step_ms_).Merge(ReadAggregate(fields_, s, 0));
    if (rc != SQLITE_DONE) Fail(db_, path_);
  }

  // Part of one slice, [a, b]: the whole days in it from day rollups, the whole
  // hours left from hour rollups, and so on down to the records of the seconds
  // at its ends.
  void Part(std::int64_t a, std::int64_t b) {
    if (a > b) return;
    for (int level = kChartLevels; level > 0; --level) {
      const std::int64_t grain = kChartGrainsMs[level - 1];
      const std::int64_t lo = WindowStart(a + grain - 1, grain);  // the first whole window
      const std::int64_t hi = WindowStart(b + 1, grain);
      if (lo >= hi) continue;
      Rollups(level, lo, hi);
      Part(a, lo - 1);
      Part(hi, b);
      return;
    }
    Raw(a, b);
  }

  std::map<std::int64_t, Aggregate>& slices() { return slices_; }

 private:
  // Rows mostly come in slice order: the newest slice is found at once.
  Aggregate& Slice(std::int64_t k) {
    if (!slices_.empty() && std::prev(slices_.end())->first == k)
      return std::prev(slices_.end())->second;
    return slices_.emplace_hint(slices_.lower_bound(k), k, Aggregate{})->second;
  }
  Statement& Prepared(int level) {
    std::unique_ptr<Statement>& s = statements_[level];
    if (!s)
      s = std::make_unique<Statement>(db_, level == 0 ? sql::kRange
                                           : level > kChartLevels
                                               ? sql::ReadOpenMinute(fields_)
                                               : sql::ReadRollup(fields_, level));
    if (!*s) Fail(db_, path_);
    return *s;
  }

  const RollupFields& fields_;
  sqlite3* db_;
  const std::string& path_;
  const HistoryRange& range_;
  const std::int64_t step_ms_;
  DayCache* days_;
  std::map<std::int64_t, Aggregate> slices_;
  std::array<std::unique_ptr<Statement>, kChartLevels + 2>
      statements_;  // raw, each level, open minutes
};

}  // namespace

void ReadSlices(sqlite3* db, const std::string& path, const RollupFields& fields,
                const HistoryRange& range, HistoryPage* page, DayCache* days) {
  const std::int64_t step_ms = static_cast<std::int64_t>(range.step_s) * 1000;
  // Only as far as the points answered go, when the limit cut them short.
  const std::int64_t to =
      page->more && !page->rows.empty()
          ? std::min(range.to_ms, (page->rows.back().time_ms / step_ms + 1) * step_ms - 1)
          : range.to_ms;
  // Whole slices inside the range: [first_whole, end_whole) in ms.
  const std::int64_t first_whole = (range.from_ms + step_ms - 1) / step_ms * step_ms;
  const std::int64_t end_whole = (to + 1) / step_ms * step_ms;
  const int level = LevelFor(step_ms);
  SliceFolder fold(db, path, fields, range, step_ms, days);
  if (level > 0 && Trusted(db)) {
    if (first_whole < end_whole) {
      fold.Part(range.from_ms, first_whole - 1);
      fold.Rollups(level, first_whole, end_whole);
      fold.Part(end_whole, to);
    } else {
      fold.Part(range.from_ms, to);  // within one slice
    }
  } else {
    fold.Raw(range.from_ms, to);
  }
  std::map<std::int64_t, Aggregate>& slices = fold.slices();
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
