#include "controller/history/history_rollup.h"

#include <algorithm>

#include "controller/history/history_sql.h"

namespace controller {

namespace {

constexpr const char* kTables[kChartLevels] = {"rollup_minute", "rollup_ten_minute", "rollup_hour",
                                               "rollup_day"};

// The value columns in ReadAggregate's order, after the key.
std::string ValueColumns(const char* prefix = "") {
  std::string out = std::string(prefix) + "rows, " + prefix + "first_ms, " + prefix + "first_id";
  for (const char* part : {"_min", "_max", "_sum"}) {
    for (const zota::Measurement& m : zota::kMeasurements)
      out += std::string(", ") + prefix + m.key + part;
  }
  for (const zota::Flag& f : zota::kFlags) out += std::string(", ") + prefix + f.key + "_rows";
  return out;
}

constexpr int kValueCount = 3 + 3 * static_cast<int>(kRollupMeasures) + kRollupFlags;

// A bucket's figures added to its row (parameters as Insert's); most records
// fall in a bucket that exists, and one seek is all this costs.
std::string Update(int level) {
  std::string out = std::string("UPDATE ") + RollupTable(level) +
                    " SET rows = rows + ?3, "
                    "first_id = CASE WHEN (?4, ?5) < (first_ms, first_id) THEN ?5 ELSE first_id "
                    "END, first_ms = MIN(first_ms, ?4)";
  int p = 6;
  for (const char* part : {"_min", "_max", "_sum"}) {
    for (const zota::Measurement& m : zota::kMeasurements) {
      const std::string k = std::string(m.key) + part;
      const std::string v = "?" + std::to_string(p++);
      out += ", " + k + " = " +
             (part == std::string("_min")   ? "MIN(" + k + ", " + v + ")"
              : part == std::string("_max") ? "MAX(" + k + ", " + v + ")"
                                            : k + " + " + v);
    }
  }
  for (const zota::Flag& f : zota::kFlags) {
    const std::string k = std::string(f.key) + "_rows";
    out += ", " + k + " = " + k + " + ?" + std::to_string(p++);
  }
  return out + " WHERE data_id = ?1 AND bucket_ms = ?2";
}

std::string Insert(int level) {
  std::string out = std::string("INSERT INTO ") + RollupTable(level) + "(data_id, bucket_ms, " +
                    ValueColumns() + ") VALUES(?1";
  for (int i = 2; i <= 2 + kValueCount; ++i) out += ", ?" + std::to_string(i);
  return out + ")";
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

const char* RollupTable(int level) { return kTables[level - 1]; }

namespace sql {

std::string CreateRollup(int level) {
  std::string out = std::string("CREATE TABLE IF NOT EXISTS ") + RollupTable(level) +
                    " (data_id INTEGER NOT NULL, bucket_ms INTEGER NOT NULL, rows INTEGER NOT "
                    "NULL, first_ms INTEGER NOT NULL, first_id INTEGER NOT NULL";
  for (const char* part : {"_min", "_max", "_sum"}) {
    for (const zota::Measurement& m : zota::kMeasurements)
      out += std::string(", ") + m.key + part + " INTEGER NOT NULL";
  }
  for (const zota::Flag& f : zota::kFlags)
    out += std::string(", ") + f.key + "_rows INTEGER NOT NULL";
  // Keyed by device and time alone: no row id, no second index.
  return out + ", PRIMARY KEY (data_id, bucket_ms)) WITHOUT ROWID";
}

std::string ReadRollup(int level) {
  return "SELECT " + ValueColumns() + ", bucket_ms FROM " + RollupTable(level) +
         " WHERE data_id = ?1 AND bucket_ms >= ?2 AND bucket_ms < ?3 ORDER BY bucket_ms";
}

std::string OldestRollups(int level) {
  return std::string("SELECT bucket_ms FROM ") + RollupTable(level) +
         " WHERE data_id = ?1 ORDER BY bucket_ms LIMIT ?2";
}

std::string RemoveRollup(int level) {
  return std::string("DELETE FROM ") + RollupTable(level) +
         " WHERE data_id = ?1 AND bucket_ms = ?2";
}

std::string RemoveRollupsBefore(int level) {
  return std::string("DELETE FROM ") + RollupTable(level) +
         " WHERE data_id = ?1 AND bucket_ms < ?2";
}

std::string NextRollupDevice(int level) {
  return std::string("SELECT data_id FROM ") + RollupTable(level) +
         " WHERE data_id > ?1 ORDER BY data_id LIMIT 1";
}

}  // namespace sql

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
  for (int level = 1; level <= kChartLevels; ++level) {
    const std::int64_t grain = kChartGrainsMs[level - 1];
    // Windows counted from 1970, also for times before it.
    const std::int64_t bucket = (ms >= 0 ? ms / grain : (ms - grain + 1) / grain) * grain;
    buckets_[std::make_tuple(level, data_id, bucket)].Add(r, ms, id);
  }
}

int RollupBatch::Flush(sqlite3* db) {
  if (prepared_on_ != db) {
    Release();
    for (int level = 1; level <= kChartLevels; ++level) {
      update_[level - 1] = std::make_unique<Statement>(db, Update(level));
      insert_[level - 1] = std::make_unique<Statement>(db, Insert(level));
      if (!*update_[level - 1] || !*insert_[level - 1]) return sqlite3_errcode(db);
    }
    prepared_on_ = db;
  }
  int rc = SQLITE_OK;
  for (const auto& b : buckets_) {
    if (rc != SQLITE_OK) break;
    const Aggregate& a = b.second;
    // Added to the bucket's row, or its row made when there is none yet.
    for (Statement* s :
         {update_[std::get<0>(b.first) - 1].get(), insert_[std::get<0>(b.first) - 1].get()}) {
      s->Bind(1, std::get<1>(b.first)).Bind(2, std::get<2>(b.first));
      s->Bind(3, a.rows).Bind(4, a.first_ms).Bind(5, a.first_id);
      int i = 6;
      for (const auto* part : {&a.min, &a.max, &a.sum}) {
        for (const std::int64_t v : *part) s->Bind(i++, v);
      }
      for (const std::int64_t v : a.flag_rows) s->Bind(i++, v);
      rc = s->Step();
      s->Reset();
      if (rc != SQLITE_DONE) break;
      rc = SQLITE_OK;
      if (sqlite3_changes(db) > 0) break;
    }
  }
  buckets_.clear();
  return rc;
}

void RollupBatch::Release() {
  for (auto& s : update_) s.reset();
  for (auto& s : insert_) s.reset();
  prepared_on_ = nullptr;
}

}  // namespace controller
