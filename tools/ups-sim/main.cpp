// ups-sim: a UPS on a pseudo-terminal. Prints the terminal's path as its only
// line on standard output, then answers each "Q1\r" poll per scenario.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <thread>

#include "ups_model.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr std::size_t kMaxLine = 256;
constexpr int kNoisyMaxChunks = 6;
constexpr int kNoisyMaxGapMs = 30;
constexpr int kNoisyGarbageOneIn = 4;
constexpr char kPoll[] = "Q1";

volatile sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

struct Options {
  std::string scenario_name = "normal";
  std::uint32_t seed = 1;
  int fail_after = 3;
  bool exit_with_parent = false;
  bool verbose = false;
};

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

class Ups {
 public:
  Ups(upssim::Scenario s, const Options& o) : scenario_(s), opt_(o), rng_(o.seed) {}

  // Answers one received command line; false when the line could not be written.
  bool Answer(int fd, const std::string& line) {
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
  void Log(const std::string& text) const {
    if (opt_.verbose) std::cerr << "ups-sim: " << text << std::endl;
  }

  upssim::Scenario scenario_;
  Options opt_;
  std::mt19937 rng_;
  upssim::Reading reading_{};
  long replies_ = 0;
};

int Serve(int master, Ups& ups) {
  std::string line;
  while (!g_stop) {
    pollfd p{master, POLLIN, 0};
    const int r = ::poll(&p, 1, 200);
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
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : kExitUsage;
  }
  upssim::Scenario scenario{};
  if (!upssim::ParseScenario(opt.scenario_name, scenario)) {
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
  const int status = Serve(master, ups);
  ::close(slave);
  ::close(master);
  return status;
}
