// A controller of its own around the second framework (framework/host/): it
// loads the zota_up2200.so that was built against that framework through the
// plug-in-only path, drives it the way a controller does and checks the calls
// the driver made (compat_framework.cpp records them).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "compat_framework.h"
#include "host/qdx_device.h"
#include "host/qdx_provider.h"
#include "support/expect.h"
#include "support/samples.h"

namespace {

constexpr char kPluginPath[] = ZOTA_COMPAT_PLUGIN;
constexpr unsigned int kDataId = 0x0A0B0C0D;
constexpr int kRecordType = 5035;
constexpr std::size_t kRecordSize = 26;
constexpr std::size_t kStampAt = 19;
constexpr unsigned int kCapacity = 4096;
using compat::Bytes;
using compat::Call;
using compat::g_calls;
using test_support::kReply;
using test_support::kReplyText;

// Reads the framework's protected members, as the controller's own code may.
struct Peek : QDXSPDevice {
  static int Baud(const QDXSPDevice& d) { return d.*&Peek::baud_rate_; }
  static int Held(const QDXSPDevice& d) { return d.*&Peek::recv_len_; }
  static bool Ready(const QDXSPDevice& d) { return d.*&Peek::data_ready_; }
  static short Comm(const QDXSPDevice& d) { return d.*&Peek::comm_status_; }
  static bool Changed(const QDXSPDevice& d) { return d.*&Peek::round_changed_; }
  static std::size_t Items(const QDXSPDevice& d) { return (d.*&Peek::rule_values_).size(); }
  static Bytes Stamp(const QDXSPDevice& d) {
    const CtlClock7 t = get_ttime(d.*&Peek::last_update_);
    return Bytes(t.raw, t.raw + sizeof(t.raw));
  }
};

struct Checked {
  const char* signal_id;
  const char* report_id;
  float value;
};
// The worked example's six checked values, in the order they are checked.
const Checked kChecked[] = {
    {"2A2615101001", "2A2110400001", 230.0f}, {"2A2615101002", "2A2110400002", 229.5f},
    {"2A2615601001", "2A2113A00001", 50.0f},  {"2A2611001001", "2A2111000001", 230.0f},
    {"2A2611801001", "2A2111800001", 34.0f},  {"2A2640101001", "2A2127200001", 27.0f},
};
// Record bytes 4..18 of the worked example.
const Bytes kDecoded = {0xFC, 0x08, 0xF7, 0x08, 0xFC, 0x08, 0x54, 0x01,
                        0xF4, 0x01, 0xCC, 0x00, 0x0E, 0x01, 0x09};

class CompatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_calls.clear();
    lib_ = ::dlopen(kPluginPath, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib_, nullptr) << ::dlerror();
    using Entry = std::vector<std::shared_ptr<Provider>> (*)();
    const auto entry = reinterpret_cast<Entry>(::dlsym(lib_, "get_providers"));
    ASSERT_NE(entry, nullptr) << ::dlerror();
    providers_ = entry();
    ASSERT_EQ(providers_.size(), 1u);
    const auto* factory = dynamic_cast<const QDXSPDeviceProvider*>(providers_[0].get());
    ASSERT_NE(factory, nullptr);
    owner_.reset(factory->create());
    dev_ = dynamic_cast<QDXSPDevice*>(owner_.get());
    ASSERT_NE(dev_, nullptr);
    ASSERT_EQ(dev_->Init(std::weak_ptr<QDXController>(), kDataId, Json::Value()), 1);
    Json::Value setting;
    setting["appSetting"]["b_mode"] = "1";
    for (const Checked& c : kChecked) setting["periodic"].append(c.signal_id);
    ASSERT_TRUE(dev_->InitSetting(setting));
    g_calls.clear();
  }

  void TearDown() override {
    owner_.reset();  // plug-in code: gone before the plug-in is unloaded
    providers_.clear();
    if (lib_ != nullptr) ::dlclose(lib_);
  }

  int Feed(std::string chunk) {
    return dev_->process(reinterpret_cast<unsigned char*>(&chunk[0]),
                         static_cast<unsigned int>(chunk.size()));
  }

  std::vector<Call> Calls(const std::string& op) const {
    std::vector<Call> out;
    for (const Call& c : g_calls)
      if (c.op == op) out.push_back(c);
    return out;
  }

  // The published record, checked to be the one stored, stamped with the
  // completion time as this controller's get_ttime gives it.
  Bytes OnlyRecord() const {
    const std::vector<Call> published = Calls("SendSP");
    const std::vector<Call> stored = Calls("SaveDeviceHistory");
    EXPECT_EQ(published.size(), 1u);
    EXPECT_EQ(stored.size(), 1u);
    if (published.size() != 1 || stored.size() != 1) return Bytes();
    EXPECT_EQ(published[0].n, kRecordType);
    EXPECT_EQ(published[0].bytes.size(), kRecordSize);
    EXPECT_EQ(stored[0].bytes, published[0].bytes);
    const Bytes& rec = published[0].bytes;
    if (rec.size() == kRecordSize) {
      EXPECT_EQ(Bytes(rec.begin() + kStampAt, rec.end()), Peek::Stamp(*dev_));
    }
    return rec;
  }

  static Bytes Slice(const Bytes& rec, std::size_t from, std::size_t to) {
    return rec.size() < to ? Bytes() : Bytes(rec.begin() + from, rec.begin() + to);
  }

  void* lib_ = nullptr;
  std::vector<std::shared_ptr<Provider>> providers_;
  std::unique_ptr<QDXVDevice> owner_;
  QDXSPDevice* dev_ = nullptr;
};

