// Arbitrary bytes into LoadFromCache on a device in mode 1 with analogue-report
// settings, followed by a polling cycle. Bytes past the record also overwrite
// the report settings, so the report decision sees any float, NaN included.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_common.h"

namespace {

constexpr std::size_t kSettingBytes = 17;  // flags byte, four floats

// Fills the report settings, in table order, from the bytes after the record.
void OverwriteReportSettings(ZOTA_UP2200& dev, const std::uint8_t* p, std::size_t left) {
  for (auto& entry : dev.ao_settings_) {
    if (left < kSettingBytes) return;
    QDXVDevice::BAOSetting& s = entry.second;
    s.abs_enabled = (p[0] & 1) != 0;
    s.pct_enabled = (p[0] & 2) != 0;
    s.period_enabled = (p[0] & 4) != 0;
    std::memcpy(&s.abs_delta, p + 1, 4);
    std::memcpy(&s.pct_delta, p + 5, 4);
    std::memcpy(&s.period_minutes, p + 9, 4);
    std::memcpy(&s.last_value, p + 13, 4);
    s.last_time = p[0] & 8 ? 0u : s.last_time;
    p += kSettingBytes;
    left -= kSettingBytes;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SilenceStdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Json::Value settings = fuzz::ParseJson(fuzz::kModeOneSettings);
  ZOTA_UP2200 dev;
  dev.data_id_ = 7;
  fuzz::WireCheckingSinks(dev);
  dev.InitSetting(settings);
  fuzz::RunReplyCycle(dev);  // the working report entries now exist

  // The exact bytes, in an exact-size buffer: any length, any content.
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const ZOTA_UP2200_Data_t before = dev.cData;
  const int rc = dev.LoadFromCache(bytes);
  if (size != fuzz::kRecordSize) {
    FUZZ_CHECK(rc == 0);
    FUZZ_CHECK(std::memcmp(&before, &dev.cData, sizeof(before)) == 0);
  } else {
    FUZZ_CHECK(rc == 1);
    // Bytes 0 to 18 are taken as given; the time stamp is renewed.
    FUZZ_CHECK(std::memcmp(&dev.cData, data, offsetof(ZOTA_UP2200_Data_t, update_time)) == 0);
    FUZZ_CHECK(dev.data_ready_ && dev.rule_values_.empty());
  }

  if (size >= fuzz::kRecordSize) {
    OverwriteReportSettings(dev, data + fuzz::kRecordSize, size - fuzz::kRecordSize);
    FUZZ_CHECK(dev.LoadFromCache(data, static_cast<int>(fuzz::kRecordSize)) == 1);
    FUZZ_CHECK(dev.rule_values_.empty());
  }
  fuzz::RunReplyCycle(dev);
  return 0;
}
