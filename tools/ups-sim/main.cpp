// ups-sim: a UPS on a pseudo-terminal. Prints the terminal's path as its only
// line on standard output, then answers each "Q1\r" poll per scenario, or with
// the chunks a qdx-host capture recorded.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <map>
#include <set>
#include <thread>

#include "controller/capture.h"
#include "ups_model.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr std::size_t kMaxLine = 256;
constexpr int kNoisyMaxChunks = 6;
constexpr int kNoisyMaxGapMs = 30;
constexpr int kNoisyGarbageOneIn = 4;
constexpr int kCrlfGapMs = 5;  // the LF follows the CR a little later, as on a slow line
constexpr int kIdlePollMs = 200;
constexpr char kPoll[] = "Q1";

using Clock = std::chrono::steady_clock;

volatile sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

struct Options {
  std::string scenario_name = "normal";
  std::uint32_t seed = 1;
  int fail_after = 3;
  bool exit_with_parent = false;
  bool verbose = false;
  std::string replay_path;
  std::string device;
};

void Log(const Options& opt, const std::string& text) {
  if (opt.verbose) std::cerr << "ups-sim: " << text << std::endl;
}

// The bytes as text with CR, LF and other control bytes escaped.
std::string Shown(const std::string& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c >= 0x7F || c == '\\') {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    } else {
      out += ch;
    }
  }
  return out;
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The master side of a new pty; slave_fd stays open here so the line does not
// hang up while the controller closes and reopens its end.
int OpenPty(std::string& path, int& slave_fd) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) return -1;
  const char* name = nullptr;
  if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || (name = ::ptsname(master)) == nullptr) {
    ::close(master);
    return -1;
  }
  path = name;
  slave_fd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios tio{};
  if (slave_fd < 0 || ::tcgetattr(slave_fd, &tio) != 0) {
    ::close(master);
    return -1;
  }
  ::cfmakeraw(&tio);  // no echo of polls, no CR translation, from the first byte on
  ::tcsetattr(slave_fd, TCSANOW, &tio);
  return master;
}

// What answers the received command lines.
class Responder {
 public:
  virtual ~Responder() = default;
  // Answers one received command line; false when the answer could not be written.
  virtual bool Answer(int fd, const std::string& line) = 0;
  // Writes what is due by now; wait_ms becomes the time until more is due, or
  // -1. False when a write failed.
  virtual bool WriteDue(int /*fd*/, int& wait_ms) {
    wait_ms = -1;
    return true;
  }
};

class Ups : public Responder {
 public:
  Ups(upssim::Scenario s, const Options& o) : scenario_(s), opt_(o), rng_(o.seed) {}

  bool Answer(int fd, const std::string& line) override {
    if (line != kPoll) {
      Log("ignored \"" + line + "\"");
      return true;
    }
    if (scenario_ == upssim::Scenario::kSilent) {
      Log("poll left unanswered");
      return true;
    }
    reading_ = upssim::NextReading(scenario_, replies_, reading_, opt_.fail_after, rng_);
    const std::string reply = upssim::FormatReply(reading_);
    ++replies_;
    Log("reply " + std::to_string(replies_) + ": " + reply.substr(0, reply.size() - 1));
    if (scenario_ == upssim::Scenario::kCrlf) {
      if (!WriteAll(fd, reply)) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(kCrlfGapMs));
      return WriteAll(fd, "\n");
    }
    if (scenario_ != upssim::Scenario::kNoisy) return WriteAll(fd, reply);
    if (std::uniform_int_distribution<int>(1, kNoisyGarbageOneIn)(rng_) == 1) {
      const std::string junk = upssim::GarbageLine(rng_);
      Log("garbage line " + junk.substr(0, junk.size() - 1));
      if (!WriteAll(fd, junk)) return false;
    }
    for (const std::string& chunk : upssim::SplitIntoChunks(reply, kNoisyMaxChunks, rng_)) {
      const int gap = std::uniform_int_distribution<int>(0, kNoisyMaxGapMs)(rng_);
      std::this_thread::sleep_for(std::chrono::milliseconds(gap));
      if (!WriteAll(fd, chunk)) return false;
    }
    return true;
  }

 private:
  void Log(const std::string& text) const { ::Log(opt_, text); }

  upssim::Scenario scenario_;
  Options opt_;
  std::mt19937 rng_;
  upssim::Reading reading_{};
  long replies_ = 0;
};

struct Chunk {
  std::chrono::microseconds offset{0};  // after the poll
  std::string bytes;
};
using Window = std::vector<Chunk>;  // what one poll was answered with

// The windows of one device in a capture: each sent chunk opens one, and the
// received chunks up to the next sent one fill it.
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

// Answers the n-th poll with the chunks of the n-th captured window, each at
// its captured offset from the poll.
class Replay : public Responder {
 public:
  Replay(std::vector<Window> windows, const Options& o) : windows_(std::move(windows)), opt_(o) {}

  bool Answer(int, const std::string& line) override {
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

  bool WriteDue(int fd, int& wait_ms) override {
    const Clock::time_point now = Clock::now();
    while (!due_.empty() && due_.begin()->first <= now) {
      Log(opt_, "chunk " + Shown(due_.begin()->second));
      if (!WriteAll(fd, due_.begin()->second)) return false;
      due_.erase(due_.begin());
    }
    wait_ms = -1;
    if (!due_.empty()) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(due_.begin()->first - now).count();
      wait_ms = static_cast<int>(std::min<long long>(left + 1, kIdlePollMs));
    }
    return true;
  }

