// The history file as a file: noticing it moved, deleted or replaced, its log
// deleted, or its pages damaged, and setting a damaged file aside.
#include "controller/history/history_file.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <iterator>
#include <thread>

#include "controller/common/iso_time.h"
#include "controller/history/history_connection.h"
#include "controller/history/history_schema.h"
#include "controller/history/history_sql.h"

namespace controller {

namespace {

constexpr const char* kLogSuffixes[] = {"-wal", "-shm"};
constexpr int kCheckpointTries = 20;  // each waits up to the busy timeout for readers

bool Stat(const std::string& path, struct stat* st) { return ::stat(path.c_str(), st) == 0; }

// Where an open file of ours is now, found through the descriptors SQLite
// holds: empty when it was deleted or none is open.
std::string WhereIs(std::uint64_t dev, std::uint64_t ino) {
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return "";
  std::string found;
  while (const dirent* e = ::readdir(dir)) {
    const std::string fd = std::string("/proc/self/fd/") + e->d_name;
    struct stat st {};
    if (!Stat(fd, &st) || static_cast<std::uint64_t>(st.st_dev) != dev ||
        static_cast<std::uint64_t>(st.st_ino) != ino || st.st_nlink == 0)
      continue;
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(fd.c_str(), buf, sizeof buf - 1);
    if (n > 0) found.assign(buf, static_cast<std::size_t>(n));
    // Named by a path that no longer leads to it: gone as far as anyone looking knows.
    const std::string gone = " (deleted)";
    if (found.size() >= gone.size() &&
        found.compare(found.size() - gone.size(), gone.size(), gone) == 0)
      found.clear();
    break;
  }
  ::closedir(dir);
  return found;
}

}  // namespace

FileIdentity FileIdentity::At(const std::string& path) {
  FileIdentity id;
  struct stat st {};
  if (Stat(path, &st)) {
    id.found = true;
    id.dev = static_cast<std::uint64_t>(st.st_dev);
    id.ino = static_cast<std::uint64_t>(st.st_ino);
  }
  for (int i = 0; i < 2; ++i)
    id.logs[i] = Stat(path + kLogSuffixes[i], &st) ? static_cast<std::uint64_t>(st.st_ino) : 0;
  return id;
}

FileChange ChangeSince(const FileIdentity& opened, const std::string& path, std::string* moved_to) {
  const FileIdentity now = FileIdentity::At(path);
  if (!opened.SameFile(now)) {
    *moved_to = WhereIs(opened.dev, opened.ino);
    return moved_to->empty() ? FileChange::kDeleted : FileChange::kMoved;
  }
  return opened.SameLogs(now) ? FileChange::kNone : FileChange::kLogLost;
}

Status HoldsHistory(const std::string& path) {
  struct stat st {};
  if (!Stat(path, &st) || st.st_size == 0) return {};  // nothing there to keep
  const Connection db(path, SQLITE_OPEN_READONLY);
  int rc = db.open_rc();
  bool ours = false;
  if (db.ok()) {
    Statement count(db.get(), sql::CountColumns());
    rc = count ? count.Step() : sqlite3_errcode(db.get());
    ours = rc == SQLITE_ROW && count.Int(0) == static_cast<std::int64_t>(std::size(sql::kColumns));
  }
  if (ours) return {};
  return Fail(rc == SQLITE_ROW ? "no history table" : db.reason());
}

std::string NameBeside(const std::string& path, const std::string& tag) {
  std::string stamp = FormatUtcMs(NowUtcMs()).substr(0, 19);
  for (char& c : stamp)
    if (c == ':') c = '-';
  std::string name = path + "." + tag + "-" + stamp;
  for (int n = 2; ::access(name.c_str(), F_OK) == 0 && n < 1000; ++n)
    name = path + "." + tag + "-" + stamp + "-" + std::to_string(n);
  return name;
}

std::string SetAside(const std::string& path, const std::string& tag, std::string* why) {
  const std::string aside = NameBeside(path, tag);
  if (::rename(path.c_str(), aside.c_str()) != 0) {
    *why = std::strerror(errno);
    return "";
  }
  // The log goes with its file; the shared memory is rebuilt from it.
  ::rename((path + "-wal").c_str(), (aside + "-wal").c_str());
  ::unlink((path + "-shm").c_str());
  return aside;
}

FileChange FileWatch::Check(const std::string& path, std::string* moved_to) const {
  return ChangeSince(files_, path, moved_to);
}

Status FileWatch::Checkpoint(sqlite3* db) {
  int rc = SQLITE_OK;
  for (int i = 0; i < kCheckpointTries; ++i) {
    rc = sqlite3_wal_checkpoint_v2(db, "main", SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    if (rc == SQLITE_OK) return {};
    if (!IsRetryable(rc)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return Status(Seen(rc), sqlite3_errmsg(db));
}

Status FileWatch::QuickCheck(sqlite3* db) {
  Statement check(db, sql::kQuickCheck);
  std::string problem;
  const int rc = check ? check.Step() : sqlite3_errcode(db);
  if (rc == SQLITE_ROW) {
    const std::string said = check.Text(0);
    if (said != "ok") {
      problem = said;
      for (char& c : problem)
        if (c == '\n') c = ' ';
      damaged_ = true;
    }
  } else if (IsDamage(rc)) {
    problem = sqlite3_errmsg(db);
    damaged_ = true;
  }
  return problem.empty() ? Status() : Status(SQLITE_CORRUPT, problem);
}

}  // namespace controller
