// Rollups: the records of each device summed up per UTC minute, ten minutes,
// hour and day (the chart windows), as exact integers in plain tables of the
// history file, so that a chart of any range reads a few rows per point and a
// decade fits where raw records would not. Kept by the writer in the same
// transaction as the records they hold; removals of records leave them be.
#pragma once

#include <array>
#include <climits>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "controller/history/history_fields.h"
#include "controller/history/history_schema.h"

struct sqlite3;

namespace controller {

class Statement;

// The figures of the records of a span, in raw counts: every record carries
// every measurement, so each measurement's count is rows. Entries past the
// field table's counts stay 0.
struct Aggregate {
  std::int64_t rows = 0;
  std::int64_t first_ms = 0;  // the span's first record, by stored time then id
  std::int64_t first_id = 0;
  std::array<std::int64_t, kMaxRollupMeasures> min{}, max{}, sum{};
  std::array<std::int64_t, kMaxRollupFlags> flag_rows{};

  void Add(const RollupValues& r, std::int64_t ms, std::int64_t id);
  void Merge(const Aggregate& o);
};

// A stored row the rollups hold (the field table's record), decoded.
bool RollupRecord(const RollupFields& f, int type, const std::vector<unsigned char>& data,
                  RollupValues* r);

// An aggregate from a statement's columns, starting at col: rows, first_ms,
// first_id, then min, max and sum per measurement, then rows per flag.
Aggregate ReadAggregate(const RollupFields& f, const Statement& s, int col);

// The records of a group folded per device and minute in memory, then
// written as one row per bucket. A device's newest minute stays open (its
// minute row alone) until its next minute begins, when the whole minute goes
// into the coarser windows: about one row a record rather than four. The
// newest bucket written per level and device, and each device's open minute,
// are known as committed, so that the next group sets a row without reading
// it or working figures out in SQL.
class RollupBatch {
 public:
  // Summing up records by fields, which must outlive the batch.
  explicit RollupBatch(const RollupFields& fields);
  ~RollupBatch();
  void Add(std::uint32_t data_id, int type, const std::vector<unsigned char>& data, std::int64_t ms,
           std::int64_t id);
  // Writes every bucket into db's rollup tables and empties the batch;
  // SQLite's result code. Settle says whether the transaction committed.
  int Flush(sqlite3* db);
  void Settle(bool committed);
  void Clear() { buckets_.clear(); }
  // After rollups were removed other than through Flush.
  void Forget() {
    known_.clear();
    open_.clear();
  }
  // Finalizes the statements, before db closes.
  void Release();

 private:
  struct Known {
    std::int64_t bucket;
    Aggregate figures;
  };
  using Key = std::pair<int, std::uint32_t>;  // level, data_id
  static constexpr std::int64_t kNoMinute = INT64_MIN;
  int Prepare(sqlite3* db);
  int ReadRow(int level, std::uint32_t data_id, std::int64_t bucket, Aggregate* row, bool* there);
  int OpenMinute(std::uint32_t data_id, std::int64_t* minute);
  void Fold(std::uint32_t data_id, std::int64_t minute, const Aggregate& figures);
  int OpenAndClose();

  const RollupFields& fields_;
  std::map<std::tuple<int, std::uint32_t, std::int64_t>, Aggregate> buckets_;
  std::map<Key, Known> known_;
  std::vector<std::pair<Key, Known>> staged_;   // written, not yet committed
  std::map<std::uint32_t, std::int64_t> open_;  // each device's open minute, as committed
  std::vector<std::pair<std::uint32_t, std::int64_t>> staged_open_;
  std::array<std::unique_ptr<Statement>, kChartLevels> update_, insert_, select_;
  std::unique_ptr<Statement> version_, open_get_, open_set_;
  std::int64_t data_version_ = -1;
  sqlite3* prepared_on_ = nullptr;
};

}  // namespace controller
