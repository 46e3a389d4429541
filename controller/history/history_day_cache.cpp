#include "controller/history/history_day_cache.h"

#include <algorithm>
#include <utility>

#include "controller/history/history_sql.h"

namespace controller {

namespace {

// About three device-decades, a little under 3 MB: a board's memory, not a
// server's.
constexpr std::size_t kMaxDays = 3 * 3660;
constexpr int kDayLevel = kChartLevels;

}  // namespace

// The day rows of [from, end) as they are in the file, appended to out.
int DayCache::ReadDays(sqlite3* db, std::uint32_t data_id, std::int64_t from, std::int64_t end,
                       std::vector<Day>* out) const {
  const RollupFields& f = *fields_;
  Statement rows(db, sql::ReadRollup(f, kDayLevel));
  if (!rows) return sqlite3_errcode(db);
  rows.Bind(1, data_id).Bind(2, from).Bind(3, end);
  const int key = RollupValueCount(f);
  int rc = SQLITE_ROW;
  while ((rc = rows.Step()) == SQLITE_ROW)
    out->push_back(Day{rows.Int(key), ReadAggregate(f, rows, 0)});
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// The known days of [from, end) whose count is unchanged, and the span from
// the first changed or new day to the last read whole.
int DayCache::Refresh(sqlite3* db, std::uint32_t data_id, std::int64_t from, std::int64_t end,
                      const std::vector<Day>& known, std::vector<Day>* span) const {
  Statement counts(db, sql::kDayCounts);
  if (!counts) return sqlite3_errcode(db);
  counts.Bind(1, data_id).Bind(2, from).Bind(3, end);
  const auto by_bucket = [](const Day& d, std::int64_t b) { return d.bucket < b; };
  const auto k_begin = std::lower_bound(known.begin(), known.end(), from, by_bucket);
  const auto k_end = std::lower_bound(k_begin, known.end(), end, by_bucket);
  std::vector<std::int64_t> now;
  std::int64_t miss_lo = end, miss_hi = from - 1;
  int rc = SQLITE_ROW;
  for (auto k = k_begin; (rc = counts.Step()) == SQLITE_ROW;) {
    const std::int64_t b = counts.Int(0);
    now.push_back(b);
    while (k != k_end && k->bucket < b) ++k;
    if (k == k_end || k->bucket != b || k->figures.rows != counts.Int(1)) {
      miss_lo = std::min(miss_lo, b);
      miss_hi = b;
    }
  }
  if (rc != SQLITE_DONE) return rc;
  span->reserve(now.size());
  auto k = k_begin;
  bool read = false;
  for (const std::int64_t b : now) {
    if (b >= miss_lo && b <= miss_hi) {
      if (!read && (rc = ReadDays(db, data_id, miss_lo, miss_hi + 1, span)) != SQLITE_OK) return rc;
      read = true;
      continue;
    }
    while (k != k_end && k->bucket < b) ++k;
    if (k == k_end || k->bucket != b) return SQLITE_INTERNAL;  // matched above
    span->push_back(*k);
  }
  return SQLITE_OK;
}

int DayCache::Read(sqlite3* db, std::uint32_t data_id, std::int64_t from, std::int64_t end,
                   const Fold& fold) {
  std::vector<Day>& known = devices_[data_id];
  const auto by_bucket = [](const Day& d, std::int64_t b) { return d.bucket < b; };
  const auto k = std::lower_bound(known.begin(), known.end(), from, by_bucket);
  // Nothing known here: one read of every column, no counts first.
  std::vector<Day> span;
  const bool none = k == known.end() || k->bucket >= end;
  const int rc = none ? ReadDays(db, data_id, from, end, &span)
                      : Refresh(db, data_id, from, end, known, &span);
  if (rc != SQLITE_OK) return rc;
  for (const Day& d : span) fold(d.bucket, d.figures);
  // The range replaced by what was read, within kMaxDays: other devices'
  // days make way first, then this one's outside the range.
  const auto lo = std::lower_bound(known.begin(), known.end(), from, by_bucket);
  const auto hi = std::lower_bound(lo, known.end(), end, by_bucket);
  days_ -= static_cast<std::size_t>(hi - lo);
  known.erase(lo, hi);
  for (auto d = devices_.begin(); d != devices_.end() && days_ + span.size() > kMaxDays;) {
    if (d->first == data_id) {
      ++d;
      continue;
    }
    days_ -= d->second.size();
    d = devices_.erase(d);
  }
  if (days_ + span.size() > kMaxDays) {
    days_ -= known.size();
    known.clear();
  }
  if (span.size() > kMaxDays) return SQLITE_OK;
  const auto at = std::lower_bound(known.begin(), known.end(), from, by_bucket);
  known.insert(at, std::make_move_iterator(span.begin()), std::make_move_iterator(span.end()));
  days_ += span.size();
  return SQLITE_OK;
}

void DayCache::Clear() {
  devices_.clear();
  days_ = 0;
}

}  // namespace controller
