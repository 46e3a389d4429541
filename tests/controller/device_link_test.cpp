// The device link's own promises: a port that refuses a write is lost at
// once, not one reply timeout later; a line that takes no output fails only
// the poll, at its timeout, and never holds up the caller. The table drives
// one link through its exchanges on a real socket pair, at times it is given.
#include "controller/link/device_link.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "controller/common/unique_fd.h"
#include "controller/framework/serial_port.h"

namespace {

using controller::Clock;
using controller::DeviceLink;
using controller::Ending;
using controller::LinkState;

// A device on one end of a socket pair: its poll is three bytes.
class SocketDevice : public QDXSPDevice {
 public:
  explicit SocketDevice(int fd) : fd_(fd) {}
  bool OpenPort() override {
    port_fd_ = fd_;
    return true;
  }
  int RefreshStatus() override {
    QDXSPDevice::RefreshStatus();
    static const unsigned char kPoll[] = {'Q', '1', '\r'};
    SendData(kPoll, sizeof(kPoll));
    return 1;
  }
  int LoadFromCache(const unsigned char*, int) override { return 0; }

 private:
  int fd_;
};

// One device polled every second, its reply due within timeout_ms.
controller::DeviceConfig OneSecond(int timeout_ms) {
  controller::DeviceConfig cfg;
  cfg.name = "ups1";
  cfg.data_id = 1;
  cfg.poll_interval_ms = 1000;
  cfg.reply_timeout_ms = timeout_ms;
  return cfg;
}

TEST(DeviceLinkTest, AFailedWriteLosesThePortAtOnce) {
  ::signal(SIGPIPE, SIG_IGN);
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  ::close(fds[1]);  // the line is gone: writing gives EPIPE
  auto dev = std::make_shared<SocketDevice>(fds[0]);
  DeviceLink link(OneSecond(800), 0, dev, "");
  link.OpenAtStart();
  const Clock::time_point now = Clock::now();
  link.Begin(now);
  link.Turn(now);
  EXPECT_EQ(link.exchange(), DeviceLink::Exchange::kClosed);
  EXPECT_EQ(link.counters().failures, 1);
  EXPECT_EQ(link.fd(), -1);
}

TEST(DeviceLinkTest, AFullLineFailsThePollAtItsTimeoutAndKeepsThePort) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
  const std::string fill(4096, 'x');
  for (int i = 0; i < 10000 && ::write(fds[0], fill.data(), fill.size()) > 0; ++i) {
  }  // nobody reads fds[1]: the line takes nothing more
  auto dev = std::make_shared<SocketDevice>(fds[0]);
  dev->reply_timeout_ms_ = 50;
  DeviceLink link(OneSecond(50), 0, dev, "");
  link.OpenAtStart();
  link.Begin(Clock::now());
  link.Turn(Clock::now());
  EXPECT_EQ(link.exchange(), DeviceLink::Exchange::kAwaiting);
  EXPECT_TRUE(link.wants_output());  // the poll waits for room, not the caller
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  link.Turn(Clock::now());
  EXPECT_EQ(link.counters().failures, 1);
  EXPECT_FALSE(link.wants_output());  // a poll too late is not sent later
  EXPECT_EQ(link.fd(), fds[0]);
  link.Close();
  ::close(fds[1]);
}

// A link begun late (its simulator came up after the others began) polls at
// once, then in the others' slots: devices of one interval stay in step.
TEST(DeviceLinkTest, ALinkBegunLateJoinsTheSlotsFromItsSecondPoll) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
  auto dev = std::make_shared<SocketDevice>(fds[0]);
  dev->reply_timeout_ms_ = 50;
  DeviceLink link(OneSecond(50), 0, dev, "");
  link.OpenAtStart();
  const Clock::time_point slots = Clock::time_point(std::chrono::hours(1));
  const Clock::time_point late = slots + std::chrono::milliseconds(1300);
  link.Begin(late, slots);
  link.Turn(late);
  EXPECT_EQ(link.exchange(), DeviceLink::Exchange::kAwaiting);
  link.Turn(late + std::chrono::milliseconds(100));  // no reply: the cycle ends
  EXPECT_EQ(link.Wake(Clock::time_point::max()), slots + std::chrono::milliseconds(2000));
  link.Close();
  ::close(fds[1]);
}

