// Driver for the ZOTA UP2200 UPS: polls "Q1\r" at 2400 bit/s and decodes the
// one-line status reply into a 26-byte record published as record type 5035.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "device/uni_data_device.h"
#include "drivers/zota_up2200/zota_up2200_record.h"
#include "host/qdx_device.h"
#include "host/qdx_provider.h"

// Published, stored in history and accepted back from the cache as these raw
// bytes. A type of its own, not an alias, so the plug-in's symbols keep its name.
struct ZOTA_UP2200_Data_t : zota::Record<uni_data::HostTime> {};
static_assert(alignof(ZOTA_UP2200_Data_t) == 1, "any byte buffer may hold a record");
static_assert(sizeof(ZOTA_UP2200_Data_t) == zota::kRecordSize, "record is 26 bytes");
static_assert(offsetof(ZOTA_UP2200_Data_t, update_time) == zota::kTimeOffset, "record layout");

namespace zota {

// Polling: "Q1\r" asks for the one-line status reply.
constexpr unsigned char kStatusQuery[] = {'Q', '1', '\r'};
constexpr unsigned int kStatusQueryLength = sizeof(kStatusQuery);
constexpr int kBaudRate = 2400;
constexpr int kPollPending = 100;  // pending_cmd_ while a status reply is awaited
constexpr unsigned char kCR = 0x0D;
constexpr unsigned char kStartByte = '(';  // first byte of every status reply; never inside a field
constexpr std::size_t kFieldCount = 8;
constexpr char kDeviceType[] = "zota_up2200";

// Saturating double -> uint32 truncation: NaN and negatives give 0, 2^32 and
// above give the maximum; defined everywhere, unlike a plain cast.
std::uint32_t SaturateU32(double v);

// A decimal-number field: atof of the text, times scale, truncated, low 16 bits.
std::uint16_t ScaledField(const std::string& text, double scale);

// The integer field: atoi of the text (clamped to int), times 10, modulo 65536.
std::uint16_t IntegerField(const std::string& text);

// Flag characters to the state byte: anything but '0' sets the bit. Reads at
// most eight characters.
std::uint8_t StateFlags(const std::string& text);

// Where the newest reply starts among `held` bytes: the position of the last
// start byte, or `held` when there is none.
std::size_t LastStart(const unsigned char* buf, std::size_t held);

// Whether a split reply has all the fields and flag characters the decoder reads.
bool ReplyComplete(const std::vector<std::string>& fields);

// Decodes the measurement fields and the flags of a complete reply into rec.
void DecodeReply(const std::vector<std::string>& fields, ZOTA_UP2200_Data_t& rec);

}  // namespace zota

class ZOTA_UP2200 : public UniDataDevice<ZOTA_UP2200_Data_t, QDXSPDevice, zota::kRecordType> {
 public:
  ZOTA_UP2200();
  ~ZOTA_UP2200() override;

  // Result types follow the controller's declarations.
  auto Get_Value(unsigned int index, const std::string& name) const
      -> decltype(this->VDeviceInterface::Get_Value(index, name)) override;
  auto RefreshStatus() -> decltype(this->QDXSPDevice::RefreshStatus()) override;
  int process(unsigned char* data, unsigned int length) override;
  void RunCheckThreshold() override;

 private:
  int CompleteLine(std::size_t frame);

  unsigned char poll_cmd_[zota::kStatusQueryLength];  // filled by the constructor
};

class ZOTA_UP2200Provider : public QDXSPDeviceProvider {
 public:
  // Covariant with whichever device base the controller's factory returns.
  ZOTA_UP2200* create() const override;
};

// The one symbol the controller looks up, under its plain (unmangled) name.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>>
get_providers();
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
