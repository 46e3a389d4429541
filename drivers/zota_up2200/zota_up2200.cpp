#include "drivers/zota_up2200/zota_up2200.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

namespace {
constexpr double kTwoPow32 = 4294967296.0;
// Get_Value reports a reading older than this as timed out.
constexpr std::int64_t kMaxAgeSeconds = 60;
// The threshold kind the controller expects for the checked signals.
constexpr int kThresholdKind = 1;
}  // namespace

namespace zota {

namespace {
// Every single space ends a field, so k spaces give k + 1 fields, empty ones
// included, as boost::algorithm::split with token_compress_off would give. Sized
// for a normal reply up front: boost's split grows the vector step by step and
// copies its finder on the heap, eight allocations per reply instead of one.
std::vector<std::string> SplitFields(const std::string& text) {
  std::vector<std::string> fields;
  fields.reserve(kFieldCount);
  std::size_t start = 0;
  for (std::size_t sp = text.find(' '); sp != std::string::npos; sp = text.find(' ', start)) {
    fields.emplace_back(text, start, sp - start);
    start = sp + 1;
  }
  fields.emplace_back(text, start, std::string::npos);
  return fields;
}
}  // namespace

std::uint32_t SaturateU32(double v) {
  if (!(v > 0.0)) return 0;  // also NaN
  if (v >= kTwoPow32) return UINT32_MAX;
  return static_cast<std::uint32_t>(v);
}

std::uint16_t ScaledField(const std::string& text, double scale) {
  const double number = std::strtod(text.c_str(), nullptr);
  return static_cast<std::uint16_t>(SaturateU32(number * scale) & 0xFFFFu);
}

std::uint16_t IntegerField(const std::string& text) {
  // Unsigned arithmetic keeps the modulo-65536 rule free of signed overflow.
  const std::uint32_t low = static_cast<std::uint32_t>(uni_data::ParseInt(text)) & 0xFFFFu;
  return static_cast<std::uint16_t>((low * static_cast<std::uint32_t>(kLoadScale)) & 0xFFFFu);
}

std::uint8_t StateFlags(const std::string& text) {
  std::uint8_t state = 0;
  for (std::size_t i = 0; i < kFlagCount && i < text.size(); ++i) {
    if (text[i] != '0') state |= FlagBit(i);
  }
  return state;
}

std::size_t LastStart(const unsigned char* buf, std::size_t held) {
  for (std::size_t i = held; i > 0; --i) {
    if (buf[i - 1] == kStartByte) return i - 1;
  }
  return held;
}

bool ReplyComplete(const std::vector<std::string>& fields) {
  return fields.size() >= kFieldCount && fields[kFieldCount - 1].size() >= kFlagCount;
}

// The reply line; the start byte and the CR are cut off before it is split at
// single spaces into f[0] to f[7]:
//
//   (230.0 229.5 230.0 034 50.0 2.05 27.0 00001001\r
//    |     |     |     |   |    |    |    +- f[7] flags, bit 7 first -> state
//    |     |     |     |   |    |    +------ f[6] temperature, degC  -> value6
//    |     |     |     |   |    +----------- f[5] battery voltage, V -> value5
//    |     |     |     |   +---------------- f[4] input frequency, Hz -> value4
//    |     |     |     +-------------------- f[3] output load, % (integer) -> value3
//    |     |     +-------------------------- f[2] output voltage, V -> value2
//    |     +-------------------------------- f[1] input fault voltage, V -> value1
//    +-------------------------------------- f[0] input voltage, V -> value0
void DecodeReply(const std::vector<std::string>& f, ZOTA_UP2200_Data_t& rec) {
  rec.value0 = ScaledField(f[0], kVoltageScale);
  rec.value1 = ScaledField(f[1], kVoltageScale);
  rec.value2 = ScaledField(f[2], kVoltageScale);
  rec.value3 = IntegerField(f[3]);
  rec.value4 = ScaledField(f[4], kFrequencyScale);
  rec.value5 = ScaledField(f[5], kBatteryScale);
  rec.value6 = ScaledField(f[6], kTemperatureScale);
  rec.state = StateFlags(f[7]);
}

}  // namespace zota

ZOTA_UP2200::ZOTA_UP2200() {
  std::memcpy(poll_cmd_, zota::kStatusQuery, sizeof(poll_cmd_));
  device_type_ = zota::kDeviceType;
  baud_rate_ = zota::kBaudRate;
  recv_len_ = 0;  // not every framework header initialises it
}

ZOTA_UP2200::~ZOTA_UP2200() {}

