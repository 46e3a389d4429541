#include "controller/history/history_rollup.h"

#include <algorithm>

#include "controller/history/history_sql.h"

namespace controller {

namespace {

// The start of the window of ms, counted from 1970, also for times before it.
std::int64_t Window(std::int64_t ms, std::int64_t grain) {
  return (ms >= 0 ? ms / grain : (ms - grain + 1) / grain) * grain;
}

// One row's figures written by an update or an insert; SQLite's result code.
int Write(Statement& s, std::uint32_t data_id, std::int64_t bucket, const Aggregate& a) {
  s.Bind(1, data_id).Bind(2, bucket).Bind(3, a.rows).Bind(4, a.first_ms).Bind(5, a.first_id);
  int i = 6;
  for (const auto* part : {&a.min, &a.max, &a.sum}) {
    for (const std::int64_t v : *part) s.Bind(i++, v);
  }
  for (const std::int64_t v : a.flag_rows) s.Bind(i++, v);
  const int rc = s.Step();
  s.Reset();
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

}  // namespace

void Aggregate::Add(const zota::DecodedRecord& r, std::int64_t ms, std::int64_t id) {
  const bool first = rows == 0 || std::tie(ms, id) < std::tie(first_ms, first_id);
  for (std::size_t i = 0; i < kRollupMeasures; ++i) {
    const std::int64_t v = r.raw[i];
    min[i] = rows == 0 ? v : std::min(min[i], v);
    max[i] = rows == 0 ? v : std::max(max[i], v);
    sum[i] += v;
  }
  for (std::size_t i = 0; i < kRollupFlags; ++i) flag_rows[i] += r.Has(zota::kFlags[i]) ? 1 : 0;
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
  for (std::size_t i = 0; i < kRollupMeasures; ++i) {
    min[i] = std::min(min[i], o.min[i]);
    max[i] = std::max(max[i], o.max[i]);
    sum[i] += o.sum[i];
  }
  for (std::size_t i = 0; i < kRollupFlags; ++i) flag_rows[i] += o.flag_rows[i];
  rows += o.rows;
}

bool RollupRecord(int type, const std::vector<unsigned char>& data, zota::DecodedRecord* r) {
  return zota::Decode(type, data.data(), data.size(), *r);
}

Aggregate ReadAggregate(const Statement& s, int col) {
  Aggregate a;
  a.rows = s.Int(col++);
  a.first_ms = s.Int(col++);
  a.first_id = s.Int(col++);
  for (auto* part : {&a.min, &a.max, &a.sum}) {
    for (std::int64_t& v : *part) v = s.Int(col++);
  }
  for (std::int64_t& v : a.flag_rows) v = s.Int(col++);
  return a;
}

RollupBatch::RollupBatch() = default;
RollupBatch::~RollupBatch() = default;

void RollupBatch::Add(std::uint32_t data_id, int type, const std::vector<unsigned char>& data,
                      std::int64_t ms, std::int64_t id) {
  zota::DecodedRecord r;
  if (!RollupRecord(type, data, &r)) return;
  // Minutes only: the coarser windows are made of them at Flush.
  buckets_[std::make_tuple(1, data_id, Window(ms, kChartGrainsMs[0]))].Add(r, ms, id);
}

int RollupBatch::Flush(sqlite3* db) {
  staged_.clear();
  if (buckets_.empty()) return SQLITE_OK;
  if (prepared_on_ != db) {
    Release();
    version_ = std::make_unique<Statement>(db, "PRAGMA data_version");
    if (!*version_) return sqlite3_errcode(db);
    for (int level = 1; level <= kChartLevels; ++level) {
      update_[level - 1] = std::make_unique<Statement>(db, sql::UpdateRollup(level));
      insert_[level - 1] = std::make_unique<Statement>(db, sql::InsertRollup(level));
      select_[level - 1] = std::make_unique<Statement>(db, sql::SelectRollup(level));
      if (!*update_[level - 1] || !*insert_[level - 1] || !*select_[level - 1])
        return sqlite3_errcode(db);
    }
    prepared_on_ = db;
  }
  // Another program's commit may have changed any row.
  if (version_->Reset().Step() != SQLITE_ROW) return sqlite3_errcode(db);
  if (version_->Int(0) != data_version_) known_.clear();
  data_version_ = version_->Int(0);
  version_->Reset();
  // Each minute into its coarser windows, which sort after every minute.
  for (auto m = buckets_.begin(); m != buckets_.end() && std::get<0>(m->first) == 1; ++m) {
    for (int level = 2; level <= kChartLevels; ++level) {
      const std::int64_t bucket = Window(std::get<2>(m->first), kChartGrainsMs[level - 1]);
      buckets_[std::make_tuple(level, std::get<1>(m->first), bucket)].Merge(m->second);
    }
  }
  int rc = SQLITE_OK;
  for (auto b = buckets_.begin(); rc == SQLITE_OK && b != buckets_.end(); ++b) {
    const int level = std::get<0>(b->first);
    const std::uint32_t data_id = std::get<1>(b->first);
    const std::int64_t bucket = std::get<2>(b->first);
    // The row as it is: known from this run's last write, else read.
    Aggregate row;
    bool there = false;
    const auto known = known_.find(std::make_pair(level, data_id));
    if (known != known_.end() && known->second.bucket == bucket) {
      row = known->second.figures;
      there = true;
    } else {
      Statement& select = *select_[level - 1];
      select.Reset().Bind(1, data_id).Bind(2, bucket);
      rc = select.Step();
      there = rc == SQLITE_ROW;
      if (there) row = ReadAggregate(select, 0);
      select.Reset();
      if (rc != SQLITE_ROW && rc != SQLITE_DONE) break;
    }
    row.Merge(b->second);
    rc = Write(there ? *update_[level - 1] : *insert_[level - 1], data_id, bucket, row);
    if (rc == SQLITE_OK && there && sqlite3_changes(db) == 0) {
      // Gone since it was known (a removal that did not say so): it holds
      // the batch's figures alone, and nothing known is trusted any more.
      known_.clear();
      row = b->second;
      rc = Write(*insert_[level - 1], data_id, bucket, row);
    }
    if (rc != SQLITE_OK) break;
    staged_.emplace_back(std::make_pair(level, data_id), Known{bucket, row});
  }
  buckets_.clear();
  return rc;
}

void RollupBatch::Settle(bool committed) {
  if (!committed) known_.clear();  // rolled back: what was written is not there
  for (auto& s : staged_) {
    if (committed) known_[s.first] = s.second;
  }
  staged_.clear();
}

void RollupBatch::Release() {
  for (auto& s : update_) s.reset();
  for (auto& s : insert_) s.reset();
  for (auto& s : select_) s.reset();
  version_.reset();
  known_.clear();
  staged_.clear();
  prepared_on_ = nullptr;
}

}  // namespace controller
