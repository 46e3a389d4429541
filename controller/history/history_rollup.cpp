#include "controller/history/history_rollup.h"

#include <algorithm>

#include "controller/history/history_sql.h"

namespace controller {

namespace {

// One row's figures written by an update or an insert; SQLite's result code.
int Write(const RollupFields& f, Statement& s, std::uint32_t data_id, std::int64_t bucket,
          const Aggregate& a) {
  s.Bind(1, data_id).Bind(2, bucket).Bind(3, a.rows).Bind(4, a.first_ms).Bind(5, a.first_id);
  int i = 6;
  for (const auto* part : {&a.min, &a.max, &a.sum}) {
    for (std::size_t m = 0; m < f.measures.size(); ++m) s.Bind(i++, (*part)[m]);
  }
  for (std::size_t k = 0; k < f.flags.size(); ++k) s.Bind(i++, a.flag_rows[k]);
  const int rc = s.Step();
  s.Reset();
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

}  // namespace

void Aggregate::Add(const RollupValues& r, std::int64_t ms, std::int64_t id) {
  const bool first = rows == 0 || std::tie(ms, id) < std::tie(first_ms, first_id);
  for (std::size_t i = 0; i < kMaxRollupMeasures; ++i) {
    const std::int64_t v = r.raw[i];
    min[i] = rows == 0 ? v : std::min(min[i], v);
    max[i] = rows == 0 ? v : std::max(max[i], v);
    sum[i] += v;
  }
  for (std::size_t i = 0; i < kMaxRollupFlags; ++i) flag_rows[i] += r.flag[i] ? 1 : 0;
  if (first) {
    first_ms = ms;
    first_id = id;
  }
  ++rows;
}

void Aggregate::Merge(const Aggregate& o) {
  if (o.rows == 0) return;
  if (rows == 0) {
    *this = o;
    return;
  }
  if (std::tie(o.first_ms, o.first_id) < std::tie(first_ms, first_id)) {
    first_ms = o.first_ms;
    first_id = o.first_id;
  }
  for (std::size_t i = 0; i < kMaxRollupMeasures; ++i) {
    min[i] = std::min(min[i], o.min[i]);
    max[i] = std::max(max[i], o.max[i]);
    sum[i] += o.sum[i];
  }
  for (std::size_t i = 0; i < kMaxRollupFlags; ++i) flag_rows[i] += o.flag_rows[i];
  rows += o.rows;
}

bool RollupRecord(const RollupFields& f, int type, const std::vector<unsigned char>& data,
                  RollupValues* r) {
  return DecodeRollup(f, type, data.data(), data.size(), r);
}

Aggregate ReadAggregate(const RollupFields& f, const Statement& s, int col) {
  Aggregate a;
  a.rows = s.Int(col++);
  a.first_ms = s.Int(col++);
  a.first_id = s.Int(col++);
  for (auto* part : {&a.min, &a.max, &a.sum}) {
    for (std::size_t m = 0; m < f.measures.size(); ++m) (*part)[m] = s.Int(col++);
  }
  for (std::size_t k = 0; k < f.flags.size(); ++k) a.flag_rows[k] = s.Int(col++);
  return a;
}

RollupBatch::RollupBatch(const RollupFields& fields) : fields_(fields) {}
RollupBatch::~RollupBatch() = default;

void RollupBatch::Add(std::uint32_t data_id, int type, const std::vector<unsigned char>& data,
                      std::int64_t ms, std::int64_t id) {
  RollupValues r;
  if (!RollupRecord(fields_, type, data, &r)) return;
  // Minutes only: the coarser windows are made of them at Flush.
  buckets_[std::make_tuple(1, data_id, WindowStart(ms, kChartGrainsMs[0]))].Add(r, ms, id);
}

// The row of a level's bucket as it is: known from this run's last write,
// else read.
int RollupBatch::ReadRow(int level, std::uint32_t data_id, std::int64_t bucket, Aggregate* row,
                         bool* there) {
  const auto known = known_.find(std::make_pair(level, data_id));
  if (known != known_.end() && known->second.bucket == bucket) {
    *row = known->second.figures;
    *there = true;
    return SQLITE_OK;
  }
  Statement& select = *select_[level - 1];
  select.Reset().Bind(1, data_id).Bind(2, bucket);
  const int rc = select.Step();
  *there = rc == SQLITE_ROW;
  *row = *there ? ReadAggregate(fields_, select, 0) : Aggregate{};
  select.Reset();
  return rc == SQLITE_ROW || rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// The device's open minute, kNoMinute when it has none.
int RollupBatch::OpenMinute(std::uint32_t data_id, std::int64_t* minute) {
  const auto known = open_.find(data_id);
  if (known != open_.end()) {
    *minute = known->second;
    return SQLITE_OK;
  }
  open_get_->Reset().Bind(1, data_id);
  const int rc = open_get_->Step();
  *minute = rc == SQLITE_ROW ? open_get_->Int(0) : kNoMinute;
  open_get_->Reset();
  return rc == SQLITE_ROW || rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// A minute's figures added to its ten-minute, hour and day windows.
void RollupBatch::Fold(std::uint32_t data_id, std::int64_t minute, const Aggregate& figures) {
  for (int level = 2; level <= kChartLevels; ++level)
    buckets_[std::make_tuple(level, data_id, WindowStart(minute, kChartGrainsMs[level - 1]))].Merge(
        figures);
}

int RollupBatch::Prepare(sqlite3* db) {
  if (prepared_on_ == db) return SQLITE_OK;
  Release();
  version_ = std::make_unique<Statement>(db, "PRAGMA data_version");
  open_get_ = std::make_unique<Statement>(db, sql::kOpenMinute);
  open_set_ = std::make_unique<Statement>(db, sql::kSetOpenMinute);
  if (!*version_ || !*open_get_ || !*open_set_) return sqlite3_errcode(db);
  for (int level = 1; level <= kChartLevels; ++level) {
    update_[level - 1] = std::make_unique<Statement>(db, sql::UpdateRollup(fields_, level));
    insert_[level - 1] = std::make_unique<Statement>(db, sql::InsertRollup(fields_, level));
    select_[level - 1] = std::make_unique<Statement>(db, sql::SelectRollup(fields_, level));
    if (!*update_[level - 1] || !*insert_[level - 1] || !*select_[level - 1])
      return sqlite3_errcode(db);
  }
  prepared_on_ = db;
  return SQLITE_OK;
}

// Each device's minutes, oldest first: one in its open minute goes to that
// minute's row alone; a new newest minute closes the open one (its whole row
// folded into the coarser windows) and opens; any other (a minute already
// closed, or one before the open one: the clock went back) goes to every
// level at once.
int RollupBatch::OpenAndClose() {
  auto m = buckets_.begin();
  while (m != buckets_.end() && std::get<0>(m->first) == 1) {
    const std::uint32_t data_id = std::get<1>(m->first);
    std::int64_t open = kNoMinute;
    int rc = OpenMinute(data_id, &open);
    if (rc != SQLITE_OK) return rc;
    const std::int64_t was_open = open;
    for (; m != buckets_.end() && std::get<0>(m->first) == 1 && std::get<1>(m->first) == data_id;
         ++m) {
      const std::int64_t minute = std::get<2>(m->first);
      if (minute == open) continue;
      Aggregate row;
      bool there = false;
      if ((rc = ReadRow(1, data_id, minute, &row, &there)) != SQLITE_OK) return rc;
      if (minute < open || there) {
        Fold(data_id, minute, m->second);
        continue;
      }
      if (open != kNoMinute) {
        Aggregate closing;
        if ((rc = ReadRow(1, data_id, open, &closing, &there)) != SQLITE_OK) return rc;
        const auto same = buckets_.find(std::make_tuple(1, data_id, open));
        if (same != buckets_.end()) closing.Merge(same->second);
        Fold(data_id, open, closing);
      }
      open = minute;
    }
    if (open == was_open) continue;
    open_set_->Reset().Bind(1, data_id).Bind(2, open);
    rc = open_set_->Step();
    open_set_->Reset();
    if (rc != SQLITE_DONE) return rc;
    staged_open_.emplace_back(data_id, open);
  }
  return SQLITE_OK;
}

int RollupBatch::Flush(sqlite3* db) {
  staged_.clear();
  staged_open_.clear();
  if (buckets_.empty()) return SQLITE_OK;
  int rc = Prepare(db);
  if (rc != SQLITE_OK) return rc;
  // Another program's commit may have changed any row.
  if (version_->Reset().Step() != SQLITE_ROW) return sqlite3_errcode(db);
  if (version_->Int(0) != data_version_) Forget();
  data_version_ = version_->Int(0);
  version_->Reset();
  rc = OpenAndClose();
  for (auto b = buckets_.begin(); rc == SQLITE_OK && b != buckets_.end(); ++b) {
    const int level = std::get<0>(b->first);
    const std::uint32_t data_id = std::get<1>(b->first);
    const std::int64_t bucket = std::get<2>(b->first);
    Aggregate row;
    bool there = false;
    if ((rc = ReadRow(level, data_id, bucket, &row, &there)) != SQLITE_OK) break;
    row.Merge(b->second);
    rc = Write(fields_, there ? *update_[level - 1] : *insert_[level - 1], data_id, bucket, row);
    if (rc == SQLITE_OK && there && sqlite3_changes(db) == 0) {
      // Gone since it was known (a removal that did not say so): it holds
      // the batch's figures alone, and nothing known is trusted any more.
      Forget();
      row = b->second;
      rc = Write(fields_, *insert_[level - 1], data_id, bucket, row);
    }
    if (rc != SQLITE_OK) break;
    staged_.emplace_back(std::make_pair(level, data_id), Known{bucket, row});
  }
  buckets_.clear();
  return rc;
}

void RollupBatch::Settle(bool committed) {
  if (!committed) Forget();  // rolled back: what was written is not there
  for (auto& s : staged_) {
    if (committed) known_[s.first] = s.second;
  }
  for (const auto& o : staged_open_) {
    if (committed) open_[o.first] = o.second;
  }
  staged_.clear();
  staged_open_.clear();
}

void RollupBatch::Release() {
  open_get_.reset();
  open_set_.reset();
  for (auto& s : update_) s.reset();
  for (auto& s : insert_) s.reset();
  for (auto& s : select_) s.reset();
  version_.reset();
  Forget();
  staged_.clear();
  staged_open_.clear();
  prepared_on_ = nullptr;
}

}  // namespace controller
