// Rollups and whole-slice step answers against the same figures worked out
// from the records themselves, whatever clock steps, restarts and removals
// (by age and for space) did.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "controller/common/iso_time.h"
#include "controller/history/history_db.h"
#include "controller/history/history_reader.h"
#include "drivers/zota_up2200/zota_up2200_fields.h"
#include "support/sql_count.h"
#include "support/temp_dir.h"
#include "support/zota_history.h"

namespace {

using controller::Aggregate;
constexpr char kType[] = "zota_up2200";
constexpr std::int64_t kMin = 60 * 1000;
constexpr std::int64_t kDay = 86400 * 1000LL;
constexpr int kLevels = controller::kChartLevels;

// A record 5035 of data_id with the given raw counts and state.
std::vector<unsigned char> Record(std::uint32_t data_id, std::uint16_t v, std::uint8_t state) {
  std::vector<unsigned char> b(zota::kRecordSize, 0);
  for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>(data_id >> (8 * i));
  for (std::size_t i = 0; i < zota::kMeasurementCount; ++i) {
    const std::uint16_t raw = static_cast<std::uint16_t>(v + 37 * i);
    b[zota::kMeasurements[i].offset] = static_cast<unsigned char>(raw);
    b[zota::kMeasurements[i].offset + 1] = static_cast<unsigned char>(raw >> 8);
  }
  b[zota::kStateOffset] = state;
  return b;
}

using Key = std::pair<std::int64_t, std::int64_t>;  // id, time_ms

struct Stored {
  std::uint32_t data_id;
  std::int64_t ms;
  std::int64_t id;
  controller::RollupValues r;
};

// A record's figures by the driver's own decoding, apart from the history's.
controller::RollupValues Values(int type, const std::vector<unsigned char>& data) {
  zota::DecodedRecord d;
  controller::RollupValues v;
  if (!zota::Decode(type, data.data(), data.size(), d)) return v;
  for (std::size_t i = 0; i < zota::kMeasurementCount; ++i) v.raw[i] = d.raw[i];
  for (std::size_t i = 0; i < zota::kFlagCount; ++i) v.flag[i] = d.Has(zota::kFlags[i]);
  return v;
}

std::int64_t Floor(std::int64_t ms, std::int64_t grain) {
  return (ms >= 0 ? ms / grain : (ms - grain + 1) / grain) * grain;
}

// The figures that should be, from the records.
Aggregate Expect(const std::vector<Stored>& all, std::uint32_t data_id, std::int64_t from,
                 std::int64_t to, const std::set<Key>* only = nullptr) {
  Aggregate a;
  for (const Stored& s : all)
    if (s.data_id == data_id && s.ms >= from && s.ms <= to && (!only || only->count({s.id, s.ms})))
      a.Add(s.r, s.ms, s.id);
  return a;
}

// Part of a slice read through the rollups: its whole days, hours, ten
// minutes and minutes hold every record ever stored there; the seconds at its
// ends only the records left.
Aggregate ExpectPart(const std::vector<Stored>& all, const std::set<Key>& left, std::int64_t a,
                     std::int64_t b) {
  Aggregate out;
  if (a > b) return out;
  for (int level = kLevels; level > 0; --level) {
    const std::int64_t grain = controller::kChartGrainsMs[level - 1];
    const std::int64_t lo = (a + grain - 1) / grain * grain, hi = (b + 1) / grain * grain;
    if (lo >= hi) continue;
    out.Merge(Expect(all, 1, lo, hi - 1));
    out.Merge(ExpectPart(all, left, a, lo - 1));
    out.Merge(ExpectPart(all, left, hi, b));
    return out;
  }
  return Expect(all, 1, a, b, &left);
}

void ExpectSame(const Aggregate& got, const Aggregate& want, const std::string& where) {
  EXPECT_EQ(got.rows, want.rows) << where;
  if (got.rows != want.rows || want.rows == 0) return;
  EXPECT_EQ(got.min, want.min) << where;
  EXPECT_EQ(got.max, want.max) << where;
  EXPECT_EQ(got.sum, want.sum) << where;
  EXPECT_EQ(got.flag_rows, want.flag_rows) << where;
}

class HistoryRollupTest : public ::testing::Test {
 protected:
  // Every rollup row as the file holds it: level, device, bucket.
  std::map<std::tuple<int, std::uint32_t, std::int64_t>, Aggregate> Rollups(
      const std::string& path) {
    std::map<std::tuple<int, std::uint32_t, std::int64_t>, Aggregate> out;
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    for (int level = 1; level <= kLevels; ++level) {
      sqlite3_stmt* s = nullptr;
      const std::string sql =
          std::string("SELECT data_id, bucket_ms, rows, first_ms, first_id FROM ") +
          controller::RollupTable(level);
      sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr);
      while (sqlite3_step(s) == SQLITE_ROW) {
        Aggregate a;
        a.rows = sqlite3_column_int64(s, 2);
        a.first_ms = sqlite3_column_int64(s, 3);
        a.first_id = sqlite3_column_int64(s, 4);
        out[{level, static_cast<std::uint32_t>(sqlite3_column_int64(s, 0)),
             sqlite3_column_int64(s, 1)}] = a;
      }
      sqlite3_finalize(s);
    }
    // Each device's open minute is in its coarser windows only once closed.
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT o.data_id, o.bucket_ms, m.rows, m.first_ms, m.first_id FROM "
                       "rollup_open o JOIN rollup_minute m USING (data_id, bucket_ms)",
                       -1, &s, nullptr);
    while (sqlite3_step(s) == SQLITE_ROW) {
      Aggregate a;
      a.rows = sqlite3_column_int64(s, 2);
      a.first_ms = sqlite3_column_int64(s, 3);
      a.first_id = sqlite3_column_int64(s, 4);
      const auto data_id = static_cast<std::uint32_t>(sqlite3_column_int64(s, 0));
      for (int level = 2; level <= kLevels; ++level)
        out[{level, data_id,
             Floor(sqlite3_column_int64(s, 1), controller::kChartGrainsMs[level - 1])}]
            .Merge(a);
    }
    sqlite3_finalize(s);
    sqlite3_close(db);
    return out;
  }
  // The rows left, by id and time: an id freed by a removal may be given again.
  std::set<Key> RawIds(const std::string& path) {
    std::set<Key> out;
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "SELECT id, time_ms FROM history", -1, &s, nullptr);
    while (sqlite3_step(s) == SQLITE_ROW)
      out.insert({sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 1)});
    sqlite3_finalize(s);
    sqlite3_close(db);
    return out;
  }
  // In memory where there is some: a thousand histories synced to a disk take long.
  test_support::TempDir dir_{::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp"};
};