// Fails when the driver was compiled against another framework's layout.
TEST_F(CompatTest, DeviceUsesThisFrameworksLayout) {
  EXPECT_EQ(dev_->DeviceType(), "zota_up2200");
  EXPECT_EQ(dev_->DataId(), kDataId);
  EXPECT_EQ(Peek::Baud(*dev_), 2400);
  EXPECT_EQ(Peek::Held(*dev_), 0);
  EXPECT_FALSE(Peek::Ready(*dev_));
  EXPECT_EQ(dev_->GetChildVDevice(3), nullptr);
  test_support::ExpectThrowWithMessage<std::out_of_range>([&] { dev_->Get_Value(0, "x"); },
                                                          "数据未就绪");
}

TEST_F(CompatTest, CycleRunsInOrderAndStoresWhatItPublished) {
  ASSERT_TRUE(dev_->RefreshStatus());
  ASSERT_EQ(Feed(kReply), 0);

  std::vector<std::string> expected = {"RefreshStatus", "SendData", "SendSP", "Reset"};
  for (std::size_t i = 0; i < sizeof(kChecked) / sizeof(kChecked[0]); ++i) {
    expected.insert(expected.end(), {"CheckThreshold", "CheckAOReport"});
  }
  expected.insert(expected.end(), {"DoBatchCheckThreshold", "SaveDeviceHistory"});
  std::vector<std::string> ops;
  for (const Call& c : g_calls) ops.push_back(c.op);
  EXPECT_EQ(ops, expected);

  EXPECT_EQ(Calls("SendData").at(0).bytes, (Bytes{'Q', '1', '\r'}));
  EXPECT_EQ(Calls("DoBatchCheckThreshold").at(0).n, 6);
  const Bytes rec = OnlyRecord();
  EXPECT_EQ(Slice(rec, 0, 4), (Bytes{0x0D, 0x0C, 0x0B, 0x0A}));
  EXPECT_EQ(Slice(rec, 4, kStampAt), kDecoded);
  EXPECT_TRUE(Peek::Ready(*dev_));
  EXPECT_EQ(Peek::Comm(*dev_), 1);
  EXPECT_TRUE(Peek::Changed(*dev_));
  EXPECT_EQ(Peek::Items(*dev_), 0u);
}

TEST_F(CompatTest, ModeOneChecksSixSignalsInOrder) {
  ASSERT_TRUE(dev_->RefreshStatus());
  ASSERT_EQ(Feed(kReply), 0);
  const std::vector<Call> thresholds = Calls("CheckThreshold");
  const std::vector<Call> reports = Calls("CheckAOReport");
  const std::size_t rows = sizeof(kChecked) / sizeof(kChecked[0]);
  ASSERT_EQ(thresholds.size(), rows);
  ASSERT_EQ(reports.size(), rows);
  for (std::size_t i = 0; i < rows; ++i) {
    SCOPED_TRACE(kChecked[i].signal_id);
    EXPECT_EQ(thresholds[i].id, kChecked[i].signal_id);
    EXPECT_EQ(thresholds[i].sub, "");
    EXPECT_EQ(thresholds[i].n, 1);
    EXPECT_EQ(thresholds[i].value, kChecked[i].value);
    EXPECT_EQ(reports[i].id, kChecked[i].report_id);
    EXPECT_EQ(reports[i].value, kChecked[i].value);
  }
}

