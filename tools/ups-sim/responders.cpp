#include "responders.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <thread>

#include "controller/common/hex.h"

namespace upssim {

volatile sig_atomic_t g_stop = 0;

namespace {

constexpr int kNoisyMaxChunks = 6;
constexpr int kNoisyMaxGapMs = 30;
constexpr int kNoisyGarbageOneIn = 4;
constexpr int kCrlfGapMs = 5;  // the LF follows the CR a little later, as on a slow line
constexpr int kIdlePollMs = 200;
constexpr std::size_t kBabbleBytes = 4096;  // CR bytes per write of the babbling line
constexpr char kPoll[] = "Q1";
constexpr int kFullWaitMs = 100;  // a look at the stop flag at least this often

}  // namespace

void Log(const Options& opt, const std::string& text) {
  if (opt.verbose) std::cerr << "ups-sim: " << text << std::endl;
}

std::string Shown(const std::string& bytes) {
  std::string out;
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c >= 0x7F || c == '\\') {
      out += "\\x";
      controller::AppendHexByte(out, c);
    } else {
      out += ch;
    }
  }
  return out;
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    // The terminal is non-blocking: a full one is waited on in short steps, so
    // a stop signal ends the wait even when nobody reads the other side.
    if (g_stop) return false;
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, kFullWaitMs);
      continue;
    }
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool WriteDueChunks(int fd, DueChunks& due, const Options& opt, int& wait_ms) {
  const Clock::time_point now = Clock::now();
  while (!due.empty() && due.begin()->first <= now) {
    Log(opt, "chunk " + Shown(due.begin()->second));
    if (!WriteAll(fd, due.begin()->second)) return false;
    due.erase(due.begin());
  }
  wait_ms = -1;
  if (!due.empty()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(due.begin()->first - now).count();
    wait_ms = static_cast<int>(std::min<long long>(left + 1, kIdlePollMs));
  }
  return true;
}

bool Ups::Answer(int fd, const std::string& line) {
  if (line != kPoll) {
    Log("ignored \"" + line + "\"");
    return true;
  }
  if (scenario_ == Scenario::kSilent || scenario_ == Scenario::kBabble) {
    Log("poll left unanswered");
    return true;
  }
  reading_ = NextReading(scenario_, replies_, reading_, opt_.fail_after, rng_);
  const std::string reply = FormatReply(reading_);
  ++replies_;
  Log("reply " + std::to_string(replies_) + ": " + reply.substr(0, reply.size() - 1));
  if (scenario_ == Scenario::kLate) {
    due_.emplace(Clock::now() + std::chrono::milliseconds(opt_.late_ms), reply);
    return true;
  }
  if (scenario_ == Scenario::kCrlf) {
    if (!WriteAll(fd, reply)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kCrlfGapMs));
    return WriteAll(fd, "\n");
  }
  if (scenario_ != Scenario::kNoisy) return WriteAll(fd, reply);
  if (std::uniform_int_distribution<int>(1, kNoisyGarbageOneIn)(rng_) == 1) {
    const std::string junk = GarbageLine(rng_);
    Log("garbage line " + junk.substr(0, junk.size() - 1));
    if (!WriteAll(fd, junk)) return false;
  }
  for (const std::string& chunk : SplitIntoChunks(reply, kNoisyMaxChunks, rng_)) {
    const int gap = std::uniform_int_distribution<int>(0, kNoisyMaxGapMs)(rng_);
    std::this_thread::sleep_for(std::chrono::milliseconds(gap));
    if (!WriteAll(fd, chunk)) return false;
  }
  return true;
}

bool Ups::WriteDue(int fd, int& wait_ms) {
  if (scenario_ != Scenario::kBabble) {
    // Late replies, without logging each chunk again.
    Options quiet = opt_;
    quiet.verbose = false;
    return WriteDueChunks(fd, due_, quiet, wait_ms);
  }
  if (!babbling_) Log("babbling: CR bytes without a pause");
  babbling_ = true;
  wait_ms = 0;  // as fast as the terminal takes them, reading polls in between
  return WriteAll(fd, std::string(kBabbleBytes, '\r'));
}

std::vector<Window> WindowsOf(const std::vector<controller::CaptureEvent>& events,
                              const std::string& device) {
  std::vector<Window> windows;
  std::int64_t opened = 0;
  for (const controller::CaptureEvent& e : events) {
    if (e.device != device) continue;
    if (!e.received) {
      windows.emplace_back();
      opened = e.usec;
    } else if (!windows.empty()) {
      windows.back().push_back(
          Chunk{std::chrono::microseconds(std::max<std::int64_t>(0, e.usec - opened)), e.bytes});
    }
  }
  return windows;
}

bool Replay::Answer(int, const std::string& line) {
  if (next_ >= windows_.size()) {
    Log(opt_, "\"" + Shown(line) + "\" left unanswered: the capture has no more polls");
    return true;
  }
  const Clock::time_point now = Clock::now();
  for (const Chunk& c : windows_[next_]) due_.emplace(now + c.offset, c.bytes);
  ++next_;
  Log(opt_, "poll " + std::to_string(next_) + ": " + std::to_string(windows_[next_ - 1].size()) +
                " chunks to replay");
  return true;
}

}  // namespace upssim