TEST_F(HistoryRollupTest, MatchTheRecordsThroughStepsRestartsAndRemovals) {
  constexpr int kSeeds = 1000;
  int steps = 0, restarts = 0, removals = 0, answers = 0;
  const std::int64_t now = controller::NowUtcMs();
  for (int seed = 0; seed < kSeeds; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(static_cast<unsigned>(seed));
    const std::string path = dir_.path() + "/h" + std::to_string(seed) + ".db";
    std::vector<Stored> all;
    bool room_made = false;
    std::int64_t t = now - 3 * kDay + static_cast<std::int64_t>(rng() % kDay);
    controller::HistoryLimits limits{0, 0, 0};
    auto db = std::make_unique<controller::HistoryDb>(path, test_support::ZotaHistory(limits));
    // A step answer against the figures worked out from the records.
    const auto compare = [&](long step_s, const std::set<Key>& left) {
      controller::HistoryRange range;
      range.data_id = 1;
      range.device_type = kType;
      range.from_ms = now - 4 * kDay + static_cast<std::int64_t>(rng() % kDay);
      range.to_ms = range.from_ms + 1 + static_cast<std::int64_t>(rng() % (4 * kDay));
      range.step_s = step_s;
      range.limit = controller::kMaxHistoryLimit;
      const controller::HistoryPage page =
          controller::ReadHistory(path, controller::ZotaRollupFields(), range);
      ASSERT_EQ(page.slices.size(), page.rows.size());
      const std::int64_t step_ms = step_s * 1000;
      std::map<std::int64_t, Aggregate> want;
      // Only slices holding some record can have figures: a 7 s step over days
      // has tens of thousands of empty ones.
      std::set<std::int64_t> held;
      for (const Stored& st : all)
        if (st.data_id == 1 && st.ms >= range.from_ms && st.ms <= range.to_ms)
          held.insert(st.ms / step_ms);
      for (const std::int64_t slice : held) {
        const std::int64_t a = std::max(range.from_ms, slice * step_ms);
        const std::int64_t b = std::min(range.to_ms, (slice + 1) * step_ms - 1);
        const Aggregate e =
            step_s % 60 == 0 ? ExpectPart(all, left, a, b) : Expect(all, 1, a, b, &left);
        if (e.rows > 0) want[slice] = e;
      }
      std::size_t matched = 0;
      for (std::size_t i = 0; i < page.rows.size(); ++i) {
        if (page.slices[i].rows == 0) continue;
        const std::int64_t slice = page.rows[i].time_ms / step_ms;
        ExpectSame(page.slices[i], want[slice],
                   "step " + std::to_string(step_s) + " slice " + std::to_string(slice));
        ++matched;
      }
      EXPECT_EQ(matched, want.size()) << "step " << step_s;
      ++answers;
    };
    for (int group = 0; group < 6; ++group) {
      std::vector<controller::HistoryRow> rows;
      const int n = 1 + static_cast<int>(rng() % 12);
      for (int i = 0; i < n; ++i) {
        switch (rng() % 10) {
          case 0:
            t -= static_cast<std::int64_t>(rng() % (2 * kDay));
            ++steps;
            break;  // back
          case 1:
            t += static_cast<std::int64_t>(rng() % kDay);
            ++steps;
            break;  // forward
          default:
            t += static_cast<std::int64_t>(rng() % (3 * kMin));
            break;
        }
        controller::HistoryRow r;
        r.data_id = 1 + rng() % 2;
        r.device_type = kType;
        r.record_type = zota::kRecordType;
        r.time_ms = t;
        r.data = Record(r.data_id, static_cast<std::uint16_t>(rng() % 3000),
                        static_cast<std::uint8_t>(rng() % 4 == 0 ? rng() : 0));
        rows.push_back(r);
      }
      ASSERT_EQ(db->StoreGroup(rows).code(), SQLITE_OK);
      // The group got the newest ids, in storing order.
      const std::set<Key> ids = RawIds(path);
      std::vector<std::int64_t> newest;
      for (const Key& k : ids) newest.push_back(k.first);
      std::sort(newest.begin(), newest.end());
      newest.erase(newest.begin(), newest.end() - n);
      for (int i = 0; i < n; ++i) {
        all.push_back(Stored{rows[i].data_id, rows[i].time_ms, newest[i],
                             Values(rows[i].record_type, rows[i].data)});
      }
      // Day answers between groups: days read by an earlier answer and
      // changed since are read again.
      if (!room_made) compare(86400, ids);
      switch (rng() % 4) {
        case 0: {  // a restart, removing by age what earlier runs stored over a day ago
          db.reset();
          limits.keep_days = 1;
          db = std::make_unique<controller::HistoryDb>(path, test_support::ZotaHistory(limits));
          controller::Removal removed;
          while (db->Upkeep(&removed)) {
          }
          ++restarts;
          removals += removed.count > 0;
          break;
        }
        case 1:  // made room for, as on a full disk
          if (rng() % 3 == 0) {
            controller::Removal removed;
            db->MakeRoom(&removed);
            room_made = room_made || removed.rollups > 0;
            removals += removed.count + removed.rollups > 0;
          }
          break;
        default:
          break;
      }
    }
    // Every rollup holds exactly its bucket's records; the day rollups all stay.
    const auto rollups = Rollups(path);
    std::set<std::tuple<int, std::uint32_t, std::int64_t>> buckets;
    for (const Stored& s : all)
      for (int level = 1; level <= kLevels; ++level)
        buckets.insert({level, s.data_id, Floor(s.ms, controller::kChartGrainsMs[level - 1])});
    for (const auto& b : buckets) {
      const int level = std::get<0>(b);
      const std::int64_t grain = controller::kChartGrainsMs[level - 1];
      const Aggregate want =
          Expect(all, std::get<1>(b), std::get<2>(b), std::get<2>(b) + grain - 1);
      const auto got = rollups.find(b);
      // Finer rollups given up for room may have begun again with later records.
      if (room_made && level < kLevels) {
        EXPECT_TRUE(got == rollups.end() || got->second.rows <= want.rows);
        continue;
      }
      ASSERT_NE(got, rollups.end()) << "a rollup of level " << level << " missing";
      EXPECT_EQ(got->second.rows, want.rows);
      EXPECT_EQ(got->second.first_ms, want.first_ms);
      EXPECT_EQ(got->second.first_id, want.first_id);
    }
    EXPECT_LE(rollups.size(), buckets.size());
    // Step answers: slices of whole minutes from the rollups (every record
    // ever stored), the seconds at a range's ends and other steps from the
    // records left.
    const std::set<Key> left = RawIds(path);
    db.reset();
    for (const long step_s : {60L, 600L, 3600L, 86400L, 7L, 90L}) {
      if (room_made && step_s % 60 == 0) continue;  // finer rollups were given up
      compare(step_s, left);
    }
  }
  std::printf("%d seeds: %d clock steps, %d restarts, %d removals, %d step answers compared\n",
              kSeeds, steps, restarts, removals, answers);
  EXPECT_GT(steps, 0);
  EXPECT_GT(restarts, 0);
  EXPECT_GT(removals, 0);
}