auto ZOTA_UP2200::RefreshStatus() -> decltype(this->QDXSPDevice::RefreshStatus()) {
  // Held bytes stay: a reply still arriving completes, and whatever came before
  // its start byte is skipped when its line ends.
  QDXSPDevice::RefreshStatus();
  pending_cmd_ = zota::kPollPending;  // before sending, so an immediate answer is decoded
  QDXSPDevice::SendData(poll_cmd_, zota::kStatusQueryLength);
  return 1;
}

// Takes the held frame as a line; kept out of process() so the per-chunk path
// stays a short leaf without the string and vector machinery.
__attribute__((noinline)) int ZOTA_UP2200::CompleteLine(std::size_t frame) {
  // The newest start byte opens the reply: a reply's fields never hold one, so
  // anything before it (an LF, noise, the head of a reply whose tail was lost)
  // is not part of this reply. Without one, the first byte is taken as the start.
  const std::size_t start = zota::LastStart(recv_buf_, frame);
  const bool framed = start < frame;
  const std::size_t from = framed ? start + 1 : 1;
  std::string strToSplit;
  if (frame > from)
    strToSplit.assign(reinterpret_cast<const char*>(recv_buf_) + from, frame - from);
  const std::vector<std::string> fields = zota::SplitFields(strToSplit);
  recv_len_ = 0;
  // Operators follow every received line by this output line; keep it.
  std::cout << "strToSplit:" << strToSplit << " fields size:" << fields.size() << std::endl;

  // A line without a start byte is a reply's tail, and text that is empty or
  // opens with a space had its start byte inside a field: decoding either would
  // shift the fields. Short replies are dropped too: never read a missing field.
  if (pending_cmd_ != zota::kPollPending || !framed || strToSplit.empty() || strToSplit[0] == ' ' ||
      !zota::ReplyComplete(fields))
    return 1;

  zota::DecodeReply(fields, cData);
  // Operators watch the flags by this line; keep it.
  std::printf("cData.state is %0x\n", static_cast<unsigned int>(cData.state));
  RoundDone();
  return 0;
}

int ZOTA_UP2200::process(unsigned char* data, unsigned int length) {
  constexpr unsigned int kCapacity = uni_data::kRecvCapacity;
  static_assert(sizeof(recv_buf_) >= kCapacity, "the framework's receive buffer holds a frame");
  // Refuse any chunk that would not fit, without an add that could wrap.
  const unsigned int held = recv_len_ < 0 ? kCapacity + 1 : static_cast<unsigned int>(recv_len_);
  if (held > kCapacity || length > kCapacity - held) {
    Reset();
    return 0;
  }
  const void* cr = length ? std::memchr(data, zota::kCR, length) : nullptr;
  if (cr == nullptr) {
    // copy_n calls the library; GCC expands a bounded memcpy into a slow x86 `rep movs`.
    std::copy_n(data, length, recv_buf_ + held);
    recv_len_ += static_cast<int>(length);
    return 1;
  }
  const std::size_t before = static_cast<const unsigned char*>(cr) - data;
  std::copy_n(data, before, recv_buf_ + held);
  return CompleteLine(held + before);
}

auto ZOTA_UP2200::Get_Value(unsigned int index, const std::string& name) const
    -> decltype(this->VDeviceInterface::Get_Value(index, name)) {
  // Built from std::string: the const char* constructor is missing from C++
  // libraries before GCC 5.
  if (!data_ready_) throw std::out_of_range(std::string("数据未就绪"));
  const boost::posix_time::time_duration age = uni_data::LocalNow() - last_update_;
  // A missing time stamp counts as stale rather than as fresh data.
  if (age.is_special() || static_cast<std::int64_t>(age.total_seconds()) > kMaxAgeSeconds)
    throw std::out_of_range(std::string("数据已超时"));
  throw std::out_of_range(std::string("不支持变量"));
}

void ZOTA_UP2200::RunCheckThreshold() {
  if (b_mode_ != 1) return;
  for (const zota::CheckedSignal& row : zota::kCheckedSignals) {
    std::uint16_t raw = 0;  // copied out: the packed field may be unaligned
    std::memcpy(&raw, reinterpret_cast<const unsigned char*>(&cData) + row.offset, sizeof(raw));
    const float value = static_cast<float>(raw) / zota::kCheckedScale;
    CheckThreshold(std::string(row.signal_id), std::string(), value, kThresholdKind);
    CheckAOReport(std::string(row.signal_id), std::string(row.report_id), value);
  }
}

ZOTA_UP2200* ZOTA_UP2200Provider::create() const { return new ZOTA_UP2200(); }

std::vector<std::shared_ptr<Provider>> get_providers() {
  std::vector<std::shared_ptr<Provider>> providers;
  providers.push_back(std::make_shared<ZOTA_UP2200Provider>());
  return providers;
}
