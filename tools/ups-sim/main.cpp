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

#include "replay_responder.h"
#include "scenario_responder.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr std::size_t kMaxLine = 256;
constexpr int kIdlePollMs = 200;

using upssim::Options;
using upssim::Responder;
using upssim::Window;

void OnStop(int) { upssim::g_stop = 1; }

// The master side of a new pty; slave_fd stays open here so the line does not
// hang up while the controller closes and reopens its end.
int OpenPty(std::string& path, int& slave_fd) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
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

int Serve(int master, Responder& ups) {
  std::string line;
  while (!upssim::g_stop) {
    int wait_ms = -1;
    if (!ups.WriteDue(master, wait_ms)) return upssim::g_stop ? 0 : kExitFailure;
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
      if (!ups.Answer(master, line)) return upssim::g_stop ? 0 : kExitFailure;
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
                 "Normal replies before utility-failure and low-battery switch over (power-cycle: "
                 "each phase)")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--late-ms", opt.late_ms,
                 "Scenario late: how long after the poll the reply goes out")
      ->check(CLI::Range(0, 60000))
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
      windows = upssim::LoadReplay(opt);
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
  upssim::Ups ups(scenario, opt);
  upssim::Replay replayed(std::move(windows), opt);
  const int status =
      Serve(master, opt.replay_path.empty() ? static_cast<Responder&>(ups) : replayed);
  ::close(slave);
  ::close(master);
  return status;
}
