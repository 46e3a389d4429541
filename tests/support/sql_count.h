// Rows read from an SQLite file by a query, as another program would read
// them. For programs that link SQLite themselves.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <string>

namespace test_support {

// The first column of the query's first row; -1 when there is none.
inline std::int64_t SqlCount(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
  const std::int64_t n = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int64(st, 0) : -1;
  sqlite3_finalize(st);
  sqlite3_close(db);
  return n;
}

// Each row of the query's answer, in order, handed to row.
inline void SqlRows(const std::string& path, const std::string& sql,
                    const std::function<void(sqlite3_stmt*)>& row) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
  while (sqlite3_step(st) == SQLITE_ROW) row(st);
  sqlite3_finalize(st);
  sqlite3_close(db);
}

}  // namespace test_support
