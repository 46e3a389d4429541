// The framework's inline defaults.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "drivers/zota_up2200/zota_up2200.h"
#include "support/expect.h"

namespace {

// The smallest device built directly on the root interface.
class RootOnly : public VDeviceInterface {
 public:
  int LoadFromCache(const unsigned char*, int) override { return 0; }
};

TEST(QdxDeviceTest, RootRefusesQueriesAndControlWithoutTouchingOutputs) {
  RootOnly dev;
  dev.data_id_ = 77;
  dev.device_type_ = "root";
  test_support::ExpectThrowWithMessage<std::out_of_range>([&] { dev.Get_Value(3, "x"); },
                                                          "数据未就绪");
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

TEST(QdxDeviceTest, DeviceHasNoChildren) {
  ZOTA_UP2200 dev;
  EXPECT_EQ(dev.GetChildVDevice(0), nullptr);
  EXPECT_EQ(dev.GetChildVDevice(0xFFFFFFFFu), nullptr);
  EXPECT_TRUE(dev.GetAllChildVDevices().empty());
}

TEST(QdxDeviceTest, DeviceRefusesANullCachedRecord) {
  ZOTA_UP2200 dev;
  EXPECT_EQ(dev.LoadFromCache(nullptr, sizeof(ZOTA_UP2200_Data_t)), 0);
  EXPECT_FALSE(dev.data_ready_);
}

}  // namespace