// ---- one link, its exchanges at given times ------------------------------

constexpr int kPollMs = 1000;
constexpr int kTimeoutMs = 300;

// A device answering "OK\r" with a 4-byte record; any other line does not
// decode. Each open is a new socket pair, the test holding the line's far end.
class LineDevice : public SocketDevice {
 public:
  LineDevice() : SocketDevice(-1) {}
  int open_failures = 0;  // opens to refuse before one succeeds
  int absent_opens = 0;   // opens that find no port, first of all
  controller::UniqueFd peer;

  bool OpenPort() override {
    if (absent_opens > 0) {
      --absent_opens;
      throw controller::PortMissing("cannot open port sock: no such file", "no such file");
    }
    if (open_failures > 0) {
      --open_failures;
      throw std::runtime_error("cannot open port: gone");
    }
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds) != 0)
      throw std::runtime_error("socketpair");
    port_fd_ = fds[0];
    peer.reset(fds[1]);
    return true;
  }
  int process(unsigned char* data, unsigned int n) override {
    line_.append(reinterpret_cast<const char*>(data), n);
    const std::size_t cr = line_.find('\r');
    if (cr == std::string::npos) return 1;
    const bool ok = line_.compare(0, cr, "OK") == 0;
    line_.clear();
    QDXSPDevice::Reset();
    if (ok) Publish(kRecord, sizeof(kRecord));
    return 0;
  }
  int LoadFromCache(const unsigned char* data, int len) override {
    Publish(data, static_cast<unsigned int>(len));
    return 1;
  }

 private:
  static constexpr unsigned char kRecord[4] = {1, 2, 3, 4};
  void Publish(const unsigned char* data, unsigned int len) {
    SendSP(5035, data, len, false);
    SaveDeviceHistory(data, len);
  }
  std::string line_;
};

struct Step {
  enum Kind {
    kTurn,    // the link's turn
    kReply,   // the far end sends text, the link reads it
    kHangUp,  // the far end goes away
    kBabble,  // the far end sends more than a poll discards
    kFill,    // the line's output queue fills up
    kReplay,  // a stored record is handed back
  } kind;
  int at_ms;
  std::string text = "";
};

struct LinkCase {
  std::string name;
  int open_failures;
  std::vector<Step> steps;
  std::string told;  // the outcomes, in order, with their times
  std::string notes;
  controller::LinkCounters counters;  // cycles, records, failures, late replies, reopens
  int rows;                           // history rows handed on
  LinkState link;
  DeviceLink::Exchange exchange;
  long wake_ms;  // the next turn wanted after the last step
  int absent_opens = 0;
};

void PrintTo(const LinkCase& c, std::ostream* os) { *os << c.name; }

const char* Name(const controller::LinkOutcome& o) {
  switch (o.ending) {
    case Ending::kRecord:
      return o.replayed ? "replay" : "record";
    case Ending::kLateReply:
      return "late";
    case Ending::kFailure:
      return "failure";
    case Ending::kMissedPoll:
      return "missed";
    case Ending::kLost:
      return "lost";
    case Ending::kReopenFailed:
      return "reopen-failed";
    case Ending::kReopened:
      return "reopened";
    case Ending::kNotice:
      break;
  }
  return "notice";
}

struct Transcript : controller::LinkObserver {
  explicit Transcript(Clock::time_point t0) : t0(t0) {}
  void Ended(const DeviceLink&, const controller::LinkOutcome& o) override {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(o.at - t0).count();
    told += (told.empty() ? "" : " ") + std::string(Name(o)) + "@" + std::to_string(ms);
    if (!o.note.empty()) notes += (notes.empty() ? "" : " | ") + o.note;
    if (o.stored && !o.replayed) ++rows;
  }
  Clock::time_point t0;
  std::string told, notes;
  int rows = 0;
};

class DeviceLinkTable : public ::testing::TestWithParam<LinkCase> {};

