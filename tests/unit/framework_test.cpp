// The framework's inline defaults, and the template serving a driver that keeps
// its empty per-signal check.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "device/uni_data_device.h"

namespace {

// The smallest device built directly on the root interface.
class RootOnly : public VDeviceInterface {
 public:
  int LoadFromCache(const unsigned char*, int) override { return 0; }
};

#pragma pack(push, 1)
struct TinyRecord {
  std::uint32_t data_id;
  std::uint8_t value;
  TTime update_time;
};
#pragma pack(pop)

using TinyDevice = UniDataDevice<TinyRecord, QDXSPDevice, 4242>;

TEST(RootDefaults, RefuseQueriesAndControlWithoutTouchingOutputs) {
  RootOnly dev;
  dev.data_id_ = 77;
  dev.device_type_ = "root";
  try {
    dev.Get_Value(3, "x");
    FAIL() << "a value query must be refused";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "数据未就绪");
  }
  int count = 12345;
  char out[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(dev.DeviceIoControl(1, nullptr, 0, out, sizeof(out), count), -2);
  EXPECT_EQ(count, 12345);
  EXPECT_EQ(std::string(out, sizeof(out)), "abcd");
  dev.RoundDone();
  EXPECT_EQ(dev.DataId(), 77u);
  EXPECT_EQ(dev.DeviceType(), "root");
  EXPECT_FALSE(dev.UseControllerDb());
}

TEST(DeviceDefaults, HaveNoChildren) {
  TinyDevice dev;
  EXPECT_EQ(dev.GetChildVDevice(0), nullptr);
  EXPECT_EQ(dev.GetChildVDevice(0xFFFFFFFFu), nullptr);
  EXPECT_TRUE(dev.GetAllChildVDevices().empty());
}

TEST(TemplateWithoutChecks, StillPublishesBatchChecksAndStores) {
  TinyDevice dev;
  EXPECT_EQ(dev.b_mode_, 1);
  std::vector<int> published;
  int stored = 0;
  dev.sinks_.publish = [&](int type, const unsigned char*, unsigned int len) {
    published.push_back(type);
    EXPECT_EQ(len, sizeof(TinyRecord));
  };
  dev.sinks_.history = [&](const unsigned char*, unsigned int) { ++stored; };
  const TinyRecord rec{9, 0x5A, {}};
  testing::internal::CaptureStdout();
  EXPECT_EQ(dev.LoadFromCache(reinterpret_cast<const unsigned char*>(&rec), sizeof(rec)), 1);
  dev.RoundDone();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "rvSize is 0\nrvSize is 0\n");
  EXPECT_EQ(published, (std::vector<int>{4242, 4242}));
  EXPECT_EQ(stored, 2);
  EXPECT_EQ(dev.cData.value, 0x5A);
  EXPECT_EQ(dev.comm_status_, 1);
}

TEST(TemplateWithoutChecks, RefusesANullRecord) {
  TinyDevice dev;
  EXPECT_EQ(dev.LoadFromCache(nullptr, sizeof(TinyRecord)), 0);
  EXPECT_FALSE(dev.data_ready_);
}

}  // namespace
