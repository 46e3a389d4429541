// qdx-host: the stand-in controller program. Loads the site's plug-ins, polls
// its devices, shows what they publish and keeps every record in a history.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "controller/app/qdx_controller.h"
#include "controller/app/service_notify.h"
#include "controller/app/stop_signals.h"
#include "controller/app/zota_rollup_fields.h"
#include "controller/common/output.h"
#include "controller/config/site_config.h"
#include "controller/config/site_permissions.h"
#include "controller/history/history_db.h"
#include "controller/http/http_server.h"
#include "controller/link/sim_process.h"
#include "controller/notify/delivery.h"
#include "controller/notify/notifier.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr char kDefaultDb[] = "qdx-history.db";
// How long the closing lines may wait for a reader of standard output.
constexpr std::chrono::milliseconds kOutputFinishWait{2000};
constexpr char kSqliteUri[] = "file:";

// Why the path names no file the history can be kept in, or nothing: SQLite
// takes "" and ":memory:" for databases gone at exit (the records would be
// reported stored all the same), and "file:" for a URI.
std::string HistoryPathProblem(const std::string& path) {
  const std::string opt = "--db \"" + path + "\": ";
  if (path.empty()) return opt + "names no file; the history must be kept in one";
  if (path == ":memory:" || path.compare(0, sizeof(kSqliteUri) - 1, kSqliteUri) == 0)
    return opt + "SQLite would read this as an in-memory database or a URI, not a file " +
           "name; write ./" + path + " for a file of that name";
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    return opt + "history database " + path + " is a folder, not a file";
  return std::string();
}

// What the command line asked for.
struct Options {
  std::string site_path;
  std::string plugin_dir;
  std::string db_path = kDefaultDb;
  std::string sim_program = controller::OwnFolder() + "/ups-sim";
  std::string capture_path;
  controller::RunLimits limits;
  std::string http_addr;
  bool http_allow_remote = false;
  bool notify_test = false;
  bool quiet_polls = false;
  std::string plugin_lines = "auto";
};

// Once, before any branch, notify-test included: whatever runs after relies
// on it. Returns the stop signals' descriptor, -1 when they cannot be caught.
int SetUpProcess() {
  // Before anything opens a file: a port must never get descriptor 1 or 2 and
  // with it our lines.
  controller::EnsureStandardDescriptors();
  // Numbers in lines, JSON and metrics take a dot whatever the environment says.
  std::setlocale(LC_ALL, "C");
  // A reader that goes away (qdx-host ... | head) or a command target that
  // exits without reading its event is a failed write, said where it matters,
  // never the end of the process.
  ::signal(SIGPIPE, SIG_IGN);
  controller::SkipSqliteMemoryStatistics();
  // Plug-in diagnostics, printf included, and our lines share one ordered stream.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // Before any thread starts, so that every thread leaves them to the descriptor.
  return controller::CatchStopSignals();
}

// qdx-host notify-test SITE: one test event to every target, and its answer.
// A stop signal ends what is under way, each target's answer then "left".
int NotifyTest(const Options& o, int stop_fd) {
  controller::StopClock stop;
  controller::StopWatch watch(stop_fd, false, [&stop] {
    controller::Complain("stop signal received: the test is cut short");
    stop.Lower(std::chrono::steady_clock::now());
  });
  const controller::SiteConfig site = controller::LoadSite(o.site_path, o.plugin_dir);
  if (site.notify.empty()) {
    std::cout << o.site_path << ": no \"notify\" targets" << std::endl;
    return kExitFailure;
  }
  const controller::NotifyEvent e = controller::OwnEvent(
      controller::EventKindId::kTest, "qdx-host: a test event, sent by notify-test");
  const std::string json = controller::EventJson(e);
  bool all = true;
  for (const controller::NotifyTarget& t : site.notify) {
    const controller::Answer a = controller::Deliver(t, e, json, stop);
    all = all && a.delivered;
    const char* verdict = a.delivered ? "delivered" : a.left ? "not delivered" : "failed";
    std::cout << "target \"" << t.name << "\": " << verdict << " (" << a.said << ")" << std::endl;
  }
  return all ? 0 : kExitFailure;
}

// Starts the site and runs it until its limits or a stop signal.
int RunSite(const Options& o, const controller::HttpOptions& http, int stop_fd) {
  try {
    // A signal during the start is read here; the loop reads the rest.
    controller::StopWatch watch(stop_fd, controller::ServiceNotifier::Wanted());
    controller::SiteConfig site = controller::LoadSite(o.site_path, o.plugin_dir);
    for (const std::string& warning : controller::CheckSiteFile(o.site_path, site.notify))
      controller::Complain(warning);
    auto controller = std::make_shared<QDXController>(std::move(site), o.db_path, o.sim_program);
    controller->QuietPolls(o.quiet_polls);
    if (controller::ServiceNotifier::Wanted())
      controller->SetService(std::make_shared<controller::ServiceNotifier>());
    std::unique_ptr<controller::HttpServer> server;
    if (!o.http_addr.empty()) {
      auto board = std::make_shared<controller::StatusBoard>();
      controller->SetStatusBoard(board);
      server = std::make_unique<controller::HttpServer>(board, http);
      server->Bind();  // a taken port stops the start before the history is opened
    }
    if (!o.capture_path.empty()) controller->StartCapture(o.capture_path);
    controller->Start();
    if (server) controller::Say("qdx-host: status page at " + server->Start());
    watch.End();
    const int status = controller->Run(o.limits, stop_fd);
    if (server) server->Stop();
    controller->Shutdown();
    return status;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    controller::Complain(e.what());
    return kExitFailure;
  }
}