TEST_P(DeviceLinkTable, TellsOneOutcomePerExchange) {
  const LinkCase& c = GetParam();
  auto dev = std::make_shared<LineDevice>();
  controller::DeviceConfig cfg;
  cfg.name = "ups1";
  cfg.data_id = 1;
  cfg.port = "sock";
  cfg.poll_interval_ms = kPollMs;
  cfg.reply_timeout_ms = kTimeoutMs;
  DeviceLink link(cfg, 0, dev, "");
  const Clock::time_point t0 = Clock::time_point(std::chrono::hours(1));  // the fake clock
  Transcript seen(t0);
  link.Observe(&seen);
  dev->absent_opens = c.absent_opens;
  link.OpenAtStart();
  dev->open_failures = c.open_failures;
  link.Begin(t0);
  Clock::time_point now = t0;
  for (const Step& s : c.steps) {
    now = t0 + std::chrono::milliseconds(s.at_ms);
    const std::string bytes = s.kind == Step::kBabble ? std::string(70000, '\r') : s.text;
    std::size_t sent = 0;
    for (int i = 0; i < 100 && sent < bytes.size(); ++i) {
      const ssize_t n = ::write(dev->peer.get(), bytes.data() + sent, bytes.size() - sent);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    ASSERT_EQ(sent, bytes.size()) << "at " << s.at_ms;
    const std::string fill(4096, 'x');
    for (int i = 0; s.kind == Step::kFill && i < 10000; ++i) {
      if (::write(dev->port_fd_, fill.data(), fill.size()) <= 0) break;
    }
    char drained[512];  // the poll taken first: unread, it would make the hang-up a reset
    for (int i = 0; s.kind == Step::kHangUp && i < 100; ++i) {
      if (::read(dev->peer.get(), drained, sizeof(drained)) <= 0) break;
    }
    if (s.kind == Step::kHangUp) dev->peer.reset();
    if (s.kind == Step::kTurn || s.kind == Step::kBabble) link.Turn(now);
    if (s.kind == Step::kReply) link.Ready(POLLIN, now);
    if (s.kind == Step::kHangUp) link.Ready(POLLIN | POLLHUP, now);
    if (s.kind == Step::kReplay) {
      const unsigned char stored[4] = {9, 9, 9, 9};
      EXPECT_EQ(link.Replay(stored, sizeof(stored), now), 1);
    }
  }
  EXPECT_EQ(seen.told, c.told);
  EXPECT_EQ(seen.notes, c.notes);
  const controller::LinkCounters& n = link.counters();
  EXPECT_EQ(n.cycles, c.counters.cycles);
  EXPECT_EQ(n.records, c.counters.records);
  EXPECT_EQ(n.failures, c.counters.failures);
  EXPECT_EQ(n.late_replies, c.counters.late_replies);
  EXPECT_EQ(n.reopens, c.counters.reopens);
  EXPECT_EQ(seen.rows, c.rows);
  EXPECT_EQ(link.link_state(), c.link);
  EXPECT_EQ(link.exchange(), c.exchange);
  const Clock::time_point wake = link.Wake(Clock::time_point::max());
  EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(wake - t0).count(), c.wake_ms);
  link.Close();
}

using Exchange = DeviceLink::Exchange;
const std::string kFailure1 = "no complete reply within 300 ms, communication failure 1";

