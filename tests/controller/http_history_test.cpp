// The history over HTTP: requests checked naming the parameter, and the rows
// read for them as JSON and CSV.
#include "controller/http/http_history.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "board_fixture.h"
#include "controller/common/iso_time.h"
#include "controller/history/history_db.h"
#include "support/expect.h"
#include "support/json.h"
#include "support/temp_dir.h"
#include "support/zota_history.h"

namespace {

using board_fixture::kRecord;
using controller::QueryParams;

std::int64_t Ms(const char* iso) { return *controller::ParseUtcMs(iso); }

struct BadQuery {
  QueryParams params;
  const char* message;
};
void PrintTo(const BadQuery& q, std::ostream* os) {
  for (const auto& p : q.params) *os << p.first << "=" << p.second << "&";
}

// Reads go to a history with rows stored at chosen times: device 7 once a
// second from 10:00:00 for 100 s, device 8 in between, and one foreign record
// of device 7.
class HttpHistoryTest : public ::testing::TestWithParam<BadQuery> {
 protected:
  void Fill(int stepped_back = 0) {
    filled_ = true;
    { controller::HistoryDb create(path_, test_support::ZotaHistory()); }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* ins = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db,
                                 "INSERT INTO history(data_id, device_type, record_type, time, "
                                 "data, time_ms) VALUES(?, 'zota_up2200', ?, ?, ?, ?)",
                                 -1, &ins, nullptr),
              SQLITE_OK);
    auto add = [&](int data_id, int type, std::int64_t ms, const std::vector<unsigned char>& d) {
      const std::string t = controller::FormatUtcMs(ms);
      sqlite3_reset(ins);
      sqlite3_bind_int(ins, 1, data_id);
      sqlite3_bind_int(ins, 2, type);
      sqlite3_bind_text(ins, 3, t.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_blob(ins, 4, d.data(), static_cast<int>(d.size()), SQLITE_TRANSIENT);
      sqlite3_bind_int64(ins, 5, ms);
      ASSERT_EQ(sqlite3_step(ins), SQLITE_DONE);
    };
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (int i = 0; i < 100; ++i) {
      std::vector<unsigned char> r = kRecord;
      r[4] = static_cast<unsigned char>(i);  // input voltage tells the row apart
      add(7, 5035, t0_ + i * 1000, r);
      add(8, 5035, t0_ + i * 1000 + 500, kRecord);
    }
    add(7, 99, t0_ + 100 * 1000, {0xAB, 0x01});
    // Stored after the clock was stepped back an hour: later ids, earlier times.
    for (int i = 0; i < stepped_back; ++i) add(7, 5035, t0_ - 3600 * 1000 + i * 1000, kRecord);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_finalize(ins);
    sqlite3_close(db);
  }

  controller::HistoryPage Read(QueryParams params) {
    if (!filled_) Fill();
    params.emplace("device", "ups");
    req_ = controller::ParseHistoryRequest(params, *board_, t0_ + 3600 * 1000);
    return controller::ReadHistory(path_, controller::ZotaRollupFields(), req_);
  }

  test_support::TempDir dir_;
  const std::string path_ = dir_.File("h.db");
  bool filled_ = false;
  const std::int64_t t0_ = Ms("2026-12-07T10:00:00Z");
  const std::shared_ptr<controller::StatusBoard> board_ = board_fixture::MakeBoard();
  controller::HistoryRequest req_;
};

