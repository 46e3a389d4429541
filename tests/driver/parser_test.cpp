// Poll, frame assembly and reply decoding.
#include <limits>

#include "device_fixture.h"

namespace unit {
namespace {

constexpr unsigned kCapacity = QDXSPDevice::kRecvBufSize;
// Record bytes 4..18 of the example reply.
const Bytes kExampleValues = {0xFC, 0x08, 0xF7, 0x08, 0xFC, 0x08, 0x54, 0x01,
                              0xF4, 0x01, 0xCC, 0x00, 0x0E, 0x01, 0x09};
using Cuts = std::vector<std::size_t>;

class ParserTest : public DeviceFixture {
 protected:
  void SetUp() override { dev_.RefreshStatus(); }

  // Record bytes 4..18: the seven measurements and the state byte.
  Bytes Values() const {
    const Bytes r = Record();
    return Bytes(r.begin() + 4, r.begin() + 19);
  }
};

TEST_F(ParserTest, WorkedExample) {
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(sent_[0], Bytes({0x51, 0x31, 0x0D}));
  EXPECT_EQ(dev_.pending_cmd_, 100);
  EXPECT_EQ(dev_.baud_rate_, 2400);
  EXPECT_EQ(dev_.DeviceType(), "zota_up2200");

  StdoutCapture out;
  EXPECT_EQ(Feed(kReply), 0);
  EXPECT_EQ(out.Take(), std::string("strToSplit:") + kReplyText +
                            " fields size:8\ncData.state is 9\nrvSize is 0\n");
  EXPECT_EQ(Values(), kExampleValues);
  EXPECT_EQ(dev_.recv_len_, 0);
  EXPECT_EQ(dev_.pending_cmd_, 100);
  ASSERT_EQ(published_.size(), 1u);
  EXPECT_EQ(published_[0].type, 5035);
  EXPECT_EQ(published_[0].data, Record());
}

// Split points of one reply; every chunking must decode like the whole line.
class ChunkingTest : public ParserTest, public testing::WithParamInterface<Cuts> {};

TEST_P(ChunkingTest, DecodesLikeOneChunk) {
  const std::string reply = kReply;
  std::size_t from = 0;
  for (std::size_t cut : GetParam()) {
    EXPECT_EQ(Feed(reply.substr(from, cut - from)), 1) << "chunk ending at " << cut;
    from = cut;
  }
  EXPECT_EQ(Feed(reply.substr(from)), 0);
  EXPECT_EQ(Values(), kExampleValues);
  EXPECT_EQ(published_.size(), 1u);
  EXPECT_EQ(dev_.recv_len_, 0);
}

Cuts EveryByte() {
  Cuts cuts;
  for (std::size_t i = 1; i < test_support::kReplyLength; ++i) cuts.push_back(i);
  return cuts;
}

// One whole chunk is WorkedExample; Cuts{0} and the repeated 5 add empty chunks.
INSTANTIATE_TEST_SUITE_P(Parser, ChunkingTest,
                         testing::Values(Cuts{0}, Cuts{1}, Cuts{test_support::kReplyLength - 1},
                                         Cuts{5, 5, 30, 44}, EveryByte()));

// A frame padded with an ignored ninth field to `total` bytes, CR included.
std::string PaddedFrame(std::size_t total) {
  std::string frame = std::string("(") + kReplyText + " ";
  frame.append(total - 1 - frame.size(), 'x');
  return frame + "\r";
}

TEST_F(ParserTest, FrameOfExactlyCapacityIsAccepted) {
  const std::string frame = PaddedFrame(kCapacity);
  EXPECT_EQ(Feed(frame.substr(0, 4000)), 1);
  EXPECT_EQ(Feed(frame.substr(4000)), 0);
  EXPECT_EQ(dev_.cData.value0, 2300);
  EXPECT_EQ(published_.size(), 1u);
}

TEST_F(ParserTest, OneByteOverCapacityDropsTheChunk) {
  const std::string frame = PaddedFrame(kCapacity + 1);
  EXPECT_EQ(Feed(frame.substr(0, kCapacity)), 1);
  EXPECT_EQ(dev_.recv_len_, static_cast<int>(kCapacity));
  StdoutCapture out;
  EXPECT_EQ(Feed("\r"), 0);
  EXPECT_EQ(out.Take(), "");
  EXPECT_EQ(dev_.recv_len_, 0);
  EXPECT_TRUE(published_.empty());
  EXPECT_EQ(Feed(kReply), 0);  // the next reply assembles from the start
  EXPECT_EQ(dev_.cData.value0, 2300);
}

TEST_F(ParserTest, EarlyCrDoesNotSaveAnOversizedChunk) {
  EXPECT_EQ(Feed(std::string(4000, 'x')), 1);
  EXPECT_EQ(Feed("\r" + std::string(96, 'y')), 0);  // 4097 held
  EXPECT_EQ(dev_.recv_len_, 0);
  EXPECT_TRUE(published_.empty());
}

// Lengths whose 32-bit sum with the held count wraps or is huge: the buffer
// given is tiny, so reading it would crash.
class HugeLengthTest : public ParserTest, public testing::WithParamInterface<unsigned> {};

TEST_P(HugeLengthTest, RefusedWithoutTouchingTheData) {
  EXPECT_EQ(Feed("(230"), 1);
  unsigned char tiny[1] = {'\r'};
  EXPECT_EQ(dev_.process(tiny, GetParam()), 0);
  EXPECT_EQ(dev_.recv_len_, 0);
  EXPECT_TRUE(published_.empty());
}

INSTANTIATE_TEST_SUITE_P(Parser, HugeLengthTest,
                         testing::Values(0xFFFFFFFFu, 0xFFFFFFFFu - 2u, kCapacity - 3u,
                                         0x80000000u));

// A receive count the controller corrupted is never used as an index: the device
// resets and drops the chunk, and the next reply assembles from the start.
class CorruptCountTest : public ParserTest, public testing::WithParamInterface<int> {};

TEST_P(CorruptCountTest, ResetsAndDropsTheChunk) {
  dev_.recv_len_ = GetParam();
  {
    StdoutCapture out;
    EXPECT_EQ(Feed(kReply), 0);
    EXPECT_EQ(out.Take(), "");
  }
  EXPECT_EQ(dev_.recv_len_, 0);
  EXPECT_FALSE(dev_.IsProcessing());
  EXPECT_TRUE(published_.empty());
  EXPECT_EQ(Feed(kReply), 0);
  EXPECT_EQ(Values(), kExampleValues);
}

INSTANTIATE_TEST_SUITE_P(Parser, CorruptCountTest,
                         testing::Values(-1, std::numeric_limits<int>::min(),
                                         static_cast<int>(kCapacity) + 1,
                                         std::numeric_limits<int>::max()));

struct Conversion {
  std::size_t field;
  const char* text;
  std::uint16_t stored;
};

void PrintTo(const Conversion& c, std::ostream* os) { *os << c.field << ":" << c.text; }

class ConversionTest : public ParserTest, public testing::WithParamInterface<Conversion> {};

TEST_P(ConversionTest, StoresTheScaledField) {
  const Conversion& c = GetParam();
  std::vector<std::string> fields = {"230.0", "229.5", "230.0", "034",
                                     "50.0",  "2.05",  "27.0",  "00001001"};
  fields[c.field] = c.text;
  std::string line = "(";
  for (const auto& f : fields) line += f + " ";
  line.back() = '\r';
  ASSERT_EQ(Feed(line), 0);
  constexpr std::size_t kOffset[] = {4, 6, 8, 10, 12, 14, 16};
  EXPECT_EQ(Field16(dev_.cData, kOffset[c.field]), c.stored);
}

// The worked example's own values are checked by WorkedExample.
INSTANTIATE_TEST_SUITE_P(
    Parser, ConversionTest,
    testing::Values(Conversion{3, "-5", 65486}, Conversion{3, "12.9", 120}, Conversion{3, "abc", 0},
                    Conversion{3, "99999999999", 65526}, Conversion{3, "-99999999999", 0},
                    Conversion{0, "6553.5", 65535}, Conversion{0, "6553.6", 0},
                    Conversion{2, "-1.5", 0}, Conversion{4, "nan", 0}, Conversion{4, "inf", 0xFFFF},
                    Conversion{4, "-inf", 0}, Conversion{6, "1e300", 0xFFFF},
                    Conversion{6, "x7", 0}, Conversion{6, "1e3", 10000}));

TEST_F(ParserTest, SaturateU32IsDefinedForEveryDouble) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<double, std::uint32_t> cases[] = {
      {nan, 0},   {-inf, 0},         {-0.5, 0}, {0.99, 0}, {4294967295.9, ~0u}, {4294967296.0, ~0u},
      {inf, ~0u}, {65536.0, 65536u},
  };
  for (const auto& c : cases) EXPECT_EQ(zota::SaturateU32(c.first), c.second) << c.first;
}

struct Flags {
  const char* text;
  std::uint8_t state;
  const char* printed;
};

void PrintTo(const Flags& f, std::ostream* os) { *os << f.text; }

class FlagsTest : public ParserTest, public testing::WithParamInterface<Flags> {};

TEST_P(FlagsTest, FirstCharacterIsBit7) {
  StdoutCapture out;
  ASSERT_EQ(Feed(std::string("(230.0 229.5 230.0 034 50.0 2.05 27.0 ") + GetParam().text + "\r"),
            0);
  EXPECT_EQ(dev_.cData.state, GetParam().state);
  EXPECT_NE(out.Take().find(std::string("cData.state is ") + GetParam().printed + "\n"),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Parser, FlagsTest,
                         testing::Values(Flags{"00000000", 0x00, "0"},
                                         Flags{"10000001", 0x81, "81"},
                                         Flags{"0000000x", 0x01, "1"},
                                         Flags{"11111111", 0xFF, "ff"},
                                         Flags{"010000001", 0x40, "40"}));

struct Discarded {
  const char* chunk;
  const char* printed;
  bool polled = true;
};

void PrintTo(const Discarded& l, std::ostream* os) { *os << l.printed; }

class DiscardedLineTest : public ParserTest, public testing::WithParamInterface<Discarded> {};

TEST_P(DiscardedLineTest, LeavesTheRecordUntouched) {
  if (!GetParam().polled) dev_.pending_cmd_ = 0;
  StdoutCapture out;
  EXPECT_EQ(Feed(GetParam().chunk), 1);
  EXPECT_EQ(out.Take(), std::string("strToSplit:") + GetParam().printed + "\n");
  EXPECT_EQ(Record(), Bytes(26, 0));
  EXPECT_EQ(dev_.recv_len_, 0);
  EXPECT_TRUE(published_.empty());
  EXPECT_FALSE(dev_.data_ready_);
}

INSTANTIATE_TEST_SUITE_P(
    Parser, DiscardedLineTest,
    testing::Values(
        Discarded{"\r", " fields size:1"}, Discarded{"(\r", " fields size:1"},
        Discarded{"(230.0 229.5\r", "230.0 229.5 fields size:2"},
        Discarded{"(1 2 3 4 5 6 7 0000100\r", "1 2 3 4 5 6 7 0000100 fields size:8"},
        Discarded{"(1  2 3 4 5 6 7 00001001\r", "1  2 3 4 5 6 7 00001001 fields size:9"},
        Discarded{"(1 2 3 4 5 6 7\r", "1 2 3 4 5 6 7 fields size:7"},
        // A start byte at the end of the line, ending field 0 or inside a later
        // field: the text after it is empty, opens with a space or is short.
        Discarded{"(230.0 229.5 230.0 034 50.0 2.05 27.0 00001001(\r", " fields size:1"},
        Discarded{"(230.0( 229.5 230.0 034 50.0 2.05 27.0 00001001\r",
                  " 229.5 230.0 034 50.0 2.05 27.0 00001001 fields size:8"},
        Discarded{"(230.0 229.5 2(30.0 034 50.0 2.05 27.0 00001001\r",
                  "30.0 034 50.0 2.05 27.0 00001001 fields size:6"},
        // Without the start byte a frame is a reply's tail: never decoded.
        Discarded{"230.0 229.5 230.0 034 50.0 2.05 27.0 00001001\r",
                  "30.0 229.5 230.0 034 50.0 2.05 27.0 00001001 fields size:8"},
        Discarded{"X230.0 229.5 230.0 034 50.0 2.05 27.0 00001001\r",
                  "230.0 229.5 230.0 034 50.0 2.05 27.0 00001001 fields size:8"},
        // A whole reply while no poll is pending.
        Discarded{kReply, "230.0 229.5 230.0 034 50.0 2.05 27.0 00001001 fields size:8", false}));

struct NewestStart {
  const char* label;
  std::vector<std::string> chunks;
  std::uint16_t value0;
};

void PrintTo(const NewestStart& n, std::ostream* os) { *os << n.label; }

class NewestStartTest : public ParserTest, public testing::WithParamInterface<NewestStart> {};

// Bytes before the last start byte belong to no reply; the fields after it are
// never shifted.
TEST_P(NewestStartTest, DecodesFromTheLastStartByte) {
  const std::vector<std::string>& chunks = GetParam().chunks;
  for (std::size_t i = 0; i + 1 < chunks.size(); ++i) EXPECT_EQ(Feed(chunks[i]), 1);
  EXPECT_EQ(Feed(chunks.back()), 0);
  Bytes expected = kExampleValues;
  expected[0] = static_cast<unsigned char>(GetParam().value0 & 0xFF);
  expected[1] = static_cast<unsigned char>(GetParam().value0 >> 8);
  EXPECT_EQ(Values(), expected);
  EXPECT_EQ(published_.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Parser, NewestStartTest,
    testing::Values(
        NewestStart{"lf", {"\n", kReply}, 2300},
        NewestStart{"lf_same_chunk", {std::string("\n") + kReply}, 2300},
        NewestStart{"nul", {std::string(1, '\0') + kReply}, 2300},
        NewestStart{"noise", {"#~\x7f", kReply}, 2300},
        NewestStart{"two_starts", {std::string("(") + kReply}, 2300},
        NewestStart{"lost_tail", {"(231.0 229.5 23", kReply}, 2300},
        // Noise made a start byte inside field 0: only that field suffers.
        NewestStart{"start_in_field0", {"(23(0.0 229.5 230.0 034 50.0 2.05 27.0 00001001\r"}, 0}),
    [](const testing::TestParamInfo<NewestStart>& i) { return std::string(i.param.label); });

// The tail after CR is dropped, and a second line without a new poll
// completes another round.
TEST_F(ParserTest, BytesAfterCrAreLostAndTheNextLineDecodes) {
  EXPECT_EQ(Feed(std::string(kReply) + "(999.0 1"), 0);
  EXPECT_EQ(dev_.recv_len_, 0);
  EXPECT_EQ(Feed("(231.0 229.5 230.0 034 50.0 2.05 27.0 00001001\r"), 0);
  EXPECT_EQ(dev_.cData.value0, 2310);  // a kept tail would have made field 0 999.0
  EXPECT_EQ(sent_.size(), 1u);
  EXPECT_EQ(published_.size(), 2u);
}

}  // namespace
}  // namespace unit