// A rollup another program changed between two groups is read again, not
// overwritten from what the writer last put there.
TEST_F(HistoryRollupTest, ReadsARowAnotherProgramChanged) {
  const std::string path = dir_.path() + "/h.db";
  controller::HistoryDb db(path, test_support::ZotaHistory({0, 0, 0}));
  const std::int64_t hour = Floor(controller::NowUtcMs() - kDay, 3600 * 1000LL);
  const auto store = [&](std::int64_t ms) {
    controller::HistoryRow r;
    r.data_id = 1;
    r.device_type = kType;
    r.record_type = zota::kRecordType;
    r.time_ms = ms;
    r.data = Record(1, 2300, 0);
    return db.StoreGroup({r}).code();
  };
  ASSERT_EQ(store(hour), SQLITE_OK);
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(
      sqlite3_exec(other, "UPDATE rollup_minute SET rows = rows + 1000", nullptr, nullptr, nullptr),
      SQLITE_OK);
  sqlite3_close(other);
  ASSERT_EQ(store(hour + 1000), SQLITE_OK);
  EXPECT_EQ((Rollups(path)[{1, 1u, hour}].rows), 1002);
  EXPECT_EQ((Rollups(path)[{3, 1u, hour}].rows), 1002);
}

}  // namespace

namespace {

// A day of 1 s records, a 240-record utility failure 3 minutes into a
// 10-minute slice, and single-record UPS failures at the first, a middle and
// the last record of other slices: in every layout a file may come in, once
// taken over, every kind of step shows them all.
class HistoryTakeoverTest : public HistoryRollupTest, public ::testing::WithParamInterface<int> {};

TEST_P(HistoryTakeoverTest, ShowsEveryFailureAtEveryStep) {
  const std::string path = dir_.path() + "/day.db";
  const std::int64_t day = Floor(controller::NowUtcMs() - 2 * kDay, kDay);
  const std::int64_t fail_from = day + 3 * 3600 * 1000LL + 3 * kMin;  // 3 min into its slice
  const std::int64_t dips[] = {day + 5 * 3600 * 1000LL, day + 6 * 3600 * 1000LL + 300 * 1000,
                               day + 7 * 3600 * 1000LL + 599 * 1000};
  const std::uint8_t utility = zota::kFlags[0].bit, failed = zota::kFlags[3].bit;
  std::vector<controller::HistoryRow> rows;
  for (std::int64_t ms = day; ms < day + kDay; ms += 1000) {
    controller::HistoryRow r;
    r.data_id = 1;
    r.device_type = kType;
    r.record_type = zota::kRecordType;
    r.time_ms = ms;
    const bool out = ms >= fail_from && ms < fail_from + 240 * 1000;
    const bool dip = std::find(std::begin(dips), std::end(dips), ms) != std::end(dips);
    r.data = Record(1, out || dip ? 0 : 2300, out ? utility : dip ? failed : 0);
    rows.push_back(std::move(r));
  }
  {
    controller::HistoryDb db(path, test_support::ZotaHistory({0, 0, 0}));
    for (std::size_t i = 0; i < rows.size(); i += 4096) {
      std::vector<controller::HistoryRow> group(rows.begin() + i,
                                                rows.begin() + std::min(rows.size(), i + 4096));
      ASSERT_EQ(db.StoreGroup(group).code(), SQLITE_OK);
    }
  }
  // Back to the layout of an earlier release: before rollups, before
  // chart_level, before time_ms.
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
  std::string sql = "DROP TABLE rollup_fill; DROP TABLE rollup_open;";
  for (int level = 1; level <= kLevels; ++level)
    sql += std::string("DROP TABLE ") + controller::RollupTable(level) + ";";
  for (int level = 1; GetParam() >= 1 && level <= kLevels; ++level)
    sql += "DROP INDEX history_chart" + std::to_string(level) + ";";
  if (GetParam() >= 1)
    sql += "DROP INDEX history_unlevelled; ALTER TABLE history DROP COLUMN chart_level;";
  if (GetParam() >= 2) sql += "DROP INDEX history_time; ALTER TABLE history DROP COLUMN time_ms;";
  ASSERT_EQ(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
      << sqlite3_errmsg(raw);
  sqlite3_close(raw);
  {
    controller::HistoryDb db(path, test_support::ZotaHistory({0, 0, 0}));
    controller::Removal removed;
    for (int i = 0; i < 1000 && db.Upkeep(&removed); ++i) {
    }
  }
  for (const long step_s : {60L, 600L, 3600L, 86400L, 7L}) {
    controller::HistoryRange range;
    range.data_id = 1;
    range.device_type = kType;
    range.from_ms = day;
    range.to_ms = day + kDay - 1;
    range.step_s = step_s;
    range.limit = controller::kMaxHistoryLimit;
    const controller::HistoryPage page =
        controller::ReadHistory(path, controller::ZotaRollupFields(), range);
    std::int64_t outage = 0, failures = 0;
    std::set<std::int64_t> dipped;
    for (std::size_t i = 0; i < page.slices.size(); ++i) {
      const Aggregate& a = page.slices[i];
      outage += a.flag_rows[0];
      failures += a.flag_rows[3];
      if (a.flag_rows[3] > 0 && a.min[0] == 0)
        dipped.insert(page.rows[i].time_ms / (step_s * 1000));
      if (a.flag_rows[0] > 0) {
        EXPECT_EQ(a.min[0], 0) << "step " << step_s;
      }
    }
    EXPECT_EQ(outage, 240) << "step " << step_s;
    EXPECT_EQ(failures, 3) << "step " << step_s;
    std::set<std::int64_t> want;
    for (const std::int64_t ms : dips) want.insert(ms / (step_s * 1000));
    EXPECT_EQ(dipped, want) << "step " << step_s;
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, HistoryTakeoverTest, ::testing::Values(0, 1, 2));

}  // namespace

// A table the history cannot hold is refused, naming what is wrong, even when
// handed to a history unchecked; a record
// of another type or size is not decoded.
TEST(RollupFieldsTest, RefusesBadTablesAndForeignRecords) {
  const controller::RollupFields good = *controller::ZotaRollupFields();
  test_support::TempDir dir;
  const auto refused = [&](void (*spoil)(controller::RollupFields&), const char* names) {
    controller::RollupFields f = good;
    spoil(f);
    try {
      controller::CheckedFields(f);
      ADD_FAILURE() << "accepted: " << names;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(names), std::string::npos) << e.what();
    }
    // Made by hand, unchecked: a history checks it all the same.
    const controller::HistoryOptions unchecked{{}, std::make_shared<controller::RollupFields>(f)};
    EXPECT_THROW(controller::HistoryDb(dir.File("h.db"), unchecked), std::invalid_argument);
  };
  refused([](controller::RollupFields& f) { f.measures[0].offset = f.record_size - 1; },
          "input_voltage");
  refused([](controller::RollupFields& f) { f.measures[1].key = "x; DROP"; }, "x; DROP");
  refused([](controller::RollupFields& f) { f.state_offset = f.record_size; }, "state byte");
  refused([](controller::RollupFields& f) { f.flags.resize(controller::kMaxRollupFlags + 1); },
          "flags");
  controller::RollupValues v;
  const std::vector<unsigned char> rec = Record(1, 2300, 0x80);
  EXPECT_FALSE(controller::DecodeRollup(good, good.record_type + 1, rec.data(), rec.size(), &v));
  EXPECT_FALSE(controller::DecodeRollup(good, good.record_type, rec.data(), rec.size() - 1, &v));
  ASSERT_TRUE(controller::DecodeRollup(good, good.record_type, rec.data(), rec.size(), &v));
  EXPECT_EQ(v.raw[0], 2300);
  EXPECT_TRUE(v.flag[0]);
}

// Two histories of one process, each with the table it was given: the
// columns are named and the records summed up by it, whatever the other holds.
TEST(RollupFieldsTest, EachHistoryKeepsItsOwnTable) {
  test_support::TempDir dir;
  controller::RollupFields tank;
  tank.record_type = 77;
  tank.record_size = 3;
  tank.state_offset = 2;
  tank.measures = {{"level", 0}};
  tank.flags = {{"wet", 0x01}};
  const controller::HistoryOptions tank_options{{0, 0, 0}, controller::CheckedFields(tank)};
  controller::HistoryDb other(dir.File("tank.db"), tank_options);
  controller::HistoryDb ups(dir.File("ups.db"), test_support::ZotaHistory({0, 0, 0}));
  const std::int64_t ms = controller::NowUtcMs() / kMin * kMin;
  controller::HistoryRow row{5, 77, "tank", ms, "", {0x10, 0x01, 0x01}};
  ASSERT_TRUE(other.StoreGroup({row}).ok());
  row.record_type = zota::kRecordType;
  row.data = Record(5, 2300, 0x80);
  ASSERT_TRUE(ups.StoreGroup({row}).ok());
  const auto sum = [](const std::string& path, const char* column) {
    return test_support::SqlCount(path, std::string("SELECT ") + column + " FROM rollup_minute");
  };
  EXPECT_EQ(sum(dir.File("tank.db"), "level_sum"), 0x110);
  EXPECT_EQ(sum(dir.File("tank.db"), "wet_rows"), 1);
  EXPECT_EQ(sum(dir.File("ups.db"), "input_voltage_sum"), 2300);
  controller::HistoryRange range{5, "tank", ms, ms + kMin - 1, 10, 60};
  const controller::HistoryPage page =
      controller::ReadHistory(dir.File("tank.db"), tank_options.fields, range);
  ASSERT_EQ(page.slices.size(), 1u);
  EXPECT_EQ(page.slices[0].sum[0], 0x110);
  EXPECT_THROW(controller::ReadHistory(dir.File("tank.db"), nullptr, range),
               controller::HistoryError);
}
