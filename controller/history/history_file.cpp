// The history file as a file: noticing it moved, deleted or replaced, its log
// deleted, or its pages damaged, and setting a damaged file aside.
#include <dirent.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <thread>

#include "controller/common/iso_time.h"
#include "controller/history/history_db.h"

namespace controller {

namespace {

constexpr const char* kLogSuffixes[] = {"-wal", "-shm"};
constexpr int kCheckpointTries = 20;  // each waits up to the busy timeout for readers
constexpr const char* kHistoryColumns =
    "SELECT COUNT(*) FROM pragma_table_info('history') WHERE name IN "
    "('id', 'data_id', 'device_type', 'record_type', 'time', 'data')";

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

bool IsDamage(int rc) {
  const int primary = rc & 0xff;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

boost::optional<std::int64_t> ParseStoredTimeMs(const std::string& text) {
  // SQLite's own functions write a space where ISO 8601 has a "T".
  if (text.size() > 10 && (text[10] == ' ' || text[10] == 't')) {
    std::string iso = text;
    iso[10] = 'T';
    if (!iso.empty() && iso.back() == 'z') iso.back() = 'Z';
    return ParseUtcMs(iso);
  }
  return ParseUtcMs(text);
}

int HistoryDb::Seen(int rc) {
  if (IsDamage(rc)) damaged_ = true;
  return rc;
}

void HistoryDb::RecordFiles() {
  struct stat st {};
  if (Stat(path_, &st)) {
    dev_ = static_cast<std::uint64_t>(st.st_dev);
    ino_ = static_cast<std::uint64_t>(st.st_ino);
  }
  for (int i = 0; i < 2; ++i)
    log_ino_[i] = Stat(path_ + kLogSuffixes[i], &st) ? static_cast<std::uint64_t>(st.st_ino) : 0;
}

FileChange HistoryDb::CheckFiles(std::string* moved_to) const {
  if (!set_up_) return FileChange::kNone;
  struct stat st {};
  if (!Stat(path_, &st) || static_cast<std::uint64_t>(st.st_dev) != dev_ ||
      static_cast<std::uint64_t>(st.st_ino) != ino_) {
    *moved_to = WhereIs(dev_, ino_);
    return moved_to->empty() ? FileChange::kDeleted : FileChange::kMoved;
  }
  // The log holds rows not yet in the file: a new one at the path would make
  // SQLite forget them.
  for (int i = 0; i < 2; ++i) {
    if (log_ino_[i] == 0) continue;
    if (!Stat(path_ + kLogSuffixes[i], &st) || static_cast<std::uint64_t>(st.st_ino) != log_ino_[i])
      return FileChange::kLogLost;
  }
  return FileChange::kNone;
}

bool HistoryDb::Checkpoint(std::string* why) {
  int rc = SQLITE_OK;
  for (int i = 0; i < kCheckpointTries; ++i) {
    rc = sqlite3_wal_checkpoint_v2(db_, "main", SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    if (rc == SQLITE_OK) return true;
    if (!IsRetryable(rc)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Seen(rc);
  *why = sqlite3_errmsg(db_);
  return false;
}

std::string HistoryDb::QuickCheck() {
  sqlite3_stmt* st = nullptr;
  std::string problem;
  int rc = sqlite3_prepare_v2(db_, "PRAGMA quick_check(1)", -1, &st, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(st);
  if (rc == SQLITE_ROW) {
    const auto* t = sqlite3_column_text(st, 0);
    const std::string said = t ? reinterpret_cast<const char*>(t) : "";
    if (said != "ok") {
      problem = said;
      for (char& c : problem)
        if (c == '\n') c = ' ';
      damaged_ = true;
    }
  } else if (IsDamage(rc)) {
    problem = sqlite3_errmsg(db_);
    damaged_ = true;
  }
  sqlite3_finalize(st);
  return problem;
}

bool HoldsHistory(const std::string& path, std::string* why) {
  struct stat st {};
  if (!Stat(path, &st) || st.st_size == 0) return true;  // nothing there to keep
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* q = nullptr;
  if (rc == SQLITE_OK) rc = sqlite3_prepare_v2(db, kHistoryColumns, -1, &q, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(q);
  const bool ours = rc == SQLITE_ROW && sqlite3_column_int(q, 0) == 6;
  if (!ours) *why = rc == SQLITE_ROW ? "no history table" : (db ? sqlite3_errmsg(db) : "");
  sqlite3_finalize(q);
  sqlite3_close(db);
  return ours;
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

}  // namespace controller
