#include "controller/history/history_schema.h"

#include <array>

namespace controller {

int ChartLevel(const std::int64_t* prev_ms, std::int64_t ms) {
  // A row before its predecessor (the clock went back) may begin any window.
  if (!prev_ms || ms < *prev_ms || *prev_ms < 0) return kChartLevels;
  int level = 0;
  while (level < kChartLevels && ms / kChartGrainsMs[level] != *prev_ms / kChartGrainsMs[level])
    ++level;
  return level;
}

std::string ChartIndexName(int level) { return "history_chart" + std::to_string(level); }

namespace sql {

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
