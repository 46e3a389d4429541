// The writer's file: noticing what became of the one in use before each
// group, opening the one to store into next, its upkeep between groups and
// room on a full disk; and what the writer says of itself.
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>

#include "controller/history/history_writer.h"

namespace controller {

// Before each group: the path must still name the file in use, with its own
// log. Whatever happened, every row committed to the old file is first
// checkpointed into it through the open connection, so a moved file keeps its
// rows and a new file at the path is never mixed with the old file's log.
Status HistoryWriter::EnsureFile() {
  std::string problem;  // the quick check's, for a damaged file's line
  if (db_ && !checked_ && db_->Ready().ok()) {
    checked_ = true;
    problem = db_->QuickCheck().reason();
  }
  if (db_ && db_->damaged()) return SetDamagedAside(problem);
  if (db_) {
    std::string moved_to;
    const FileChange change = db_->CheckFiles(&moved_to);
    if (change == FileChange::kNone) return db_->Ready();
    const Status saved = db_->Checkpoint();
    if (!saved.ok()) {
      const std::string why = "cannot save what the old file holds: " + saved.reason();
      return db_->damaged() ? SetDamagedAside(why) : Status(saved.code(), why);
    }
    const std::uint64_t wal = db_->log_inode();
    db_.reset();
    if (change == FileChange::kLogLost) {
      Note("history database " + path_ +
           ": its log was deleted or replaced; every stored record was saved into the file "
           "first, and it was reopened");
    } else {
      const FileIdentity now = FileIdentity::At(path_);
      // Emptied by the checkpoint; only the log that was ours goes.
      if (wal != 0 && now.wal() == wal) {
        for (const char* suffix : {"-wal", "-shm"}) ::unlink((path_ + suffix).c_str());
      }
      const bool replaced = now.found;
      happened_ = "history database " + path_ +
                  (change == FileChange::kMoved
                       ? " was moved to " + moved_to + "; every record stored in it is kept there"
                   : replaced ? " was replaced by another file"
                              : " was deleted");
      recreated_ = true;
    }
  }
  return OpenAtPath();
}

// Opens what is at the path: a history as it is, a new one where there is
// none, and beside anything else, which is left untouched.
Status HistoryWriter::OpenAtPath() {
  const Status holds = HoldsHistory(path_);
  if (!holds.ok()) {
    happened_ += (happened_.empty() ? "history database " + path_ : std::string()) +
                 "; the file now there is not a history (" + holds.reason() +
                 ") and is left untouched";
    {
      std::lock_guard<std::mutex> lk(mu_);
      path_ = NameBeside(path_, "new");
    }
    if (on_path_) on_path_(path_);
  }
  const bool existed = ::access(path_.c_str(), F_OK) == 0;
  try {
    db_ = std::make_unique<HistoryDb>(path_, made_with_);
  } catch (const HistoryError& e) {
    if (!lost_said_)
      Note(happened_ + (happened_.empty() ? "" : "; ") + e.what() + "; trying again");
    lost_said_ = true;
    return Fail(e.what());
  }
  if (!happened_.empty())
    Note(happened_ + "; storing in " + (existed ? "the history found at " : "a new history at ") +
         path_ + " from now on");
  happened_.clear();
  lost_said_ = false;
  checked_ = !existed;
  upkeep_due_ = true;
  return {};
}

// A damaged file is renamed beside itself, never deleted, and records go on
// into a new file at the path.
Status HistoryWriter::SetDamagedAside(const std::string& found) {
  const std::string problem = found.empty() ? "database disk image is malformed" : found;
  db_.reset();
  std::string why;
  const std::string aside = SetAside(path_, "damaged", &why);
  if (aside.empty()) return Fail("damaged (" + problem + ") and cannot be set aside: " + why);
  damaged_ = true;
  happened_ = "history database " + path_ + " is damaged (" + problem + "); set aside as " + aside;
  return OpenAtPath();
}

namespace {

constexpr auto kRemovalLineEvery = std::chrono::minutes(1);

}  // namespace

// One step of the file's upkeep; removals of one kind make one line once done.
void HistoryWriter::RunUpkeep() {
  Removal r;
  const bool more = db_ && db_->Upkeep(&r);
  if (const std::int64_t n = db_ ? db_->TakeUnreadable() : 0) {
    unreadable_ += n;
    if (!unreadable_said_)
      Note("history: " + std::to_string(n) +
           " records have a time that cannot be read; they are kept and never removed by age");
    unreadable_said_ = true;
  }
  SayNotes();
  Gather(r);
  // Runs of one reason that follow closely (a full disk, a file at its bound)
  // make a line a minute, not one each.
  const Clock::time_point now = Clock::now();
  if (!more && removing_.any() && (removing_.why != said_why_ || now >= next_line_)) {
    said_why_ = removing_.why;
    next_line_ = now + kRemovalLineEvery;
    Note(RemovalLine(removing_));
    removing_ = Removal{};
  }
  upkeep_due_ = more;
  upkeep_retry_ = db_ ? db_->upkeep_retry() : Clock::time_point::max();
}

void HistoryWriter::Gather(const Removal& r) {
  if (!r.any()) return;
  if (removing_.any() && r.why != removing_.why) {
    Note(RemovalLine(removing_));
    removing_ = Removal{};
  }
  if (r.count > 0) {
    removing_.first_ms = removing_.count ? std::min(removing_.first_ms, r.first_ms) : r.first_ms;
    removing_.last_ms = removing_.count ? std::max(removing_.last_ms, r.last_ms) : r.last_ms;
    removing_.count += r.count;
  }
  removing_.why = r.why;
  removing_.rollups += r.rollups;
  removing_.events += r.events;
  if (!r.tiers.empty() && removing_.tiers.find(r.tiers) == std::string::npos)
    removing_.tiers += (removing_.tiers.empty() ? "" : " and ") + r.tiers;
}

void HistoryWriter::SayNotes() {
  if (!db_) return;
  for (const std::string& line : db_->TakeNotes()) Note(line);
}

// A full disk: the log started again may be room enough; otherwise the oldest
// records make room, for as long as that lets groups in. *room: whether it
// may still help.
Status HistoryWriter::MakeRoomFor(const Group& g, const Status& met, bool* room) {
  Status st = db_->DiskFull() ? db_->StoreGroup(g.rows, g.log) : met;
  SayNotes();
  *room = !room_useless_;
  if ((st.code() & 0xff) != SQLITE_FULL || room_useless_) return st;
  Removal removal;
  *room = db_->MakeRoom(&removal);
  Gather(removal);
  if (!*room) return st;
  st = db_->StoreGroup(g.rows, g.log);
  // Removals that did not let the group in would only empty the history.
  room_useless_ = (st.code() & 0xff) == SQLITE_FULL;
  return st;
}

// What the writer says of itself, from any thread.
HistoryState HistoryWriter::state() const {
  std::lock_guard<std::mutex> lk(mu_);
  return state_;
}

bool HistoryWriter::failed() const {
  std::lock_guard<std::mutex> lk(mu_);
  return failed_;
}

std::string HistoryWriter::error() const {
  std::lock_guard<std::mutex> lk(mu_);
  return error_;
}

HistoryStats HistoryWriter::stats() const {
  std::lock_guard<std::mutex> lk(mu_);
  HistoryStats s = stats_;
  s.waiting = queue_.size() + in_flight_;
  return s;
}

}  // namespace controller