void AddOptions(CLI::App& app, Options& o) {
  app.add_option("site", o.site_path, "Site file (JSON) naming plug-ins and devices")->required();
  app.add_option("--plugin-dir", o.plugin_dir,
                 "Folder for relative plug-in paths (default: the site file's folder)");
  app.add_option("--db", o.db_path, "History database file (not a folder, \"\" or \":memory:\")")
      ->capture_default_str();
  app.add_option("--cycles", o.limits.cycles,
                 "Stop after N ended cycles per device (a poll missed while its port is lost "
                 "counts as one)")
      ->check(CLI::PositiveNumber);
  app.add_option("--duration", o.limits.duration_s, "Stop after S seconds")
      ->check(CLI::PositiveNumber);
  app.add_option("--sim", o.sim_program, "UPS simulator program for \"sim:\" ports")
      ->capture_default_str();
  app.add_option("--capture", o.capture_path,
                 "Write every chunk each device sends and receives to FILE, one line per chunk "
                 "(replay with ups-sim --replay); an existing capture is appended to, any other "
                 "existing file and the history are refused")
      ->type_name("FILE");
  app.add_option("--http", o.http_addr,
                 "Serve a read-only status page, JSON API, event stream and metrics on "
                 "ADDR:PORT, e.g. 127.0.0.1:8080 (port 0: any free port); off by default");
  app.add_flag("--http-allow-remote", o.http_allow_remote,
               "Allow --http on an address other machines can reach");
  app.set_version_flag("--version", std::string("qdx-host ") + ZOTA_VERSION,
                       "Print the version and exit");
  app.add_flag("--quiet-polls", o.quiet_polls,
               "Leave out the lines each poll makes: the record lines, the plug-ins' own "
               "diagnostic lines (unless --plugin-lines on) and a failing line's repeats (its "
               "first failure and each change of its state are shown). Alarms, reports, events "
               "and the summary are still shown. For a journal: at 1 s polls a device makes "
               "86,400 records a day");
  app.add_option("--plugin-lines", o.plugin_lines,
                 "The plug-ins' own diagnostic lines on standard output (\"strToSplit:...\", "
                 "three a poll): on, off, or auto: shown, except with --quiet-polls or under a "
                 "service manager (NOTIFY_SOCKET set, or standard output is the journal)")
      ->check(CLI::IsMember({"auto", "on", "off"}))
      ->capture_default_str();
  app.add_flag("--notify-test", o.notify_test,
               "Send one test event to every target of the site's \"notify\" list, say what "
               "each answered and exit (also: qdx-host notify-test SITE)");
}

// The command line, "qdx-host notify-test SITE" read as the option.
std::vector<std::string> Arguments(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  if (argc > 1 && args[1] == "notify-test") args[1] = "--notify-test";
  return args;
}

}  // namespace

int main(int argc, char** argv) {
  const int stop_fd = SetUpProcess();
  if (stop_fd < 0) {
    std::cerr << "qdx-host: cannot handle stop signals: " << std::strerror(errno) << std::endl;
    return kExitFailure;
  }
  CLI::App app{
      "qdx-host: loads device plug-ins, polls the devices named in a site file, shows each "
      "published record, alarm and analogue report, and stores every record in a SQLite "
      "history."};
  Options o;
  AddOptions(app, o);
  std::vector<std::string> args = Arguments(argc, argv);
  std::vector<char*> arg_ptrs;
  for (std::string& a : args) arg_ptrs.push_back(&a[0]);
  try {
    app.parse(argc, arg_ptrs.data());
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : kExitUsage;
  }
  if (o.notify_test) {
    try {
      return NotifyTest(o, stop_fd);
    } catch (const std::exception& e) {
      controller::Complain(e.what());
      return kExitFailure;
    }
  }
  const std::string db_problem = HistoryPathProblem(o.db_path);
  if (!db_problem.empty()) {
    controller::Complain(db_problem);
    return kExitUsage;
  }
  controller::HttpOptions http;
  if (!o.http_addr.empty()) {
    try {
      http =
          controller::MakeHttpOptions(o.http_addr, o.http_allow_remote, o.db_path, ZOTA_CHART_JS);
      http.fields = controller::ZotaRollupFields();
    } catch (const std::invalid_argument& e) {
      controller::Complain(e.what());
      return kExitUsage;
    }
  }
  try {
    const bool service = controller::ServiceNotifier::Wanted() || controller::StdoutIsJournal();
    controller::StartOutput(o.plugin_lines == "on" ||
                            (o.plugin_lines == "auto" && !o.quiet_polls && !service));
  } catch (const std::exception& e) {
    controller::Complain(e.what());
    return kExitFailure;
  }
  int status = RunSite(o, http, stop_fd);
  ::close(stop_fd);
  controller::FinishOutput(kOutputFinishWait);
  // A reader that left on purpose is no failure; a lost account of the run is.
  const int out_error = controller::OutputError();
  if (status == 0 && out_error != 0 && out_error != EPIPE) status = kExitFailure;
  return status;
}
