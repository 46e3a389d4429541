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

HistoryWriter::HistoryWriter(std::unique_ptr<HistoryDb> db, HistoryWriterOptions options)
    : db_(std::move(db)), path_(db_->path()), made_with_(db_->options()), opt_(options) {
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
    // A flood keeps the newest: the oldest event makes way, first from a
    // group being retried (a long lock) at its next take, so what is lost is
    // never how an incident ended.
    if (events_.size() + events_in_flight_ >= kEventsWaiting) {
      ++stats_.events_dropped;
      event_drop_due_ = !event_drop_said_;
      if (events_in_flight_ > 0) {
        --events_in_flight_;
        ++flight_to_drop_;
      } else {
        events_.pop_front();
      }
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
  states_due_.push_back(s);
}

void HistoryWriter::Note(const std::string& line) {
  if (notice_) notice_(line);
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

// The writer's thread: a dispatch over short steps, each named for what it
// does; mu_ is held except inside Store and while a callback runs.
void HistoryWriter::Loop() {
  Group g;
  g.rows.reserve(opt_.group_max);
  g.queued_at.reserve(opt_.group_max);
  g.backoff = opt_.first_backoff;
  std::unique_lock<std::mutex> lk(mu_);
  for (;;) {
    TellState(lk);
    SayDrops(lk);
    if (g.rows.empty() && g.log.empty()) {
      const Next next = AwaitWork(lk);
      if (next == Next::kAgain) continue;
      if (next == Next::kDone) break;
    }
    Take(&g);
    lk.unlock();
    const Stored stored = Store(g);
    lk.lock();
    if (stored.met_full) ++stats_.full;
    if (stored.status.ok()) {
      Committed(stored, &g);
    } else if (!BackOff(lk, stored, &g)) {
      break;
    }
  }
  if (failed_) SetState(HistoryState::kFailing);
  TellState(lk);
  lk.unlock();
  SayNotes();
  if (removing_.any()) Note(RemovalLine(removing_));
}

// Each change of state, told outside the lock in the order it came.
void HistoryWriter::TellState(std::unique_lock<std::mutex>& lk) {
  while (!states_due_.empty()) {
    const HistoryState s = states_due_.front();
    states_due_.pop_front();
    if (!on_state_) continue;
    lk.unlock();
    on_state_(s);
    lk.lock();
  }
}

// Rows or events dropped from a full queue: said once each.
void HistoryWriter::SayDrops(std::unique_lock<std::mutex>& lk) {
  std::string lines[2];
  if (drop_due_) {
    drop_due_ = false;
    drop_said_ = true;
    lines[0] = "history database " + path_ + ": " + std::to_string(opt_.capacity) +
               " records wait to be stored and the queue is full" +
               (last_busy_.empty() ? std::string() : " (" + last_busy_ + ")") +
               "; the oldest waiting are dropped, counted in the summary";
  }
  if (event_drop_due_) {
    event_drop_due_ = false;
    event_drop_said_ = true;
    lines[1] = "history database " + path_ + ": " + std::to_string(kEventsWaiting) +
               " events wait for the event log and its queue is full; the oldest "
               "waiting are dropped, counted in the summary";
  }
  if (lines[0].empty() && lines[1].empty()) return;
  lk.unlock();
  for (const std::string& line : lines)
    if (!line.empty()) Note(line);
  lk.lock();
}

// With nothing in hand: a first proof of writing, upkeep, or a wait for rows,
// events or a stop; then for a group to gather.
HistoryWriter::Next HistoryWriter::AwaitWork(std::unique_lock<std::mutex>& lk) {
  // Proved writable before rows are awaited, so that readiness can be told
  // with no record stored yet.
  if (!writable_ && queue_.empty() && !stopping_) {
    lk.unlock();
    const bool ok = EnsureFile().ok() && db_->Writable().ok();
    lk.lock();
    writable_ = ok;
    if (!ok) cv_.wait_for(lk, opt_.max_backoff, [&] { return stopping_ || !queue_.empty(); });
    return Next::kAgain;
  }
  // Upkeep runs while nothing waits to be stored.
  if (upkeep_due_ && queue_.empty() && !stopping_) {
    lk.unlock();
    RunUpkeep();
    lk.lock();
    return Next::kAgain;
  }
  const auto woken = [&] { return stopping_ || !queue_.empty() || !events_.empty(); };
  if (upkeep_retry_ == Clock::time_point::max()) {
    cv_.wait(lk, woken);
  } else if (!cv_.wait_until(lk, upkeep_retry_, woken)) {
    upkeep_due_ = true;  // a step put off for a moment is due
    return Next::kAgain;
  }
  if (queue_.empty() && events_.empty()) return Next::kDone;  // stopping, all stored
  // Let a group gather until it is full or its first row has waited long
  // enough; events alone go at once.
  if (!queue_.empty()) {
    const Clock::time_point until = queue_.front().at + opt_.group_wait;
    cv_.wait_until(lk, until, [&] { return stopping_ || queue_.size() >= opt_.group_max; });
  }
  return Next::kTake;
}

// Rows and events from the queues into the group (one being retried grows).
void HistoryWriter::Take(Group* g) {
  while (g->rows.size() < opt_.group_max && !queue_.empty()) {
    g->rows.push_back(std::move(queue_.front().row));
    g->queued_at.push_back(queue_.front().at);
    queue_.pop_front();
  }
  const std::size_t drop = std::min(flight_to_drop_, g->log.size());
  g->log.erase(g->log.begin(), g->log.begin() + static_cast<std::ptrdiff_t>(drop));
  flight_to_drop_ = 0;
  for (LoggedEvent& e : events_) g->log.push_back(std::move(e));
  events_.clear();
  in_flight_ = g->rows.size();
  events_in_flight_ = g->log.size();
}

// The group into the file, with mu_ released: a damaged file set aside and a
// full disk given room on the way; upkeep after a commit.
HistoryWriter::Stored HistoryWriter::Store(const Group& g) {
  Stored out;
  const Status file = EnsureFile();
  out.status = file.ok() ? db_->StoreGroup(g.rows, g.log) : Status(SQLITE_CANTOPEN, file.reason());
  // A damaged file is set aside at once and the group stored in a new one.
  if (IsDamage(out.status.code())) {
    const Status fresh = EnsureFile();
    out.status =
        fresh.ok() ? db_->StoreGroup(g.rows, g.log) : Status(out.status.code(), fresh.reason());
  }
  out.met_full = (out.status.code() & 0xff) == SQLITE_FULL;
  if (out.met_full) out.status = MakeRoomFor(g, out.status, &out.room);
  if (out.status.ok()) {
    room_useless_ = false;
    RunUpkeep();
  }
  out.state = db_ && db_->disk_full() ? HistoryState::kFull
              : damaged_              ? HistoryState::kDamaged
              : recreated_            ? HistoryState::kRecreated
                                      : HistoryState::kOk;
  out.now = Clock::now();
  return out;
}

// A committed group counted and let go.
void HistoryWriter::Committed(const Stored& s, Group* g) {
  writable_ = true;
  ++stats_.commits;
  stats_.stored += static_cast<long long>(g->rows.size());
  for (const Clock::time_point at : g->queued_at) {
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(s.now - at);
    if (wait > opt_.written_late_after) ++stats_.written_late;
    stats_.longest_wait = std::max(stats_.longest_wait, wait);
  }
  g->rows.clear();
  g->log.clear();
  g->queued_at.clear();
  in_flight_ = 0;
  events_in_flight_ = 0;
  // Stored after all: not dropped.
  stats_.events_dropped -= static_cast<long long>(flight_to_drop_);
  flight_to_drop_ = 0;
  g->backoff = opt_.first_backoff;
  last_busy_.clear();
  SetState(s.state);
}

// A group not stored: busy, full with nothing left to remove, or a lost file
// not yet made anew are worth another try after a back-off while the queue
// holds; false when the writer gives up.
bool HistoryWriter::BackOff(std::unique_lock<std::mutex>& lk, const Stored& s, Group* g) {
  const int rc = s.status.code();
  const bool full = (rc & 0xff) == SQLITE_FULL;
  const bool again = IsRetryable(rc) || full || rc == SQLITE_CANTOPEN || IsDamage(rc);
  if (!again) {
    Alert("cannot store records: " + s.status.reason() + "; " +
          std::to_string(queue_.size() + in_flight_) + " records not stored");
    return false;
  }
  if (!full) ++stats_.retries;
  last_busy_ = s.status.reason();
  // Full with room still being made, or full with nothing to store for now.
  SetState(!full ? HistoryState::kRetrying : s.room ? HistoryState::kFull : HistoryState::kFailing);
  if (stopping_ && s.now >= deadline_) {
    Alert("gave up waiting: " + s.status.reason() + "; " +
          std::to_string(queue_.size() + in_flight_) + " records not stored");
    return false;
  }
  TellState(lk);
  // Polling goes on meanwhile; new rows join the queue behind this group and
  // do not cut the back-off short, only a stop does.
  const bool was_stopping = stopping_;
  cv_.wait_until(lk, std::min(s.now + g->backoff, deadline_),
                 [&] { return stopping_ != was_stopping || CutAt(deadline_); });
  g->backoff = std::min(g->backoff * 2, opt_.max_backoff);
  return true;
}

}  // namespace controller
