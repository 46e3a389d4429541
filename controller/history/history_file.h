// The history file as a file: which one a path names, with its log, and
// setting one aside.
#pragma once

#include <cstdint>
#include <string>

#include "controller/history/history_status.h"

struct sqlite3;

namespace controller {

// The files of a history as found at a path at one moment: the file, its log
// (-wal) and its shared memory (-shm). Both the writer and the reader keep the
// one they opened, to notice the file moved, deleted or replaced, or its log
// deleted or replaced, underneath.
struct FileIdentity {
  bool found = false;  // a file is at the path
  std::uint64_t dev = 0;
  std::uint64_t ino = 0;
  std::uint64_t logs[2] = {0, 0};  // the inodes of -wal and -shm; 0: none there

  static FileIdentity At(const std::string& path);

  std::uint64_t wal() const { return logs[0]; }
  std::uint64_t shm() const { return logs[1]; }

  // Whether now names this same file.
  bool SameFile(const FileIdentity& now) const {
    return now.found && now.dev == dev && now.ino == ino;
  }
  // Whether each log there was is still there as it was: a new one at the
  // path would make SQLite forget the rows the old one holds.
  bool SameLogs(const FileIdentity& now) const {
    for (int i = 0; i < 2; ++i)
      if (logs[i] != 0 && now.logs[i] != logs[i]) return false;
    return true;
  }
};

// What happened to a history's files while it was open.
enum class FileChange {
  kNone,
  kMoved,    // renamed away, and still holds its rows
  kDeleted,  // removed, or replaced by another file at the path
  kLogLost,  // its log or shared-memory file deleted or replaced
};

// What became of the files opened since, by what is at path now; *moved_to is
// where the file is when it was moved away (found through this process's own
// descriptors).
FileChange ChangeSince(const FileIdentity& opened, const std::string& path, std::string* moved_to);

// The history file a connection has open, watched: its identity as opened,
// to notice it moved, deleted or replaced, and whether a step found its pages
// damaged.
class FileWatch {
 public:
  void Opened(const std::string& path) { files_ = FileIdentity::At(path); }
  FileChange Check(const std::string& path, std::string* moved_to) const;
  std::uint64_t log_inode() const { return files_.wal(); }  // 0 when unknown

  // Notes damage in a result code, and returns it.
  int Seen(int rc) {
    if (IsDamage(rc)) damaged_ = true;
    return rc;
  }
  bool damaged() const { return damaged_; }

  // Every committed row from the log into the file through db, the log
  // emptied, waiting a little for readers.
  Status Checkpoint(sqlite3* db);
  // SQLite's quick check: fine when the file is sound, else its first problem.
  Status QuickCheck(sqlite3* db);

 private:
  FileIdentity files_;
  bool damaged_ = false;
};

// Fine when the file at path is a history this program may store into as it
// is (or nothing worth keeping); else what it is.
Status HoldsHistory(const std::string& path);

// A free name beside path: "PATH.TAG-YYYY-MM-DDTHH-MM-SS".
std::string NameBeside(const std::string& path, const std::string& tag);

// Renames a history and its log beside itself, as "PATH.TAG-TIME"; the new
// name, or empty with the reason.
std::string SetAside(const std::string& path, const std::string& tag, std::string* why);

}  // namespace controller
