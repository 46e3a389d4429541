// The template serving a driver that keeps its empty per-signal check.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drivers/zota_up2200/zota_up2200.h"
#include "support/stdout.h"

namespace {

// The driver's own base: the template with its empty per-signal check.
using PlainDevice = UniDataDevice<ZOTA_UP2200_Data_t, QDXSPDevice, zota::kRecordType>;

TEST(TemplateTest, WithoutPerSignalChecksStillPublishesBatchChecksAndStores) {
  PlainDevice dev;
  EXPECT_EQ(dev.b_mode_, 1);
  std::vector<int> published;
  int stored = 0;
  dev.sinks_.publish = [&](int type, const unsigned char*, unsigned int len) {
    published.push_back(type);
    EXPECT_EQ(len, sizeof(ZOTA_UP2200_Data_t));
  };
  dev.sinks_.history = [&](const unsigned char*, unsigned int) { ++stored; };
  ZOTA_UP2200_Data_t rec{};
  rec.value6 = 0x5A;
  test_support::StdoutCapture out;
  EXPECT_EQ(dev.LoadFromCache(reinterpret_cast<const unsigned char*>(&rec), sizeof(rec)), 1);
  dev.RoundDone();
  EXPECT_EQ(out.Take(), "rvSize is 0\nrvSize is 0\n");
  EXPECT_EQ(published, (std::vector<int>{5035, 5035}));
  EXPECT_EQ(stored, 2);
  EXPECT_EQ(dev.cData.value6, 0x5A);
  EXPECT_EQ(dev.comm_status_, 1);
}

}  // namespace