INSTANTIATE_TEST_SUITE_P(
    DeviceLink, DeviceLinkTable,
    ::testing::Values(
        LinkCase{"AReplyNotDecodedThenARecord",
                 0,
                 {{Step::kTurn, 0},
                  {Step::kReply, 10, "XX\r"},
                  {Step::kTurn, 1000},
                  {Step::kReply, 1020, "OK\r"}},
                 "failure@10 record@1020",
                 "reply discarded, communication failure 1",
                 {2, 1, 1, 0, 0},
                 1,
                 LinkState::kOk,
                 Exchange::kIdle,
                 2000},
        // The reply deadline is the poll's time plus the timeout, however much arrived.
        LinkCase{
            "AStalledReplyFailsAtItsDeadline",
            0,
            {{Step::kTurn, 0}, {Step::kReply, 100, "O"}, {Step::kTurn, 299}, {Step::kTurn, 300}},
            "failure@300",
            kFailure1,
            {1, 0, 1, 0, 0},
            0,
            LinkState::kTimeout,
            Exchange::kIdle,
            1000},
        // Stays a failure; its record is published and stored all the same.
        LinkCase{"ALateReply",
                 0,
                 {{Step::kTurn, 0}, {Step::kTurn, 300}, {Step::kReply, 450, "OK\r"}},
                 "failure@300 late@450",
                 kFailure1,
                 {1, 1, 1, 1, 0},
                 1,
                 LinkState::kOk,
                 Exchange::kIdle,
                 1000},
        // Replayed: stored already, and it says nothing about the line.
        LinkCase{"AReplay",
                 0,
                 {{Step::kTurn, 0}, {Step::kTurn, 300}, {Step::kReplay, 310}},
                 "failure@300 replay@310",
                 kFailure1,
                 {1, 1, 1, 0, 0},
                 0,
                 LinkState::kTimeout,
                 Exchange::kIdle,
                 1000},
        // Said once a minute, and each poll still goes out on schedule.
        LinkCase{
            "ABabblingLine",
            0,
            {{Step::kBabble, 0}, {Step::kTurn, 300}, {Step::kBabble, 1000}, {Step::kTurn, 1300}},
            "notice@0 failure@300 failure@1300",
            "line keeps sending: 65,536 bytes discarded before poll | " + kFailure1 +
                " | no complete reply within 300 ms, communication failure 2",
            {2, 0, 2, 0, 0},
            0,
            LinkState::kTimeout,
            Exchange::kIdle,
            2000},
        LinkCase{"ALineThatTakesNoOutput",
                 0,
                 {{Step::kFill, 0},
                  {Step::kTurn, 0},
                  {Step::kTurn, 300},
                  {Step::kTurn, 1000},
                  {Step::kTurn, 1300}},
                 "failure@300 failure@1300",
                 "line takes no output: poll not sent within 300 ms, communication failure 1",
                 {2, 0, 2, 0, 0},
                 0,
                 LinkState::kTimeout,
                 Exchange::kIdle,
                 2000},
        // The cycle under way fails with the port; the reopen is filed 250 ms on.
        LinkCase{"ALostPort",
                 0,
                 {{Step::kTurn, 0}, {Step::kHangUp, 10}},
                 "lost@10",
                 "port sock lost (the line hung up); reopening in 0.2 s",
                 {1, 0, 1, 0, 0},
                 0,
                 LinkState::kLost,
                 Exchange::kClosed,
                 260},
        // Back-off 250, 500, 1000, 2000 ms; each poll slot that passes meanwhile
        // is a failed cycle; the first poll goes out once the port is back.
        LinkCase{"AReopenWithBackoff",
                 3,
                 {{Step::kTurn, 0},
                  {Step::kHangUp, 10},
                  {Step::kTurn, 260},
                  {Step::kTurn, 760},
                  {Step::kTurn, 1000},
                  {Step::kTurn, 1760},
                  {Step::kTurn, 2000},
                  {Step::kTurn, 3000},
                  {Step::kTurn, 3760}},
                 "lost@10 reopen-failed@260 reopen-failed@760 missed@1000 reopen-failed@1760 "
                 "missed@2000 missed@3000 reopened@3760",
                 "port sock lost (the line hung up); reopening in 0.2 s | cannot open port: "
                 "gone; next try in 0.5 s | cannot open port: gone; next try in 1.0 s | cannot "
                 "open port: gone; next try in 2.0 s | port sock reopened",
                 {4, 0, 4, 0, 1},
                 0,
                 LinkState::kOk,
                 Exchange::kAwaiting,
                 4060},
        // Lost from the start, retried with the same back-off; polled once it is there.
        LinkCase{
            "APortMissingAtStart",
            0,
            {{Step::kTurn, 0}, {Step::kTurn, 250}, {Step::kTurn, 750}, {Step::kReply, 760, "OK\r"}},
            "lost@0 missed@0 reopen-failed@250 reopened@750 record@760",
            "port sock missing at start (no such file); trying again in 0.2 s | cannot "
            "open port sock: no such file; next try in 0.5 s | port sock opened",
            {2, 1, 1, 0, 1},
            1,
            LinkState::kOk,
            Exchange::kIdle,
            1750,
            2}),
    [](const ::testing::TestParamInfo<LinkCase>& info) { return info.param.name; });

}  // namespace
