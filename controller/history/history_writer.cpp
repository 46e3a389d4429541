#include "controller/history/history_writer.h"

#include <sqlite3.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

namespace controller {

namespace {

constexpr auto kRemovalLineEvery = std::chrono::minutes(1);

}  // namespace

HistoryWriter::HistoryWriter(std::unique_ptr<HistoryDb> db, HistoryWriterOptions options)
    : db_(std::move(db)), path_(db_->path()), limits_(db_->limits()), opt_(options) {
  alert_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (alert_fd_ < 0)
    throw HistoryError(std::string("history: cannot create an event descriptor: ") +
                       std::strerror(errno));
}

HistoryWriter::~HistoryWriter() {
  if (thread_.joinable()) Finish(Clock::now());
  ::close(alert_fd_);
}

bool HistoryWriter::Push(HistoryRow&& row) {
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (failed_ || stopping_) return false;
    if (queue_.size() + in_flight_ < opt_.capacity) {
      queue_.push_back(Queued{std::move(row), Clock::now()});
      // Wake the writer only when it has something new to do: a first row to
      // wait on, or a full group.
      if (queue_.size() == 1 || queue_.size() == opt_.group_max) cv_.notify_one();
      return true;
    }
    if (!opt_.drop_oldest) {
      error_ = "history database " + path_ + ": " + std::to_string(opt_.capacity) +
               " records waiting to be stored, the queue is full" +
               (last_busy_.empty() ? std::string() : " (" + last_busy_ + ")");
      return false;
    }
    // The newest records matter most: the oldest waiting one makes way (the
    // group being stored stays, so with nothing else waiting the new one goes).
    ++stats_.dropped;
    drop_due_ = !drop_said_;
    if (!queue_.empty()) {
      queue_.pop_front();
      queue_.push_back(Queued{std::move(row), Clock::now()});
    }
  }
  if (on_drop_) on_drop_();
  return true;
}

bool HistoryWriter::PushEvent(LoggedEvent&& e) {
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (failed_) return false;
    // A flood keeps the newest: the oldest waiting event makes way (those
    // being stored stay, so with nothing else waiting the new one goes).
    if (events_.size() + events_in_flight_ >= kEventsWaiting) {
      ++stats_.events_dropped;
      event_drop_due_ = !event_drop_said_;
      if (events_.empty()) return true;
      events_.pop_front();
    }
    events_.push_back(std::move(e));
  }
  cv_.notify_one();
  return true;
}

void HistoryWriter::Start() {
  if (!thread_.joinable()) thread_ = std::thread([this] { Loop(); });
}

bool HistoryWriter::Finish(Clock::time_point deadline) {
  {
    std::lock_guard<std::mutex> lk(mu_);
    stopping_ = true;
    deadline_ = deadline;
  }
  cv_.notify_one();
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lk(mu_);
  if (stats_.dropped > 0 && !failed_)
    error_ = "history database " + path_ + ": " + std::to_string(stats_.dropped) +
             " records dropped while the queue was full";
  return !failed_ && queue_.empty() && in_flight_ == 0 && stats_.dropped == 0;
}

void HistoryWriter::SetState(HistoryState s) {
  if (state_ == s) return;
  state_ = s;
  if (on_state_) on_state_(s);
}

void HistoryWriter::Note(const std::string& line) {
  if (notice_) notice_(line);
}

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
  if (!more && removing_.count + removing_.rollups > 0 &&
      (removing_.why != said_why_ || now >= next_line_)) {
    said_why_ = removing_.why;
    next_line_ = now + kRemovalLineEvery;
    Note(RemovalLine(removing_));
    removing_ = Removal{};
  }
  upkeep_due_ = more;
  upkeep_retry_ = db_ ? db_->upkeep_retry() : Clock::time_point::max();
}

void HistoryWriter::Gather(const Removal& r) {
  if (r.count + r.rollups == 0) return;
  if (removing_.count + removing_.rollups > 0 && r.why != removing_.why) {
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
int HistoryWriter::MakeRoomFor(const std::vector<HistoryRow>& group,
                               const std::vector<LoggedEvent>& log, std::string* reason,
                               bool* room) {
  int rc = db_->DiskFull() ? db_->StoreGroup(group, log, reason) : SQLITE_FULL;
  SayNotes();
  *room = !room_useless_;
  if ((rc & 0xff) != SQLITE_FULL || room_useless_) return rc;
  Removal removal;
  *room = db_->MakeRoom(&removal);
  Gather(removal);
  if (!*room) return rc;
  rc = db_->StoreGroup(group, log, reason);
  // Removals that did not let the group in would only empty the history.
  room_useless_ = (rc & 0xff) == SQLITE_FULL;
  return rc;
}

void HistoryWriter::CutShort() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    deadline_ = Clock::now();
  }
  cv_.notify_one();
}

void HistoryWriter::Alert(const std::string& error) {
  failed_ = true;
  error_ = "history database " + path_ + ": " + error;
  const std::uint64_t one = 1;
  // The event counter cannot overflow from one write; nothing to do on failure.
  if (::write(alert_fd_, &one, sizeof(one)) < 0) return;
}

namespace {

// A deadline moved to now by CutShort() while the writer waits.
bool CutAt(HistoryWriter::Clock::time_point deadline) {
  return deadline != HistoryWriter::Clock::time_point::max() &&
         HistoryWriter::Clock::now() >= deadline;
}

}  // namespace