 private:
  std::vector<Window> windows_;
  Options opt_;
  std::size_t next_ = 0;
  std::multimap<Clock::time_point, std::string> due_;  // equal times keep their order
};

int Serve(int master, Responder& ups) {
  std::string line;
  while (!g_stop) {
    int wait_ms = -1;
    if (!ups.WriteDue(master, wait_ms)) return kExitFailure;
    pollfd p{master, POLLIN, 0};
    const int r = ::poll(&p, 1, wait_ms >= 0 ? wait_ms : kIdlePollMs);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return kExitFailure;
    if (r == 0 || !(p.revents & POLLIN)) continue;
    char buf[128];
    const ssize_t n = ::read(master, buf, sizeof(buf));
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return kExitFailure;
    for (ssize_t i = 0; i < n; ++i) {
      const char c = buf[i];
      if (c == '\n') continue;
      if (c != '\r') {
        if (line.size() < kMaxLine) line += c;
        continue;
      }
      if (!ups.Answer(master, line)) return kExitFailure;
      line.clear();
    }
  }
  return 0;
}

// The windows of the capture's device; throws naming the file or device.
std::vector<Window> LoadReplay(Options& opt) {
  std::string warning;
  const std::vector<controller::CaptureEvent> events =
      controller::ReadCapture(opt.replay_path, &warning);
  if (!warning.empty()) std::cerr << "ups-sim: warning: " << warning << std::endl;
  std::set<std::string> devices;
  for (const controller::CaptureEvent& e : events) devices.insert(e.device);
  std::string names;
  for (const std::string& d : devices) names += (names.empty() ? "" : ", ") + d;
  if (opt.device.empty()) {
    if (devices.size() != 1) {
      throw std::runtime_error(opt.replay_path + " holds " +
                               (devices.empty()
                                    ? std::string("no device")
                                    : "the devices " + names + "; pick one with --device"));
    }
    opt.device = *devices.begin();
  }
  if (devices.count(opt.device) == 0) {
    throw std::runtime_error(opt.replay_path + " holds no device \"" + opt.device +
                             "\" (it holds: " + (names.empty() ? "none" : names) + ")");
  }
  std::vector<Window> windows = WindowsOf(events, opt.device);
  if (windows.empty())
    throw std::runtime_error(opt.replay_path + ": device \"" + opt.device + "\" sent no poll");
  return windows;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "ups-sim: a simulated UPS on a pseudo-terminal. Prints the terminal's path on standard "
      "output, then answers \"Q1\\r\" status polls with reply lines such as "
      "\"(230.0 229.5 230.0 034 50.0 2.05 27.0 00001001\\r\"."};
  Options opt;
  app.add_option("--scenario", opt.scenario_name,
                 std::string("What the UPS does: ") + upssim::kScenarioNames)
      ->capture_default_str();
  app.add_option("--seed", opt.seed, "Seed of the random drift, chunking and garbage")
      ->capture_default_str();
  app.add_option("--fail-after", opt.fail_after,
                 "Normal replies before utility-failure and low-battery switch over")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_flag("--exit-with-parent", opt.exit_with_parent, "Exit when the parent process ends");
  app.add_flag("-v,--verbose", opt.verbose, "Log each poll and reply on standard error");
  auto* replay =
      app.add_option(
             "--replay", opt.replay_path,
             "Answer the n-th poll with the chunks a qdx-host --capture FILE recorded after the "
             "device's n-th poll, at their recorded offsets (instead of a scenario)")
          ->type_name("FILE");
  app.add_option("--device", opt.device,
                 "Device of the capture to replay (needed when it holds several)")
      ->type_name("NAME")
      ->needs(replay);
  replay->excludes(app.get_option("--scenario"));
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : kExitUsage;
  }
  std::vector<Window> windows;
  if (!opt.replay_path.empty()) {
    try {
      windows = LoadReplay(opt);
    } catch (const std::exception& e) {
      std::cerr << "ups-sim: " << e.what() << std::endl;
      return kExitUsage;
    }
  }
  upssim::Scenario scenario{};
  if (opt.replay_path.empty() && !upssim::ParseScenario(opt.scenario_name, scenario)) {
    std::cerr << "ups-sim: unknown scenario \"" << opt.scenario_name << "\" (one of "
              << upssim::kScenarioNames << ")" << std::endl;
    return kExitUsage;
  }
  if (opt.exit_with_parent) {
    const pid_t parent = ::getppid();
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) return 0;  // the parent is already gone
  }
  struct sigaction sa {};
  sa.sa_handler = OnStop;
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  std::string path;
  int slave = -1;
  const int master = OpenPty(path, slave);
  if (master < 0) {
    std::cerr << "ups-sim: cannot open a pseudo-terminal: " << std::strerror(errno) << std::endl;
    return kExitFailure;
  }
  std::cout << path << std::endl;
  Ups ups(scenario, opt);
  Replay replayed(std::move(windows), opt);
  const int status =
      Serve(master, opt.replay_path.empty() ? static_cast<Responder&>(ups) : replayed);
  ::close(slave);
  ::close(master);
  return status;
}
