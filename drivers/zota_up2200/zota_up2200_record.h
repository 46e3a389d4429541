// Record 5035 of the ZOTA UP2200: the bytes the driver publishes, the
// controller stores, shows and accepts back from its cache, and the simulator's
// replies decode into. Header only and free of framework types, so the
// controller and the simulator include it without linking driver code.
#pragma once

#include <cstddef>
#include <cstdint>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the record is stored little-endian as is");

namespace zota {

constexpr int kRecordType = 5035;
constexpr std::size_t kRecordSize = 26;

#pragma pack(push, 1)
// Time is the controller's 7-byte time value; the driver passes the type the
// framework's get_ttime returns, others a stand-in of the same bytes.
template <typename Time>
struct Record {
  std::uint32_t data_id;  // the device's data id, not the record type
  std::uint16_t value0;   // input voltage x10
  std::uint16_t value1;   // input fault voltage x10
  std::uint16_t value2;   // output voltage x10
  std::uint16_t value3;   // output load % x10
  std::uint16_t value4;   // input frequency x10
  std::uint16_t value5;   // battery voltage x100
  std::uint16_t value6;   // temperature x10
  std::uint8_t state;     // status flags, bit 7 = first character of the flag field
  Time update_time;       // completion time of the cycle
};
#pragma pack(pop)

// The time value's bytes, for code that only needs the layout.
struct TimeBytes {
  unsigned char bytes[7];
};
using RecordLayout = Record<TimeBytes>;

static_assert(sizeof(RecordLayout) == kRecordSize, "record is 26 bytes");
static_assert(offsetof(RecordLayout, value0) == 4, "record layout");
static_assert(offsetof(RecordLayout, value5) == 14, "record layout");
static_assert(offsetof(RecordLayout, state) == 18, "record layout");
static_assert(offsetof(RecordLayout, update_time) == 19, "record layout");

constexpr std::size_t kStateOffset = offsetof(RecordLayout, state);
constexpr std::size_t kTimeOffset = offsetof(RecordLayout, update_time);

// Raw field = value in its unit times the field's scale.
constexpr double kVoltageScale = 10.0;      // input, fault and output: tenths of a volt
constexpr double kLoadScale = 10.0;         // tenths of a percent
constexpr double kFrequencyScale = 10.0;    // tenths of a hertz
constexpr double kBatteryScale = 100.0;     // hundredths of a volt
constexpr double kTemperatureScale = 10.0;  // tenths of a degree Celsius

// Status bits of the state byte, in the order of the reply's flag field.
constexpr std::size_t kFlagCount = 8;
constexpr std::uint8_t kUtilityFail = 0x80;
constexpr std::uint8_t kBatteryLow = 0x40;
constexpr std::uint8_t kBypassBoost = 0x20;
constexpr std::uint8_t kUpsFailed = 0x10;
constexpr std::uint8_t kStandby = 0x08;
constexpr std::uint8_t kSelfTest = 0x04;
constexpr std::uint8_t kShutdown = 0x02;
constexpr std::uint8_t kBeeperOn = 0x01;

// Mask of the flag at position i of the flag field (0 = first character).
constexpr std::uint8_t FlagBit(std::size_t i) { return static_cast<std::uint8_t>(0x80u >> i); }

// The checked signals, in the order they are checked. Every checked field is
// held in tenths of its unit; its name and unit are its measurement's in
// zota_up2200_fields.h.
struct CheckedSignal {
  std::size_t offset;  // of an unsigned 16-bit field of the record
  const char* signal_id;
  const char* report_id;
};
constexpr float kCheckedScale = 10.0f;
inline constexpr CheckedSignal kCheckedSignals[] = {
    {offsetof(RecordLayout, value0), "2A2615101001", "2A2110400001"},  // input voltage
    {offsetof(RecordLayout, value1), "2A2615101002", "2A2110400002"},  // input fault voltage
    {offsetof(RecordLayout, value4), "2A2615601001", "2A2113A00001"},  // input frequency
    {offsetof(RecordLayout, value2), "2A2611001001", "2A2111000001"},  // output voltage
    {offsetof(RecordLayout, value3), "2A2611801001", "2A2111800001"},  // output load
    {offsetof(RecordLayout, value6), "2A2640101001", "2A2127200001"},  // temperature
};

}  // namespace zota
