// The history as answers read it: rows of one device over a time range, every
// one or the first of each step, through one read-only connection of the
// readers' own that the answers take turns on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "controller/history/history_db.h"

struct sqlite3;

namespace controller {

constexpr std::size_t kDefaultHistoryLimit = 1000;
constexpr std::size_t kMaxHistoryLimit = 10000;

// What to read: the device's rows in [from_ms, to_ms], at most limit of them.
struct HistoryRange {
  std::uint32_t data_id = 0;
  std::string device_type;
  std::int64_t from_ms = 0;
  std::int64_t to_ms = 0;
  std::size_t limit = kDefaultHistoryLimit;
  long step_s = 0;  // at most one record per this many seconds; 0: every record
};

struct HistoryPage {
  std::vector<HistoryRow> rows;  // time as stored: "YYYY-MM-DDTHH:MM:SS.mmmZ"
  bool more = false;             // the range holds further records after the last row
  // With a step, the figures of each point's slice, one per row. A row with
  // no data is a slice whose records are gone but for their rollups.
  std::vector<Aggregate> slices;
};

// Rows of the device in the range, oldest first by their stored time, those
// of the same time in the order they were stored; with a step, the first row
// at or after the start of each step, its slice summed up by fields (the
// table the file's rollups were made with). Throws HistoryError when the
// database cannot be read, or a step is asked for without fields.
HistoryPage ReadHistory(const std::string& db_path, const FieldTable& fields,
                        const HistoryRange& range);

class DayCache;

// Adds to a step answer's first rows the figures of their slices, and the
// slices whose figures outlived their records (ReadHistory's own step); day
// rollups through days when given, which must belong to db's file and use fields.
void ReadSlices(sqlite3* db, const std::string& path, const RollupFields& fields,
                const HistoryRange& range, HistoryPage* page, DayCache* days = nullptr);

// Events of the event log in [from_ms, to_ms] (of one device, unless device
// is empty), oldest first: the newest limit of them, each the JSON a target got.
struct LogRange {
  std::int64_t from_ms = 0;
  std::int64_t to_ms = 0;
  std::size_t limit = kDefaultHistoryLimit;
  std::string device;
};
// A row of the log: the first event's JSON, and how often it came up to when.
struct LoggedRow {
  std::string json;
  std::int64_t count = 1;
  std::int64_t last_ms = 0;
};
std::vector<LoggedRow> ReadLog(const std::string& db_path, const LogRange& range);

}  // namespace controller
