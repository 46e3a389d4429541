// The day rollups earlier answers read, decoded and kept beside the shared
// reader, so that a long chart asked again (a page refreshes its charts)
// reads each day's count of records rather than all its columns. Every
// change the writer makes to a day row adds records to it, and day rows are
// never removed but with the file: a day whose count is unchanged is
// unchanged.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "controller/history/history_rollup.h"

struct sqlite3;

namespace controller {

class DayCache {
 public:
  using Fold = std::function<void(std::int64_t bucket_ms, const Aggregate& figures)>;

  // Days decoded by fields from now on: what was known by another table
  // goes. Throws std::invalid_argument for a table that is not sound.
  void Use(const FieldTable& fields) {
    if (fields == fields_) return;
    CheckRollupFields(*fields);
    Clear();
    fields_ = fields;
  }

  // The day rows of data_id with bucket_ms in [from, end), oldest first,
  // through fold; SQLite's result code (SQLITE_OK when all went).
  int Read(sqlite3* db, std::uint32_t data_id, std::int64_t from, std::int64_t end,
           const Fold& fold);
  // Another file, or the same one opened anew.
  void Clear();

 private:
  struct Day {
    std::int64_t bucket;
    Aggregate figures;
  };
  int ReadDays(sqlite3* db, std::uint32_t data_id, std::int64_t from, std::int64_t end,
               std::vector<Day>* out) const;
  int Refresh(sqlite3* db, std::uint32_t data_id, std::int64_t from, std::int64_t end,
              const std::vector<Day>& known, std::vector<Day>* span) const;
  FieldTable fields_;                                  // set by Use before a Read
  std::map<std::uint32_t, std::vector<Day>> devices_;  // each by bucket
  std::size_t days_ = 0;                               // in all devices
};

}  // namespace controller
