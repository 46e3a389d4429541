#include "controller/history/history_schema.h"

#include <array>

#include "controller/common/iso_time.h"
#include "controller/history/history_fields.h"

namespace controller {

namespace {

constexpr const char* kTables[kChartLevels] = {"rollup_minute", "rollup_ten_minute", "rollup_hour",
                                               "rollup_day"};

// The value columns in ReadAggregate's order, after the key, named after the
// field table's keys.
std::string ValueColumns(const RollupFields& f, const char* prefix = "") {
  std::string out = std::string(prefix) + "rows, " + prefix + "first_ms, " + prefix + "first_id";
  for (const char* part : {"_min", "_max", "_sum"}) {
    for (const RollupFields::Measure& m : f.measures)
      out += std::string(", ") + prefix + m.key + part;
  }
  for (const RollupFields::Flag& fl : f.flags) out += std::string(", ") + prefix + fl.key + "_rows";
  return out;
}

// A device's open minute is not yet in its coarser rows: never removed.
std::string NotOpen(int level) {
  return level == 1 ? " AND NOT EXISTS(SELECT 1 FROM rollup_open o WHERE o.data_id = "
                      "rollup_minute.data_id AND o.bucket_ms = rollup_minute.bucket_ms)"
                    : "";
}

}  // namespace

boost::optional<std::int64_t> ParseStoredTimeMs(const std::string& text) {
  // SQLite's own functions write a space where ISO 8601 has a "T".
  if (text.size() > 10 && (text[10] == ' ' || text[10] == 't')) {
    std::string iso = text;
    iso[10] = 'T';
    if (!iso.empty() && iso.back() == 'z') iso.back() = 'Z';
    return ParseUtcMs(iso);
  }
  return ParseUtcMs(text);
}

boost::optional<std::int64_t> ParseUtcTimestamp(const std::string& text) {
  // A stored time always carries its time of day; a bare date is none.
  if (text.size() < 19 || text[10] != 'T') return boost::none;
  const auto ms = ParseUtcMs(text);
  if (!ms) return boost::none;
  return *ms / 1000;  // never negative: years start at 1970
}

std::int64_t WindowStart(std::int64_t ms, std::int64_t grain) {
  return (ms >= 0 ? ms / grain : (ms - grain + 1) / grain) * grain;
}

int ChartLevel(const std::int64_t* prev_ms, std::int64_t ms) {
  // A row before its predecessor (the clock went back) may begin any window.
  if (!prev_ms || ms < *prev_ms || *prev_ms < 0) return kChartLevels;
  int level = 0;
  while (level < kChartLevels &&
         WindowStart(ms, kChartGrainsMs[level]) != WindowStart(*prev_ms, kChartGrainsMs[level]))
    ++level;
  return level;
}

int LevelFor(std::int64_t step_ms) {
  for (int level = kChartLevels; level > 0; --level)
    if (step_ms % kChartGrainsMs[level - 1] == 0) return level;
  return 0;
}

std::string ChartIndexName(int level) { return "history_chart" + std::to_string(level); }

const char* RollupTable(int level) { return kTables[level - 1]; }

namespace sql {

// A bucket's row set to its new figures, known from the batch and the row as
// it was (parameters as Insert's): plain values, nothing worked out in SQL.
std::string UpdateRollup(const RollupFields& f, int level) {
  std::string out = std::string("UPDATE ") + RollupTable(level) + " SET ";
  std::string cols = ValueColumns(f);
  int p = 3;
  for (std::size_t at = 0; at != std::string::npos; ++p) {
    const std::size_t comma = cols.find(", ", at);
    out += (p > 3 ? ", " : "") + cols.substr(at, comma - at) + " = ?" + std::to_string(p);
    at = comma == std::string::npos ? comma : comma + 2;
  }
  return out + " WHERE data_id = ?1 AND bucket_ms = ?2";
}

std::string SelectRollup(const RollupFields& f, int level) {
  return "SELECT " + ValueColumns(f) + " FROM " + RollupTable(level) +
         " WHERE data_id = ?1 AND bucket_ms = ?2";
}

std::string InsertRollup(const RollupFields& f, int level) {
  std::string out = std::string("INSERT INTO ") + RollupTable(level) + "(data_id, bucket_ms, " +
                    ValueColumns(f) + ") VALUES(?1";
  for (int i = 2; i <= 2 + RollupValueCount(f); ++i) out += ", ?" + std::to_string(i);
  return out + ")";
}

std::string CreateRollup(const RollupFields& f, int level) {
  std::string out = std::string("CREATE TABLE IF NOT EXISTS ") + RollupTable(level) +
                    " (data_id INTEGER NOT NULL, bucket_ms INTEGER NOT NULL, rows INTEGER NOT "
                    "NULL, first_ms INTEGER NOT NULL, first_id INTEGER NOT NULL";
  for (const char* part : {"_min", "_max", "_sum"}) {
    for (const RollupFields::Measure& m : f.measures)
      out += ", " + m.key + part + " INTEGER NOT NULL";
  }
  for (const RollupFields::Flag& fl : f.flags) out += ", " + fl.key + "_rows INTEGER NOT NULL";
  // Keyed by device and time alone: no row id, no second index.
  return out + ", PRIMARY KEY (data_id, bucket_ms)) WITHOUT ROWID";
}

std::string ReadOpenMinute(const RollupFields& f) {
  return "SELECT " + ValueColumns(f, "m.") +
         ", m.bucket_ms FROM rollup_open o JOIN rollup_minute m ON m.data_id = o.data_id AND "
         "m.bucket_ms = o.bucket_ms WHERE o.data_id = ?1 AND o.bucket_ms >= ?2 AND o.bucket_ms < "
         "?3";
}

std::string ReadRollup(const RollupFields& f, int level) {
  return "SELECT " + ValueColumns(f) + ", bucket_ms FROM " + RollupTable(level) +
         " WHERE data_id = ?1 AND bucket_ms >= ?2 AND bucket_ms < ?3 ORDER BY bucket_ms";
}

std::string OldestRollups(int level) {
  return std::string("SELECT bucket_ms FROM ") + RollupTable(level) + " WHERE data_id = ?1" +
         NotOpen(level) + " ORDER BY bucket_ms LIMIT ?2";
}

std::string RemoveRollup(int level) {
  return std::string("DELETE FROM ") + RollupTable(level) +
         " WHERE data_id = ?1 AND bucket_ms = ?2";
}

std::string RemoveRollupsBefore(int level) {
  return std::string("DELETE FROM ") + RollupTable(level) +
         " WHERE data_id = ?1 AND bucket_ms < ?2" + NotOpen(level);
}

std::string NextRollupDevice(int level) {
  return std::string("SELECT data_id FROM ") + RollupTable(level) +
         " WHERE data_id > ?1 ORDER BY data_id LIMIT 1";
}

std::string CreateChartIndex(int level) {
  return "CREATE INDEX IF NOT EXISTS " + ChartIndexName(level) +
         " ON history(data_id, device_type, time_ms, id, record_type, time, data) WHERE "
         "chart_level >= " +
         std::to_string(level);
}

std::string HasColumn(const char* name) {
  return "SELECT COUNT(*) FROM pragma_table_info('history') WHERE name = '" + std::string(name) +
         "'";
}

std::string AddColumn(const char* name) {
  return "ALTER TABLE history ADD COLUMN " + std::string(name) + " INTEGER";
}

std::string LogHasColumn(const char* name) {
  return "SELECT COUNT(*) FROM pragma_table_info('event_log') WHERE name = '" + std::string(name) +
         "'";
}

std::string ReadLog(bool counted) {
  return std::string("SELECT json, ") +
         (counted ? "count, IFNULL(last_ms, time_ms)" : "1, time_ms") +
         " FROM event_log WHERE time_ms >= ?1 AND time_ms <= ?2 AND (?4 IS NULL OR device = ?4) "
         "ORDER BY time_ms DESC, id DESC LIMIT ?3";
}

const std::string& CountColumns() {
  static const std::string sql = [] {
    std::string s = "SELECT COUNT(*) FROM pragma_table_info('history') WHERE name IN (";
    for (const char* c : kColumns) s += std::string(s.back() == '(' ? "'" : ", '") + c + "'";
    return s + ")";
  }();
  return sql;
}

std::string VacuumPages(std::int64_t pages) {
  return "PRAGMA incremental_vacuum(" + std::to_string(pages) + ")";
}

// Made once: answers ask for them again and again.
const std::string& ChartRange(int level) {
  static const auto all = [] {
    std::array<std::string, kChartLevels + 1> s;
    for (int l = 1; l <= kChartLevels; ++l)
      s[l] = "SELECT time, record_type, data, time_ms FROM history INDEXED BY " +
             ChartIndexName(l) +
             " WHERE data_id = ?1 AND device_type = ?2 AND chart_level >= " + std::to_string(l) +
             " AND time_ms >= ?3 AND time_ms <= ?4 ORDER BY time_ms, id";
    return s;
  }();
  return all[static_cast<std::size_t>(level)];
}

}  // namespace sql

}  // namespace controller