// ---- one reply in chunks of every size ---------------------------------------

class CompatChunkedReplyTest : public CompatTest,
                               public ::testing::WithParamInterface<std::size_t> {};

TEST_P(CompatChunkedReplyTest, DecodesTheWorkedExample) {
  const std::string reply = kReply;
  const std::size_t piece = GetParam();
  ASSERT_TRUE(dev_->RefreshStatus());
  for (std::size_t at = 0; at < reply.size(); at += piece) {
    const bool last = at + piece >= reply.size();
    ASSERT_EQ(Feed(reply.substr(at, piece)), last ? 0 : 1) << "chunk at " << at;
  }
  EXPECT_EQ(Slice(OnlyRecord(), 4, kStampAt), kDecoded);
}

INSTANTIATE_TEST_SUITE_P(Compat, CompatChunkedReplyTest, ::testing::Values(sizeof(kReply), 20, 1),
                         [](const ::testing::TestParamInfo<std::size_t>& i) {
                           return "pieces_of_" + std::to_string(i.param);
                         });

// ---- lines that complete no cycle --------------------------------------------

struct Discarded {
  const char* label;
  bool polled;
  const char* line;
};

class CompatDiscardedLineTest : public CompatTest,
                                public ::testing::WithParamInterface<Discarded> {};

TEST_P(CompatDiscardedLineTest, LeavesNoRecordAndTheNextReplyDecodes) {
  if (GetParam().polled) {
    ASSERT_TRUE(dev_->RefreshStatus());
  }
  EXPECT_EQ(Feed(GetParam().line), 1);
  EXPECT_EQ(Peek::Held(*dev_), 0);
  EXPECT_FALSE(Peek::Ready(*dev_));
  EXPECT_TRUE(Calls("SendSP").empty());
  EXPECT_TRUE(Calls("Reset").empty());

  ASSERT_TRUE(dev_->RefreshStatus());
  ASSERT_EQ(Feed(kReply), 0);
  EXPECT_EQ(Slice(OnlyRecord(), 4, kStampAt), kDecoded);
}

INSTANTIATE_TEST_SUITE_P(
    Compat, CompatDiscardedLineTest,
    ::testing::Values(Discarded{"short_line", true, "(230.0 229.5 230.0 034\r"},
                      Discarded{"not_polled", false, kReply},
                      Discarded{"no_start_byte", true,
                                "230.0 229.5 230.0 034 50.0 2.05 27.0 00001001\r"}),
    [](const ::testing::TestParamInfo<Discarded>& i) { return std::string(i.param.label); });

// A UPS that ends its lines with CR LF, the LF in a read of its own: this
// framework's poll keeps held bytes, so the driver must not let the LF open
// the next frame.
TEST_F(CompatTest, RepliesEndingInCrLfAllDecode) {
  for (int poll = 0; poll < 2; ++poll) {
    ASSERT_TRUE(dev_->RefreshStatus());
    ASSERT_EQ(Feed(kReply), 0) << "poll " << poll;
    EXPECT_EQ(Feed("\n"), 1);
  }
  const std::vector<Call> published = Calls("SendSP");
  ASSERT_EQ(published.size(), 2u);
  EXPECT_EQ(Slice(published[1].bytes, 4, kStampAt), kDecoded);
}

// ---- polls that do not wait for the reply ----------------------------------

// This framework's poll keeps held bytes: a poll made while a reply is still
// arriving must not cost that reply, and stray bytes must not cost the next.
struct PollMidway {
  const char* label;
  std::vector<std::string> before;  // chunks received before the poll
  std::vector<std::string> after;   // chunks received after it
};

class CompatPollMidwayTest : public CompatTest, public ::testing::WithParamInterface<PollMidway> {};