void HistoryWriter::Loop() {
  std::vector<HistoryRow> group;
  std::vector<LoggedEvent> log;
  std::vector<Clock::time_point> queued_at;
  group.reserve(opt_.group_max);
  queued_at.reserve(opt_.group_max);
  auto backoff = opt_.first_backoff;
  std::unique_lock<std::mutex> lk(mu_);
  for (;;) {
    if (drop_due_) {
      drop_due_ = false;
      drop_said_ = true;
      const std::string line = "history database " + path_ + ": " + std::to_string(opt_.capacity) +
                               " records wait to be stored and the queue is full" +
                               (last_busy_.empty() ? std::string() : " (" + last_busy_ + ")") +
                               "; the oldest waiting are dropped, counted in the summary";
      lk.unlock();
      Note(line);
      lk.lock();
    }
    if (event_drop_due_) {
      event_drop_due_ = false;
      event_drop_said_ = true;
      const std::string line = "history database " + path_ + ": " + std::to_string(kEventsWaiting) +
                               " events wait for the event log and its queue is full; the oldest "
                               "waiting are dropped, counted in the summary";
      lk.unlock();
      Note(line);
      lk.lock();
    }
    if (group.empty() && log.empty()) {
      // Proved writable before rows are awaited, so that readiness can be told
      // with no record stored yet.
      if (!writable_ && queue_.empty() && !stopping_) {
        lk.unlock();
        std::string why;
        const bool ok = EnsureFile(&why) && db_->Writable(&why);
        lk.lock();
        writable_ = ok;
        if (!ok) cv_.wait_for(lk, opt_.max_backoff, [&] { return stopping_ || !queue_.empty(); });
        continue;
      }
      // Upkeep runs while nothing waits to be stored.
      if (upkeep_due_ && queue_.empty() && !stopping_) {
        lk.unlock();
        RunUpkeep();
        lk.lock();
        continue;
      }
      const auto woken = [&] { return stopping_ || !queue_.empty() || !events_.empty(); };
      if (upkeep_retry_ == Clock::time_point::max()) {
        cv_.wait(lk, woken);
      } else if (!cv_.wait_until(lk, upkeep_retry_, woken)) {
        upkeep_due_ = true;  // a step put off for a moment is due
        continue;
      }
      if (queue_.empty() && events_.empty()) break;  // stopping, and everything is stored
      // Let a group gather until it is full or its first row has waited long
      // enough; events alone go at once.
      if (!queue_.empty()) {
        const Clock::time_point until = queue_.front().at + opt_.group_wait;
        cv_.wait_until(lk, until, [&] { return stopping_ || queue_.size() >= opt_.group_max; });
      }
    }
    while (group.size() < opt_.group_max && !queue_.empty()) {
      group.push_back(std::move(queue_.front().row));
      queued_at.push_back(queue_.front().at);
      queue_.pop_front();
    }
    for (LoggedEvent& e : events_) log.push_back(std::move(e));
    events_.clear();
    in_flight_ = group.size();
    events_in_flight_ = log.size();

    lk.unlock();
    std::string reason;
    int rc = EnsureFile(&reason) ? db_->StoreGroup(group, log, &reason) : SQLITE_CANTOPEN;
    // A damaged file is set aside at once and the group stored in a new one.
    if (IsDamage(rc) && EnsureFile(&reason)) rc = db_->StoreGroup(group, log, &reason);
    const bool met_full = (rc & 0xff) == SQLITE_FULL;
    bool room = true;
    if (met_full) rc = MakeRoomFor(group, log, &reason, &room);
    if (rc == SQLITE_OK) {
      room_useless_ = false;
      RunUpkeep();
    }
    const bool full = (rc & 0xff) == SQLITE_FULL;
    const HistoryState stored_state = db_ && db_->disk_full() ? HistoryState::kFull
                                      : damaged_              ? HistoryState::kDamaged
                                      : recreated_            ? HistoryState::kRecreated
                                                              : HistoryState::kOk;
    const Clock::time_point now = Clock::now();
    lk.lock();
    if (met_full) ++stats_.full;

    if (rc == SQLITE_OK) {
      writable_ = true;
      ++stats_.commits;
      stats_.stored += static_cast<long long>(group.size());
      for (const Clock::time_point at : queued_at) {
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(now - at);
        if (wait > opt_.written_late_after) ++stats_.written_late;
        stats_.longest_wait = std::max(stats_.longest_wait, wait);
      }
      group.clear();
      log.clear();
      queued_at.clear();
      in_flight_ = 0;
      events_in_flight_ = 0;
      backoff = opt_.first_backoff;
      last_busy_.clear();
      SetState(stored_state);
      continue;
    }
    // Busy, full with nothing left to remove, or a lost file not yet made anew:
    // worth another try while the queue holds.
    const bool again = IsRetryable(rc) || full || rc == SQLITE_CANTOPEN || IsDamage(rc);
    if (!again) {
      Alert("cannot store records: " + reason + "; " + std::to_string(queue_.size() + in_flight_) +
            " records not stored");
      break;
    }
    if (!full) ++stats_.retries;
    last_busy_ = reason;
    // Full with room still being made, or full with nothing to store for now.
    SetState(!full ? HistoryState::kRetrying : room ? HistoryState::kFull : HistoryState::kFailing);
    if (stopping_ && now >= deadline_) {
      Alert("gave up waiting: " + reason + "; " + std::to_string(queue_.size() + in_flight_) +
            " records not stored");
      break;
    }
    // Polling goes on meanwhile; new rows join the queue behind this group and
    // do not cut the back-off short, only a stop does.
    const bool was_stopping = stopping_;
    cv_.wait_until(lk, std::min(now + backoff, deadline_),
                   [&] { return stopping_ != was_stopping || CutAt(deadline_); });
    backoff = std::min(backoff * 2, opt_.max_backoff);
  }
  if (failed_) SetState(HistoryState::kFailing);
  lk.unlock();
  SayNotes();
  if (removing_.count + removing_.rollups > 0) Note(RemovalLine(removing_));
}

}  // namespace controller