TEST_P(HttpHistoryTest, RejectsARequestNamingTheParameter) {
  test_support::ExpectThrowWithMessage<controller::BadRequest>(
      [&] {
        controller::ParseHistoryRequest(GetParam().params, *board_, Ms("2026-12-07T12:00:00Z"));
      },
      GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, HttpHistoryTest,
    ::testing::Values(
        BadQuery{{}, "\"device\" is required"},
        BadQuery{{{"device", ""}}, "\"device\" is required"},
        BadQuery{{{"device", "ups2"}}, "unknown device \"ups2\""},
        BadQuery{{{"device", "ups"}, {"device", "ups"}}, "given more than once"},
        BadQuery{{{"device", "ups"}, {"form", "2026-12-07"}}, "unknown parameter \"form\""},
        BadQuery{{{"device", "ups"}, {"from", "yesterday"}}, "\"from\" must be an ISO 8601"},
        BadQuery{{{"device", "ups"}, {"to", "2026-02-30"}}, "\"to\" must be an ISO 8601"},
        BadQuery{{{"device", "ups"}, {"from", "1970-01-01T00:00:00+23:59"}},
                 "\"from\" is before 1970"},
        BadQuery{{{"device", "ups"}, {"to", "1969-12-31"}}, "\"to\" is before 1970"},
        BadQuery{{{"device", "ups"}, {"from", "2026-12-08"}, {"to", "2026-12-07"}},
                 "\"from\" is later than \"to\""},
        BadQuery{{{"device", "ups"}, {"limit", "0"}}, "\"limit\" must be a whole number"},
        BadQuery{{{"device", "ups"}, {"limit", "-5"}}, "\"limit\" must be a whole number"},
        BadQuery{{{"device", "ups"}, {"limit", "10x"}}, "\"limit\" must be a whole number"},
        BadQuery{{{"device", "ups"}, {"limit", " 10"}}, "\"limit\" must be a whole number"},
        BadQuery{{{"device", "ups"}, {"step", "1.5"}}, "\"step\" must be a whole number"},
        BadQuery{{{"device", "ups"}, {"step", "604801"}}, "\"step\" must be at most"},
        BadQuery{{{"device", "ups"}, {"format", "xml"}}, "\"format\" must be json or csv"}));

TEST_F(HttpHistoryTest, RequestDefaultsToTheLastHourAndCapsTheLimit) {
  const std::int64_t now = Ms("2026-12-07T12:00:00Z");
  const controller::HistoryRequest d =
      controller::ParseHistoryRequest({{"device", "ups"}}, *board_, now);
  EXPECT_EQ(d.data_id, 7u);
  EXPECT_EQ(d.device_type, "zota_up2200");
  EXPECT_EQ(d.to_ms, now);
  EXPECT_EQ(d.from_ms, now - 3600 * 1000);
  EXPECT_EQ(d.limit, controller::kDefaultHistoryLimit);
  EXPECT_FALSE(d.csv);
  const controller::HistoryRequest q =
      controller::ParseHistoryRequest({{"device", "ups"},
                                       {"to", "2026-12-07T10:00:00Z"},
                                       {"limit", "99999999999"},
                                       {"step", "60"},
                                       {"format", "csv"}},
                                      *board_, now);
  EXPECT_EQ(q.to_ms, Ms("2026-12-07T10:00:00Z"));
  EXPECT_EQ(q.from_ms, Ms("2026-12-07T09:00:00Z"));
  EXPECT_EQ(q.limit, controller::kMaxHistoryLimit);
  EXPECT_EQ(q.step_s, 60);
  EXPECT_TRUE(q.csv);
}

TEST_F(HttpHistoryTest, ReturnsTheRangeOfTheDeviceOnly) {
  const controller::HistoryPage p =
      Read({{"from", "2026-12-07T10:00:10Z"}, {"to", "2026-12-07T10:00:20Z"}});
  ASSERT_EQ(p.rows.size(), 11u);
  EXPECT_FALSE(p.more);
  EXPECT_EQ(p.rows.front().time, "2026-12-07T10:00:10.000Z");
  EXPECT_EQ(p.rows.back().time, "2026-12-07T10:00:20.000Z");
  for (std::size_t i = 0; i < p.rows.size(); ++i) EXPECT_EQ(p.rows[i].data[4], 10 + i);
}

TEST_F(HttpHistoryTest, StartsAtEveryPossibleOffset) {
  // The start is found by a search over ids; every start and empty ranges too.
  for (int s = 0; s <= 101; ++s) {
    const std::string from = controller::FormatUtcMs(t0_ + s * 1000 - 1);
    const controller::HistoryPage p = Read({{"from", from}, {"limit", "1"}});
    if (s <= 100) {
      ASSERT_EQ(p.rows.size(), 1u) << s;
      EXPECT_EQ(p.rows[0].time, controller::FormatUtcMs(t0_ + s * 1000)) << s;
    } else {
      EXPECT_TRUE(p.rows.empty());
    }
  }
}

TEST_F(HttpHistoryTest, LimitsAndThins) {
  const controller::HistoryPage limited = Read({{"from", "2026-12-07T10:00:00Z"}, {"limit", "5"}});
  EXPECT_EQ(limited.rows.size(), 5u);
  EXPECT_TRUE(limited.more);
  const controller::HistoryPage thinned = Read({{"from", "2026-12-07T10:00:00Z"}, {"step", "10"}});
  ASSERT_EQ(thinned.rows.size(), 11u);  // 10 buckets of records, and the foreign one
  EXPECT_EQ(thinned.rows[1].time, "2026-12-07T10:00:10.000Z");
  EXPECT_FALSE(thinned.more);
}

TEST_F(HttpHistoryTest, FindsRecordsStoredAfterAClockStepByTheirOwnTimes) {
  Fill(30);
  const controller::HistoryPage before =
      Read({{"from", "2026-12-07T08:59:00Z"}, {"to", "2026-12-07T09:00:29Z"}});
  EXPECT_EQ(before.rows.size(), 30u);
  const controller::HistoryPage after =
      Read({{"from", "2026-12-07T10:00:00Z"}, {"to", "2026-12-07T10:00:29Z"}});
  EXPECT_EQ(after.rows.size(), 30u);
  const controller::HistoryPage wide = Read({{"from", "2026-12-07T08:00:00Z"}});
  ASSERT_EQ(wide.rows.size(), 131u);
  for (std::size_t i = 1; i < wide.rows.size(); ++i)
    EXPECT_LE(wide.rows[i - 1].time, wide.rows[i].time) << i;
  const controller::HistoryPage thinned = Read({{"from", "2026-12-07T08:00:00Z"}, {"step", "60"}});
  ASSERT_EQ(thinned.rows.size(), 3u);  // 09:00, 10:00 and 10:01
  EXPECT_EQ(thinned.rows[0].time, "2026-12-07T09:00:00.000Z");
}

TEST_F(HttpHistoryTest, RendersJsonAndCsv) {
  const controller::HistoryPage p = Read({{"from", "2026-12-07T10:01:39Z"}});
  ASSERT_EQ(p.rows.size(), 2u);
  const Json::Value j = test_support::ParseJson(controller::HistoryJson(req_, p));
  EXPECT_EQ(j["count"].asInt(), 2);
  EXPECT_EQ(j["device"].asString(), "ups");
  const Json::Value& ups = j["records"][0];
  EXPECT_DOUBLE_EQ(ups["values"]["input_voltage"].asDouble(), 0x863 / 10.0);
  EXPECT_DOUBLE_EQ(ups["values"]["battery_voltage"].asDouble(), 2.05);
  EXPECT_EQ(ups["flags"].size(), 3u);
  EXPECT_EQ(ups["device_time"].asString(), "2026-12-07 10:20:30");
  EXPECT_EQ(j["records"][1]["hex"].asString(), "AB01");
  EXPECT_EQ(controller::HistoryCsv(p),
            "time,record_type,input_voltage_V,input_fault_voltage_V,output_voltage_V,"
            "output_load_pct,input_frequency_Hz,battery_voltage_V,temperature_C,state,flags,hex\r\n"
            "2026-12-07T10:01:39.000Z,5035,214.7,229.5,230.0,34.0,50.0,2.05,27.0,137,"
            "utility_failure;standby_type;beeper_on,\r\n"
            "2026-12-07T10:01:40.000Z,99,,,,,,,,,,AB01\r\n");
}

TEST_F(HttpHistoryTest, FailsOnAMissingDatabase) {
  controller::HistoryRequest r;
  r.data_id = 7;
  r.device_type = "zota_up2200";
  EXPECT_THROW(controller::ReadHistory(dir_.File("none.db"), controller::ZotaRollupFields(), r),
               controller::HistoryError);
}

}  // namespace