TEST_P(CompatPollMidwayTest, TheReplyStillCompletes) {
  for (const std::string& chunk : GetParam().before) EXPECT_EQ(Feed(chunk), 1);
  ASSERT_TRUE(dev_->RefreshStatus());
  const std::vector<std::string>& after = GetParam().after;
  for (std::size_t i = 0; i + 1 < after.size(); ++i) EXPECT_EQ(Feed(after[i]), 1);
  EXPECT_EQ(Feed(after.back()), 0);
  EXPECT_EQ(Slice(OnlyRecord(), 4, kStampAt), kDecoded);
}

PollMidway CutAt(std::size_t cut) {
  const std::string reply = kReply;
  return {"cut_at_", {reply.substr(0, cut)}, {reply.substr(cut)}};
}

INSTANTIATE_TEST_SUITE_P(Compat, CompatPollMidwayTest,
                         ::testing::Values(CutAt(1), CutAt(20), CutAt(sizeof(kReply) - 2),
                                           PollMidway{"lf_before_poll", {"\n"}, {kReply}},
                                           PollMidway{"lf_after_poll", {}, {"\n", kReply}},
                                           PollMidway{"lost_tail", {"(231.0 22"}, {kReply}}),
                         [](const ::testing::TestParamInfo<PollMidway>& i) {
                           std::string name = i.param.label;
                           if (name == "cut_at_") name += std::to_string(i.param.before[0].size());
                           return name;
                         });

// A controller on a fixed poll timer, in simulated time: it polls every 150 ms
// whatever the line does, and each read hands over what has arrived. The UPS
// sends a reply of 47 bytes (196 ms at 2400 bit/s) 10 ms after a poll, and
// ignores polls while it is sending, so every reply has a poll in its middle.
// Bytes after a CR in the same chunk are dropped, so a reply whose start shares
// a chunk with the previous reply's CR is lost; every other one is published.
struct Timing {
  const char* label;
  std::int64_t read_every_us;
  const char* line_end;
  bool every_reply;  // reads too frequent for a CR and the next start to share one
};

class CompatPollTimerTest : public CompatTest, public ::testing::WithParamInterface<Timing> {};

TEST_P(CompatPollTimerTest, PublishesEveryReplyWithAStartOfItsOwn) {
  constexpr std::int64_t kPollEveryUs = 150000;
  constexpr std::int64_t kAnswerDelayUs = 10000;
  constexpr std::int64_t kPollsUntilUs = 6000000;
  const Timing& t = GetParam();
  const auto byte_us = [](std::size_t n) {
    return static_cast<std::int64_t>(n * 10 * 1000000 / 2400);
  };

  struct Sent {
    std::int64_t at;  // arrival time of the byte's last bit
    char byte;
    int reply;  // the voltage its reply carries
    int chunk = -1;
  };
  std::vector<Sent> line;
  std::int64_t line_free = 0;
  for (std::int64_t poll = 0; poll < kPollsUntilUs; poll += kPollEveryUs) {
    if (poll + kAnswerDelayUs < line_free) continue;  // busy sending
    const int volts = 200 + static_cast<int>(line.size() % 50);
    const std::string text = std::string("(") + std::to_string(volts) + ".0" + (kReplyText + 5);
    const std::string bytes = text + t.line_end;
    const std::int64_t start = poll + kAnswerDelayUs;
    for (std::size_t i = 0; i < bytes.size(); ++i)
      line.push_back({start + byte_us(i + 1), bytes[i], volts});
    line_free = start + byte_us(bytes.size());
  }

  // Polls and reads in time order until the line has delivered everything.
  std::size_t next = 0;
  std::int64_t next_poll = 0;
  std::int64_t next_read = t.read_every_us;
  for (int chunk_no = 0; next < line.size();) {
    if (next_poll <= next_read) {
      ASSERT_TRUE(dev_->RefreshStatus());
      next_poll += kPollEveryUs;
      continue;
    }
    std::string chunk;
    for (; next < line.size() && line[next].at <= next_read; ++next) {
      line[next].chunk = chunk_no;
      chunk += line[next].byte;
    }
    if (!chunk.empty()) Feed(chunk);
    next_read += t.read_every_us;
    ++chunk_no;
  }

  std::vector<int> expected;
  int prev_cr_chunk = -1;
  for (const Sent& b : line) {
    if (b.byte == '(' && b.chunk != prev_cr_chunk) expected.push_back(b.reply);
    if (b.byte == '\r') prev_cr_chunk = b.chunk;
  }
  std::vector<int> published;
  for (const Call& c : Calls("SendSP")) {
    ASSERT_EQ(c.bytes.size(), kRecordSize);
    EXPECT_EQ(Slice(c.bytes, 6, kStampAt), Bytes(kDecoded.begin() + 2, kDecoded.end()));
    published.push_back((c.bytes[4] | c.bytes[5] << 8) / 10);
  }
  EXPECT_EQ(published, expected);
  const std::size_t replies = static_cast<std::size_t>(
      std::count_if(line.begin(), line.end(), [](const Sent& b) { return b.byte == '('; }));
  EXPECT_GE(replies, 19u);
  if (t.every_reply) {
    EXPECT_EQ(published.size(), replies);
  }
  EXPECT_GE(published.size(), 5u);
}

