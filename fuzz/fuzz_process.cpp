// Arbitrary serial bytes into process(), cut into arbitrary chunks and mixed
// with polls and controller-side changes of the pending command.
//
// Input layout: byte 0 gives the number n of control bytes (mod 64), bytes 1..n
// are the control stream, the rest is the serial payload. Each control byte:
//   bits 0-1 = 0  next (bits 2-7) + 1 payload bytes as one chunk
//   bits 0-1 = 1  next ((bits 2-7) + 1) * 64 payload bytes as one chunk
//   bits 0-1 = 2  controller action by bits 2-3: poll, pending 0, pending 100,
//                 pending = the signed control byte
//   bits 0-1 = 3  bit 2 set: a poll answered by a well-formed reply;
//                 clear: an empty chunk
// Whatever payload is left after the control stream arrives as a last chunk.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_common.h"

namespace {

constexpr std::size_t kMaxControl = 64;
constexpr std::size_t kLargeUnit = 64;
int g_published = 0;

// Delivers one chunk from an exact-size copy, so a read past its end is caught,
// and checks the receive state against a model of the frame assembly.
void Deliver(ZOTA_UP2200& dev, const std::uint8_t* bytes, std::size_t len) {
  std::vector<unsigned char> chunk(bytes, bytes + len);
  chunk.reserve(1);  // a valid pointer even for an empty chunk
  const int before = dev.recv_len_;
  const bool fits =
      static_cast<std::size_t>(before) + len <= static_cast<std::size_t>(QDXSPDevice::kRecvBufSize);
  const bool has_cr = std::memchr(chunk.data(), zota::kCR, len) != nullptr;
  const int published = g_published;

  const int rc = dev.process(chunk.data(), static_cast<unsigned int>(len));

  FUZZ_CHECK(rc == 0 || rc == 1);
  fuzz::CheckReceiveState(dev);
  if (!fits) {
    FUZZ_CHECK(rc == 0 && dev.recv_len_ == 0 && g_published == published);
  } else if (!has_cr) {
    FUZZ_CHECK(rc == 1 && dev.recv_len_ == before + static_cast<int>(len));
    FUZZ_CHECK(len == 0 || std::memcmp(dev.recv_buf_ + before, chunk.data(), len) == 0);
    FUZZ_CHECK(g_published == published);
  } else {
    FUZZ_CHECK(dev.recv_len_ == 0);
    // A decoded line completes exactly one round, and only while a poll is pending.
    FUZZ_CHECK(g_published == published + (rc == 0 ? 1 : 0));
    FUZZ_CHECK(rc == 1 || dev.pending_cmd_ == zota::kPollPending);
  }
}

void HostAction(ZOTA_UP2200& dev, std::uint8_t c) {
  switch ((c >> 2) & 3) {
    case 0:
      FUZZ_CHECK(dev.RefreshStatus() == 1);
      FUZZ_CHECK(dev.pending_cmd_ == zota::kPollPending);
      break;
    case 1:
      dev.pending_cmd_ = 0;
      break;
    case 2:
      dev.pending_cmd_ = zota::kPollPending;
      break;
    default:
      dev.pending_cmd_ = static_cast<std::int8_t>(c);
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SilenceStdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static const Json::Value settings = fuzz::ParseJson(fuzz::kModeOneSettings);

  ZOTA_UP2200 dev;
  dev.data_id_ = 42;
  fuzz::WireCheckingSinks(dev);
  dev.sinks_.publish = [](int type, const unsigned char*, unsigned int len) {
    FUZZ_CHECK(type == zota::kRecordType && len == fuzz::kRecordSize);
    ++g_published;
  };
  dev.InitSetting(settings);

  std::size_t n = data[0] % kMaxControl;
  if (n > size - 1) n = size - 1;
  const std::uint8_t* control = data + 1;
  const std::uint8_t* payload = control + n;
  std::size_t left = size - 1 - n;

  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t c = control[i];
    const std::size_t count = (c >> 2) + 1u;
    switch (c & 3) {
      case 0:
      case 1: {
        std::size_t len = (c & 3) == 0 ? count : count * kLargeUnit;
        if (len > left) len = left;
        Deliver(dev, payload, len);
        payload += len;
        left -= len;
        break;
      }
      case 2:
        HostAction(dev, c);
        break;
      default:
        if (c & 4) {
          fuzz::RunReplyCycle(dev);
        } else {
          Deliver(dev, payload, 0);
        }
        break;
    }
  }
  if (left > 0) Deliver(dev, payload, left);
  return 0;
}
