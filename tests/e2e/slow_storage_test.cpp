// Slow storage, as on a board's SD card: every sync of the history takes 50 ms.
// 200 simulated UPSs polled every second for 30 s must still be polled on time,
// and every published record must be stored.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "controller/app/qdx_controller.h"
#include "support/stdout.h"
#include "support/temp_dir.h"

namespace {

constexpr int kDevices = 200;
constexpr double kSeconds = 30.0;
constexpr auto kSyncDelay = std::chrono::milliseconds(50);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Instrumented builds check the memory and threads, not the timing.
constexpr auto kMaxPollDelay = std::chrono::milliseconds(250);
#else
constexpr auto kMaxPollDelay = std::chrono::milliseconds(50);
#endif

// A VFS that passes everything to the default one but sleeps in every sync.
std::atomic<long> g_syncs{0};
sqlite3_vfs* g_real = nullptr;
sqlite3_vfs g_slow;
sqlite3_io_methods g_methods;

struct SlowFile {
  sqlite3_file base;  // first, so SQLite's pointer is ours
  sqlite3_file* real;
};

sqlite3_file* Real(sqlite3_file* f) { return reinterpret_cast<SlowFile*>(f)->real; }

int SlowSync(sqlite3_file* f, int flags) {
  ++g_syncs;
  std::this_thread::sleep_for(kSyncDelay);
  return Real(f)->pMethods->xSync(Real(f), flags);
}

int SlowClose(sqlite3_file* f) {
  sqlite3_file* real = Real(f);
  const int rc = real->pMethods ? real->pMethods->xClose(real) : SQLITE_OK;
  sqlite3_free(real);
  return rc;
}

int SlowOpen(sqlite3_vfs*, const char* name, sqlite3_file* f, int flags, int* out_flags) {
  auto* file = reinterpret_cast<SlowFile*>(f);
  file->base.pMethods = nullptr;
  file->real = static_cast<sqlite3_file*>(sqlite3_malloc(g_real->szOsFile));
  if (!file->real) return SQLITE_NOMEM;
  const int rc = g_real->xOpen(g_real, name, file->real, flags, out_flags);
  if (rc != SQLITE_OK || !file->real->pMethods) {
    sqlite3_free(file->real);
    return rc;
  }
  // Every method but sync and close forwards to the real file's own.
  g_methods = *file->real->pMethods;
#define FORWARD(name, ...) \
  [](sqlite3_file* x, auto... a) { return Real(x)->pMethods->name(Real(x), a...); }
  g_methods.xRead = FORWARD(xRead);
  g_methods.xWrite = FORWARD(xWrite);
  g_methods.xTruncate = FORWARD(xTruncate);
  g_methods.xFileSize = FORWARD(xFileSize);
  g_methods.xLock = FORWARD(xLock);
  g_methods.xUnlock = FORWARD(xUnlock);
  g_methods.xCheckReservedLock = FORWARD(xCheckReservedLock);
  g_methods.xFileControl = FORWARD(xFileControl);
  g_methods.xSectorSize = FORWARD(xSectorSize);
  g_methods.xDeviceCharacteristics = FORWARD(xDeviceCharacteristics);
  g_methods.xShmMap = FORWARD(xShmMap);
  g_methods.xShmLock = FORWARD(xShmLock);
  g_methods.xShmBarrier = [](sqlite3_file* x) { Real(x)->pMethods->xShmBarrier(Real(x)); };
  g_methods.xShmUnmap = FORWARD(xShmUnmap);
  g_methods.xFetch = FORWARD(xFetch);
  g_methods.xUnfetch = FORWARD(xUnfetch);
#undef FORWARD
  g_methods.xSync = SlowSync;
  g_methods.xClose = SlowClose;
  file->base.pMethods = &g_methods;
  return SQLITE_OK;
}

void RegisterSlowVfs() {
  g_real = sqlite3_vfs_find(nullptr);
  ASSERT_NE(g_real, nullptr);
  ASSERT_GE(g_real->iVersion, 1);
  g_slow = *g_real;
  g_slow.zName = "slow-sync";
  g_slow.szOsFile = static_cast<int>(sizeof(SlowFile));
  g_slow.xOpen = SlowOpen;
  ASSERT_EQ(sqlite3_vfs_register(&g_slow, 1), SQLITE_OK);  // the default from now on
}

long long CountRows(const std::string& path) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "SELECT count(*) FROM history", -1, &st, nullptr);
  const long long n = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int64(st, 0) : -1;
  sqlite3_finalize(st);
  sqlite3_close(db);
  return n;
}

TEST(SlowStorageTest, PollsKeepTheirTimeAndEveryRecordIsStored) {
  RegisterSlowVfs();
  const test_support::TempDir dir;
  const std::string db = dir.File("h.db");

  Json::Value site(Json::objectValue);
  site["plugins"].append(ZOTA_BUILD_DIR "/zota_up2200.so");
  for (int i = 0; i < kDevices; ++i) {
    Json::Value d(Json::objectValue);
    d["name"] = "ups" + std::to_string(i);
    d["type"] = "zota_up2200";
    d["data_id"] = 5000 + i;
    d["port"] = "sim:steady:" + std::to_string(i + 1);
    d["poll_interval_ms"] = 1000;
    site["devices"].append(d);
  }

  // The controller's lines would fill the test log: kept aside while it runs.
  test_support::StdoutCapture quiet;
  auto controller = std::make_shared<QDXController>(controller::ParseSite(site, "site", "/"), db,
                                                    ZOTA_BUILD_DIR "/ups-sim");
  int status = -1;
  std::string error;
  try {
    controller->Start();
    controller::RunLimits limits;
    limits.duration_s = kSeconds;
    status = controller->Run(limits, -1);
  } catch (const std::exception& e) {
    error = e.what();
  }
  quiet.Take();
  ASSERT_EQ(error, "");
  EXPECT_EQ(status, 0);

  const long long published = controller->records_published();
  const controller::HistoryStats h = controller->history_stats();
  controller->Shutdown();
  const auto worst =
      std::chrono::duration_cast<std::chrono::milliseconds>(controller->worst_poll_delay());
  std::cout << published << " records published, " << h.stored << " stored in " << h.commits
            << " commits, " << g_syncs << " syncs; latest poll " << worst.count()
            << " ms after its time\n";

  // Every device answered about once a second the whole time.
  EXPECT_GE(published, static_cast<long long>(kDevices * (kSeconds - 2)));
  EXPECT_EQ(h.stored, published);
  EXPECT_EQ(CountRows(db), published);
  EXPECT_LE(worst, kMaxPollDelay);
  // Grouped: a sync per record would have allowed 20 records a second at most.
  EXPECT_LT(g_syncs, published / 20);
}

}  // namespace