INSTANTIATE_TEST_SUITE_P(Compat, CompatPollTimerTest,
                         ::testing::Values(Timing{"reads_20ms_cr", 20000, "\r", true},
                                           Timing{"reads_55ms_cr", 55000, "\r", true},
                                           Timing{"reads_20ms_crlf", 20000, "\r\n", true},
                                           Timing{"reads_90ms_crlf", 90000, "\r\n", true},
                                           Timing{"reads_250ms_crlf", 250000, "\r\n", false}),
                         [](const ::testing::TestParamInfo<Timing>& i) {
                           return std::string(i.param.label);
                         });

// ---- receive buffer limit ---------------------------------------------------

struct Overflow {
  const char* label;
  unsigned int held;   // bytes already received
  unsigned int chunk;  // size of the next chunk
};

class CompatOverflowTest : public CompatTest, public ::testing::WithParamInterface<Overflow> {};

TEST_P(CompatOverflowTest, HoldsAtMostTheContractsLimit) {
  const Overflow& o = GetParam();
  const bool fits = o.held + o.chunk <= kCapacity;
  ASSERT_TRUE(dev_->RefreshStatus());
  if (o.held > 0) {
    ASSERT_EQ(Feed(std::string(o.held, 'x')), 1);
  }
  std::string chunk(o.chunk, 'y');
  if (!fits) chunk[1] = '\r';  // a refused chunk is dropped whole, its line end too
  EXPECT_EQ(Feed(chunk), fits ? 1 : 0);
  EXPECT_EQ(Calls("Reset").size(), fits ? 0u : 1u);
  EXPECT_EQ(Peek::Held(*dev_), fits ? static_cast<int>(kCapacity) : 0);
  EXPECT_TRUE(Calls("SendSP").empty());
  if (fits) return;

  ASSERT_EQ(Feed(kReply), 0);  // assembled from the start again
  EXPECT_EQ(Slice(OnlyRecord(), 4, kStampAt), kDecoded);
}

INSTANTIATE_TEST_SUITE_P(Compat, CompatOverflowTest,
                         ::testing::Values(Overflow{"exactly_full", 0, kCapacity},
                                           Overflow{"one_byte_over", 0, kCapacity + 1},
                                           Overflow{"filled_up", 4000, kCapacity - 4000},
                                           Overflow{"held_plus_one_over", 4000, kCapacity - 3999}),
                         [](const ::testing::TestParamInfo<Overflow>& i) {
                           return std::string(i.param.label);
                         });

// ---- records handed back from the cache --------------------------------------

class CompatCacheTest : public CompatTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(CompatCacheTest, TakesExactlyOneRecord) {
  const std::size_t len = GetParam();
  std::string cached(len, '\0');
  for (std::size_t i = 0; i < len; ++i) cached[i] = static_cast<char>(0x11 * (i % 15) + 1);
  const bool whole = len == kRecordSize;
  EXPECT_EQ(dev_->LoadFromCache(cached), whole ? 1 : 0);
  EXPECT_EQ(Peek::Ready(*dev_), whole);
  if (!whole) {
    EXPECT_TRUE(g_calls.empty());
    return;
  }
  EXPECT_EQ(Slice(OnlyRecord(), 0, kStampAt), Bytes(cached.begin(), cached.begin() + kStampAt));
}

INSTANTIATE_TEST_SUITE_P(Compat, CompatCacheTest,
                         ::testing::Values(kRecordSize - 1, kRecordSize, kRecordSize + 1),
                         [](const ::testing::TestParamInfo<std::size_t>& i) {
                           return "bytes_" + std::to_string(i.param);
                         });

}  // namespace
