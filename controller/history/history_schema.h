// The history file's layout in one place: the table, its columns and
// indexes, the chart levels, and the text of every statement run on it.
#pragma once

#include <boost/optional.hpp>
#include <cstdint>
#include <string>

namespace controller {

struct RollupFields;

// Time windows a chart's step can be a whole number of, finest first, each a
// whole number of the one before and all counted from 1970. A row's
// chart_level says how many of them (from the finest) it may be the first row
// of, for its device: the first row of every window of a device has at least
// that window's level, so a chart whose step is a multiple of a window reads
// only the rows of that level.
constexpr std::int64_t kChartGrainsMs[] = {60 * 1000, 600 * 1000, 3600 * 1000, 86400 * 1000};
constexpr int kChartLevels = static_cast<int>(sizeof kChartGrainsMs / sizeof kChartGrainsMs[0]);

// The start of the window of grain ms that holds ms, counted from 1970, also
// for times before it.
std::int64_t WindowStart(std::int64_t ms, std::int64_t grain);

// The level of a row stored at ms after a row of the same device stored at
// *prev_ms (null: none known, so it may be the first of any window).
int ChartLevel(const std::int64_t* prev_ms, std::int64_t ms);

// The coarsest level whose window a chart's step is a whole number of; 0 when
// none is.
int LevelFor(std::int64_t step_ms);

// Milliseconds since 1970 of a time text as SQLite or another program writes
// it: "YYYY-MM-DD HH:MM:SS" with "T" or a space, with or without fractions and
// a zone; none when it cannot be read.
boost::optional<std::int64_t> ParseStoredTimeMs(const std::string& text);

// Seconds since 1970 of a stored time text as this program writes it,
// "YYYY-MM-DDTHH:MM:SS.mmmZ" (fraction ignored); none when the text is not one.
boost::optional<std::int64_t> ParseUtcTimestamp(const std::string& text);

// The partial index of the rows of a level (1 to kChartLevels), which charts
// read along: history_chart1 to history_chart4.
std::string ChartIndexName(int level);

// Level 1 to kChartLevels: rollup_minute, rollup_ten_minute, rollup_hour, rollup_day.
const char* RollupTable(int level);

namespace sql {

// time_ms is the stored time in milliseconds since 1970 (UTC); time keeps the
// same time as text for readers of the file; chart_level (ChartLevel) lets a
// chart read only the first rows of its windows. A table made before these
// existed gets the columns added and filled by the writer (Upkeep).
inline constexpr char kCreateTable[] =
    "CREATE TABLE IF NOT EXISTS history ("
    " id INTEGER PRIMARY KEY,"
    " data_id INTEGER NOT NULL,"
    " device_type TEXT NOT NULL,"
    " record_type INTEGER NOT NULL,"
    " time TEXT NOT NULL,"
    " data BLOB NOT NULL,"
    " time_ms INTEGER,"
    " chart_level INTEGER)";
// The columns every history has, and those a table of an older version gains.
inline constexpr const char* kColumns[] = {"id",          "data_id", "device_type",
                                           "record_type", "time",    "data"};
inline constexpr const char* kAddedColumns[] = {"time_ms", "chart_level"};
inline constexpr int kTimeIndexColumns = 2;  // history_time: (data_id, time_ms)

// By device in time (ranges, steps and removals); the rows whose time_ms or
// chart_level is still to be filled (history_unlevelled) and those of each
// chart level have indexes of their own. Each device's newest stored row is
// named in a table of its own (history_newest) instead of an index by device
// in storing order: that index put one more page of every device into each
// commit.
inline constexpr const char* kCreateIndexes[] = {
    // Partial: taking over an older file adds no entry until a row is filled.
    // Whole numbers only, as they compare fastest; the row id it ends with
    // keeps rows of the same time in storing order.
    ("CREATE INDEX IF NOT EXISTS history_time ON history(data_id, time_ms) "
     "WHERE time_ms IS NOT NULL"),
    // Rows still to be filled were found by their time alone before chart_level.
    "DROP INDEX IF EXISTS history_unfilled",
    "CREATE INDEX IF NOT EXISTS history_unlevelled ON history(id) WHERE chart_level IS NULL"};
inline constexpr char kTimeIndexWidth[] = "SELECT COUNT(*) FROM pragma_index_info('history_time')";
inline constexpr char kDropTimeIndex[] = "DROP INDEX history_time";
// One per chart level, holding the whole answer of a chart point, so that a
// chart reads along one of these and never the table; a few hundredths of the
// rows at most (those of a 1 s poll that begin a minute).
std::string CreateChartIndex(int level);
// Whether the table has the column, and the statement that adds it.
std::string HasColumn(const char* name);
std::string AddColumn(const char* name);
inline constexpr char kTableInfo[] = "PRAGMA table_info(history)";
// How many of kColumns a file's history table has (HoldsHistory).
const std::string& CountColumns();

// The connection as the writer keeps it. auto_vacuum first: once a
// transaction or the log has begun, SQLite ignores it, and only a new file
// can hand freed pages back; an older one reuses them.
inline constexpr char kIncrementalVacuum[] = "PRAGMA auto_vacuum=INCREMENTAL";
// WAL appends each commit instead of rewriting pages; FULL syncs the log at
// every commit, which costs little now that records are committed in groups
// and keeps a power cut from losing more than the group being written.
inline constexpr char kWal[] = "PRAGMA journal_mode=WAL";
inline constexpr char kSyncFull[] = "PRAGMA synchronous=FULL";
// The log is cut back after each checkpoint instead of keeping its peak size,
inline constexpr char kLogLimit[] = "PRAGMA journal_size_limit=4194304";
// and checkpointed at about 1 MiB: what a checkpoint adds to the file stays
// near the reserve kept beside it for a full disk.
inline constexpr char kLogPages[] = "PRAGMA wal_autocheckpoint=256";
// Room for the pages of a week chart (two per point, about 8 MiB on a week of
// 1 s records) to stay cached in the reader from one answer to the next.
inline constexpr char kReaderCache[] = "PRAGMA cache_size=-16384";

inline constexpr char kAutoVacuum[] = "PRAGMA auto_vacuum";
inline constexpr char kPageSize[] = "PRAGMA page_size";
inline constexpr char kPageCount[] = "PRAGMA page_count";
inline constexpr char kFreePages[] = "PRAGMA freelist_count";
inline constexpr char kVacuum[] = "PRAGMA incremental_vacuum";
std::string VacuumPages(std::int64_t pages);
inline constexpr char kQuickCheck[] = "PRAGMA quick_check(1)";

inline constexpr char kAnyUnlevelled[] =
    "SELECT EXISTS(SELECT 1 FROM history WHERE chart_level IS NULL)";
inline constexpr char kNextId[] = "SELECT COALESCE(MAX(id), 0) + 1 FROM history";
inline constexpr char kMinId[] = "SELECT MIN(id) FROM history";
inline constexpr char kMaxId[] = "SELECT MAX(id) FROM history";

// Storing, and the cache's newest record.
inline constexpr char kInsert[] =
    "INSERT INTO history(data_id, device_type, record_type, time, data, time_ms, chart_level) "
    "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)";
// Through the index of an older layout (without time_ms: Untimed), until the
// file is taken over.
inline constexpr char kLatest[] =
    "SELECT data, time, time_ms, id FROM history WHERE data_id = ?1 AND device_type = ?2 "
    "ORDER BY id DESC LIMIT 1";
inline constexpr char kLatestUntimed[] =
    "SELECT data, time, NULL, id FROM history WHERE data_id = ?1 AND device_type = ?2 "
    "ORDER BY id DESC LIMIT 1";
// Then the row history_newest names, or (that row removed) the newest by
// time, whichever was stored later. A row id may be used again once its row
// was removed: the row must still be the device's.
inline constexpr char kLatestByTime[] =
    "SELECT data, time, time_ms, id FROM history WHERE data_id = ?1 AND device_type = ?2 AND "
    "time_ms IS NOT NULL ORDER BY time_ms DESC, id DESC LIMIT 1";
inline constexpr char kLatestStored[] =
    "SELECT h.data, h.time, h.time_ms, h.id FROM history_newest n JOIN history h ON h.id = n.id "
    "AND h.data_id = n.data_id AND h.device_type = n.device_type WHERE n.data_id = ?1 AND "
    "n.device_type = ?2";

// Names the newest stored row of each device: a small table, where an index
// by device in storing order put one more page of every device into each
// commit. Rows another program added are named as they are filled. Made
// from the older layout's index by device, which then goes; an older version
// that makes that index again has it made anew.
inline constexpr char kCreateNewest[] =
    "CREATE TABLE IF NOT EXISTS history_newest (data_id INTEGER NOT NULL, device_type TEXT NOT "
    "NULL, id INTEGER NOT NULL, PRIMARY KEY(data_id, device_type)) WITHOUT ROWID";
inline constexpr char kHasNewest[] =
    "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = 'history_newest'";
inline constexpr char kHasDeviceIndex[] =
    "SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND name = 'history_device'";
inline constexpr char kCreateDeviceIndex[] =
    "CREATE INDEX IF NOT EXISTS history_device ON history(data_id, device_type, id)";
inline constexpr char kDropDeviceIndex[] = "DROP INDEX history_device";
inline constexpr char kClearNewest[] = "DELETE FROM history_newest";
inline constexpr char kNextDevice[] =
    "SELECT data_id, device_type FROM history WHERE (data_id, device_type) > (?1, ?2) "
    "ORDER BY data_id, device_type LIMIT 1";
inline constexpr char kNewestOf[] =
    "SELECT MAX(id) FROM history WHERE data_id = ?1 AND device_type = ?2";
inline constexpr char kRenameNewest[] =
    "UPDATE history_newest SET id = ?3 WHERE data_id = ?1 AND device_type = ?2";
inline constexpr char kSetNewest[] =
    "INSERT INTO history_newest(data_id, device_type, id) VALUES(?1, ?2, ?3) "
    "ON CONFLICT(data_id, device_type) DO UPDATE SET id = MAX(id, excluded.id)";

// Filling taken-over rows, in storing order.
inline constexpr char kUnfilled[] =
    "SELECT id, data_id, device_type, time, time_ms, record_type, data FROM history "
    "WHERE chart_level IS NULL ORDER BY id LIMIT ?1";
inline constexpr char kSetTime[] =
    "UPDATE history SET time_ms = ?1, chart_level = ?2 WHERE id = ?3";
// Apart, so that a row with its time already leaves the time index alone.
inline constexpr char kSetLevel[] = "UPDATE history SET chart_level = ?2 WHERE id = ?3";

// Removal by age, data id by data id (kNextData) along the time index; a
// removal returns what its rows began.
inline constexpr char kAnyOld[] =
    "SELECT 1 FROM history WHERE data_id = ?1 AND time_ms < ?2 AND id < ?3 LIMIT 1";
inline constexpr char kRemoveOld[] =
    "DELETE FROM history WHERE id IN (SELECT id FROM history WHERE data_id = ?1 AND "
    "time_ms < ?2 AND id < ?3 ORDER BY time_ms LIMIT ?4) "
    "RETURNING time_ms, data_id, device_type, chart_level, id";
// The first row left in a window whose first row went takes over its level.
// Rows not yet filled are left to the filling.
inline constexpr char kRelevel[] =
    "UPDATE history SET chart_level = ?5 WHERE id = (SELECT id FROM history WHERE data_id = ?1 "
    "AND device_type = ?2 AND time_ms >= ?3 AND time_ms < ?4 ORDER BY time_ms, id LIMIT 1) "
    "AND chart_level < ?5";

// Removal for space, in its order (RoomOrder).
inline constexpr char kNextData[] =
    "SELECT data_id FROM history WHERE time_ms IS NOT NULL AND data_id > ?1 "
    "ORDER BY data_id LIMIT 1";
inline constexpr char kNewest[] =
    "SELECT MAX(time_ms) FROM history WHERE data_id = ?1 AND time_ms IS NOT NULL";
inline constexpr char kByTime[] =
    "SELECT id, time_ms FROM history WHERE data_id = ?1 AND time_ms IS NOT NULL "
    "ORDER BY time_ms, id";
inline constexpr char kById[] = "SELECT id FROM history ORDER BY id LIMIT ?1";
inline constexpr char kRemoveId[] =
    "DELETE FROM history WHERE id = ?1 RETURNING time_ms, data_id, device_type, chart_level, id";

// Answers: rows of a device in time order through the (data_id, time_ms)
// index; rows stored at the same time keep their storing order. Rows whose
// time_ms is not yet filled in are not found.
inline constexpr char kRange[] =
    "SELECT time, record_type, data, time_ms FROM history WHERE data_id = ?1 AND "
    "device_type = ?2 AND time_ms >= ?3 AND time_ms <= ?4 ORDER BY time_ms, id LIMIT ?5";
// The rows of a chart level along its index, with the same columns.
const std::string& ChartRange(int level);
// Levels are only to be trusted once every row has one.
inline constexpr char kAllLevelled[] =
    "SELECT NOT EXISTS(SELECT 1 FROM history INDEXED BY history_unlevelled "
    "WHERE chart_level IS NULL)";

// The rollups: per level, device (data_id) and window (bucket_ms) the count of
// records, the first by stored time then id, and per measurement the min,
// max and sum of raw counts, per flag the records that had it, named after
// the keys of the field table f.
std::string CreateRollup(const RollupFields& f, int level);
// A bucket's row set whole, made, and read by key (?1 data_id, ?2 bucket_ms,
// then the columns as ReadRollup's).
std::string UpdateRollup(const RollupFields& f, int level);
std::string InsertRollup(const RollupFields& f, int level);
std::string SelectRollup(const RollupFields& f, int level);
// Rows of a device with bucket_ms in [?2, ?3), in time order; columns as ReadAggregate.
std::string ReadRollup(const RollupFields& f, int level);
// The oldest buckets of a device (?1), at most ?2; and one removed by key.
std::string OldestRollups(int level);
std::string RemoveRollup(int level);
// Removal by age: a device's buckets before ?2; the next device after ?1.
std::string RemoveRollupsBefore(int level);
std::string NextRollupDevice(int level);
// Rows of an older file still to be folded in: ids [next_id, last_id].
inline constexpr char kCreateRollupFill[] =
    "CREATE TABLE IF NOT EXISTS rollup_fill (next_id INTEGER NOT NULL, last_id INTEGER NOT NULL)";
inline constexpr char kRollupFill[] = "SELECT next_id, last_id FROM rollup_fill";
inline constexpr char kAnyRollupFill[] = "SELECT EXISTS(SELECT 1 FROM rollup_fill)";
inline constexpr char kStartRollupFill[] =
    "INSERT INTO rollup_fill(next_id, last_id) SELECT MIN(id), MAX(id) FROM history "
    "WHERE chart_level IS NOT NULL HAVING COUNT(*) > 0";
inline constexpr char kSetRollupFill[] = "UPDATE rollup_fill SET next_id = ?1";
inline constexpr char kEndRollupFill[] = "DELETE FROM rollup_fill";
// Rows already levelled when the rollups came, in storing order.
inline constexpr char kRollupUnfolded[] =
    "SELECT id, data_id, record_type, data, time_ms FROM history WHERE id >= ?1 AND id <= ?2 "
    "AND chart_level IS NOT NULL AND time_ms IS NOT NULL ORDER BY id LIMIT ?3";

// Each device's open minute: its newest, whose figures are in its minute row
// and not yet in its ten-minute, hour and day rows (folded in once the
// device's next minute begins), so that a record updates one row, not four.
inline constexpr char kCreateRollupOpen[] =
    "CREATE TABLE IF NOT EXISTS rollup_open (data_id INTEGER PRIMARY KEY, bucket_ms INTEGER NOT "
    "NULL)";
inline constexpr char kOpenMinute[] = "SELECT bucket_ms FROM rollup_open WHERE data_id = ?1";
inline constexpr char kSetOpenMinute[] =
    "INSERT OR REPLACE INTO rollup_open(data_id, bucket_ms) VALUES(?1, ?2)";
// The open minute's row of a device (?1) when it lies in [?2, ?3), columns as
// ReadRollup's.
std::string ReadOpenMinute(const RollupFields& f);

// A device's (?1) day rollups in [?2, ?3): each day's count alone.
inline constexpr char kDayCounts[] =
    "SELECT bucket_ms, rows FROM rollup_day WHERE data_id = ?1 AND bucket_ms >= ?2 AND "
    "bucket_ms < ?3 ORDER BY bucket_ms";

// The event log: what was told to the operator and the targets, each event's
// JSON as the targets got it, kept as long as the records of its time and
// within its own bounds (log_keep_days, a share of max_mb). A row may count
// repeats of its event (count, last_ms: the newest repeat's time; repeat_of:
// the condition they share, NULL for a row that takes none); time_ms stays the
// first's, and is the row's time for ranges and removals. A log of an older
// layout gains these columns at start, its rows counting one each.
inline constexpr char kCreateLog[] =
    "CREATE TABLE IF NOT EXISTS event_log ("
    " id INTEGER PRIMARY KEY,"
    " time_ms INTEGER NOT NULL,"
    " event TEXT NOT NULL,"
    " device TEXT NOT NULL,"
    " data_id INTEGER NOT NULL,"
    " json TEXT NOT NULL,"
    " count INTEGER NOT NULL DEFAULT 1,"
    " last_ms INTEGER,"
    " repeat_of TEXT)";
// Name, then the definition ADD COLUMN gives it.
inline constexpr const char* kLogAddedColumns[][2] = {{"count", "count INTEGER NOT NULL DEFAULT 1"},
                                                      {"last_ms", "last_ms INTEGER"},
                                                      {"repeat_of", "repeat_of TEXT"}};
std::string LogHasColumn(const char* name);
inline constexpr const char* kCreateLogIndexes[] = {
    "CREATE INDEX IF NOT EXISTS event_log_time ON event_log(time_ms)",
    // The few rows that take repeats, by device and event in time.
    ("CREATE INDEX IF NOT EXISTS event_log_repeat ON event_log(data_id, event, time_ms) "
     "WHERE repeat_of IS NOT NULL")};
inline constexpr char kInsertLog[] =
    "INSERT INTO event_log(time_ms, event, device, data_id, json, repeat_of) "
    "VALUES(?1, ?2, ?3, ?4, ?5, NULLIF(?6, ''))";
// A repeat at ?1 counted in the newest row of its event, device and condition
// whose first time lies in (?1 - ?7, ?1]; no change when there is none.
inline constexpr char kCountRepeat[] =
    "UPDATE event_log SET count = count + 1, last_ms = MAX(IFNULL(last_ms, time_ms), ?1) "
    "WHERE id = (SELECT id FROM event_log WHERE data_id = ?4 AND event = ?2 AND "
    "time_ms > ?1 - ?7 AND time_ms <= ?1 AND repeat_of IS NOT NULL AND repeat_of = ?6 AND "
    "device = ?3 ORDER BY time_ms DESC, id DESC LIMIT 1)";
inline constexpr char kOldestOf[] =
    "SELECT MIN(time_ms) FROM history WHERE data_id = ?1 AND time_ms IS NOT NULL";
// The newest of a range, newest first (limit keeps the newest); ?4 NULL: any
// device. Columns: json, count, the newest time; a log not yet taken over
// (counted false) has no counts.
std::string ReadLog(bool counted);

// The event log's removals, a bounded batch per statement: the oldest events
// (?2 at most) older than ?1, with an id under ?3.
inline constexpr char kRemoveEvents[] =
    "DELETE FROM event_log WHERE id IN (SELECT id FROM event_log WHERE time_ms < ?1 "
    "AND id < ?3 ORDER BY time_ms, id LIMIT ?2)";
inline constexpr char kNextEventId[] = "SELECT IFNULL(MAX(id), 0) + 1 FROM event_log";
inline constexpr char kLogSpan[] = "SELECT IFNULL(MAX(id) - MIN(id) + 1, 0) FROM event_log";
// The bytes of an event, about, from the newest 100 (columns, key and indexes).
inline constexpr char kLogRowBytes[] =
    "SELECT IFNULL(AVG(LENGTH(json) + LENGTH(event) + LENGTH(device) + "
    "IFNULL(LENGTH(repeat_of) + LENGTH(event) + 12, 0)), 0) + 56 FROM "
    "(SELECT json, event, device, repeat_of FROM event_log ORDER BY id DESC LIMIT 100)";
inline constexpr char kOldestEvent[] =
    "SELECT IFNULL(MIN(time_ms), 9223372036854775807) FROM event_log";

}  // namespace sql

}  // namespace controller
