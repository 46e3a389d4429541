// Each device's newest stored record, for the cache at start.
#include <cstdint>
#include <string>

#include "controller/history/history_db.h"
#include "controller/history/history_schema.h"
#include "controller/history/history_sql.h"

namespace controller {

// Each device's newest stored row, named in history_newest: made once from
// the index by device of an older layout (or one an older version made
// again), which then goes, in one transaction.
void HistoryDb::KeepNewest() {
  const bool made = QueryInt(db(), sql::kHasNewest) == 0;
  Must(sql::kCreateNewest, "cannot create the newest-row table");
  newest_ = MustPrepare(sql::kSetNewest);
  renamed_ = MustPrepare(sql::kRenameNewest);
  if (!made && QueryInt(db(), sql::kHasDeviceIndex) == 0) return;
  Transaction fill(db());
  if (!fill.ok()) Fail("cannot fill the newest-row table");
  Must(sql::kCreateDeviceIndex, "cannot fill the newest-row table");  // a file made elsewhere
  Must(sql::kClearNewest, "cannot fill the newest-row table");
  Statement next(db(), sql::kNextDevice);
  Statement last(db(), sql::kNewestOf);
  if (!next || !last) Fail("cannot fill the newest-row table");
  std::int64_t data_id = -1;
  std::string type;
  int rc = SQLITE_ROW;
  while ((rc = next.Reset().Bind(1, data_id).Bind(2, type).Step()) == SQLITE_ROW) {
    data_id = next.Int(0);
    type = next.Text(1);
    if (!last.Reset().Bind(1, data_id).Bind(2, type).Next() ||
        newest_->Reset().Bind(1, data_id).Bind(2, type).Bind(3, last.Int(0)).Step() != SQLITE_DONE)
      Fail("cannot fill the newest-row table");
  }
  if (rc != SQLITE_DONE) Fail("cannot fill the newest-row table");
  last.Reset();  // no statement may still read while the index goes
  Must(sql::kDropDeviceIndex, "cannot fill the newest-row table");
  if (fill.Commit() != SQLITE_OK) Fail("cannot fill the newest-row table");
}

// An UPDATE first: a device's row is there but for its first record.
int HistoryDb::NameNewest(std::uint32_t data_id, const std::string& device_type, std::int64_t id) {
  int rc = renamed_->Reset().Bind(1, data_id).Bind(2, device_type).Bind(3, id).Step();
  if (rc == SQLITE_DONE && sqlite3_changes(db()) == 0)
    rc = newest_->Reset().Bind(1, data_id).Bind(2, device_type).Bind(3, id).Step();
  return rc;
}

// The older layout's index answers until the file is taken over.
void HistoryDb::PrepareLatest() {
  const bool named = QueryInt(db(), sql::kHasDeviceIndex) == 0 && QueryInt(db(), sql::kHasNewest);
  latest_ = MustPrepare(named                                            ? sql::kLatestStored
                        : QueryInt(db(), sql::HasColumn("time_ms")) != 0 ? sql::kLatest
                                                                         : sql::kLatestUntimed);
  by_time_.reset();
  if (named) by_time_ = MustPrepare(sql::kLatestByTime);
}

boost::optional<HistoryRow> HistoryDb::Latest(std::uint32_t data_id,
                                              const std::string& device_type) {
  boost::optional<HistoryRow> out;
  std::int64_t out_id = 0;
  for (Statement* s : {latest_.get(), by_time_.get()}) {
    if (!s) continue;
    s->Reset().Bind(1, data_id).Bind(2, device_type);
    const int rc = s->Step();
    if (rc == SQLITE_ROW && (!out || s->Int(3) > out_id)) {
      HistoryRow rec;
      rec.data_id = data_id;
      rec.device_type = device_type;
      rec.data = s->Blob(0);
      rec.time = s->Text(1);
      if (!s->Null(2)) {
        rec.time_ms = s->Int(2);
      } else {
        // Not filled yet: the text says the same.
        const auto parsed = ParseStoredTimeMs(rec.time);
        rec.time_ms = parsed ? *parsed : 0;
      }
      out_id = s->Int(3);
      out = std::move(rec);
    } else if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
      Seen(rc);
      s->Reset();
      Fail("cannot read the history");
    }
    s->Reset();
  }
  return out;
}

}  // namespace controller
