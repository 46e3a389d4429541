// Stores history rows on a thread of its own, so a slow or locked database
// never holds up polling: rows wait in order in a bounded queue and are
// committed in groups.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "controller/common/history_state.h"
#include "controller/history/history_db.h"

namespace controller {

constexpr std::size_t kEventsWaiting = 1000;

struct HistoryWriterOptions {
  std::size_t capacity = 10000;  // rows that may wait
  bool drop_oldest = false;  // a row pushed to a full queue: the oldest waiting goes, not the new
  std::size_t group_max = 256;                  // rows per transaction at most
  std::chrono::milliseconds group_wait{250};    // longest a row waits for its group
  std::chrono::milliseconds first_backoff{50};  // after a busy database, doubling
  std::chrono::milliseconds max_backoff{1000};
  std::chrono::milliseconds written_late_after{
      1000};  // a row stored later than this was written late
};

struct HistoryStats {
  long long stored = 0;        // rows committed
  long long commits = 0;       // transactions committed
  long long written_late = 0;  // rows committed more than written_late_after after they were queued
  long long retries = 0;       // attempts that found the database busy or locked
  long long full = 0;          // attempts that found the disk full
  long long dropped = 0;       // rows dropped from a full queue (drop_oldest)
  long long events_dropped = 0;               // events the log's full queue let go
  std::chrono::milliseconds longest_wait{0};  // from queueing to commit
  std::size_t waiting = 0;                    // rows queued and not yet committed
};

class HistoryWriter {
 public:
  using Clock = std::chrono::steady_clock;

  explicit HistoryWriter(std::unique_ptr<HistoryDb> db, HistoryWriterOptions options = {});
  ~HistoryWriter();
  HistoryWriter(const HistoryWriter&) = delete;
  HistoryWriter& operator=(const HistoryWriter&) = delete;

  // The database, for reads before Start(); the writer thread owns it after.
  HistoryDb& db() { return *db_; }

  // Queues a row; never waits for storage. False when the queue is full (unless
  // drop_oldest) or the writer has stopped on an error (error() says which).
  bool Push(HistoryRow&& row);
  // Queues an event for the event log, stored with the next group.
  bool PushEvent(LoggedEvent&& e);

  // Lines for the run's account (removals, a recreated file) and each change of
  // state, called on the writer's thread; set before Start().
  void OnNotice(std::function<void(const std::string&)> f) { notice_ = std::move(f); }
  void OnState(std::function<void(HistoryState)> f) { on_state_ = std::move(f); }
  // Each row dropped from a full queue, called on the pushing thread; set before Start().
  void OnDrop(std::function<void()> f) { on_drop_ = std::move(f); }
  // The file records go to from now on, when it is no longer the one given
  // (something not a history took the path); on the writer's thread.
  void OnPath(std::function<void(const std::string&)> f) { on_path_ = std::move(f); }

  // Starts committing; rows pushed before are kept and stored first.
  void Start();

  // Stores everything queued, retrying a busy database until the deadline,
  // then ends the thread. Returns false when rows were left unstored or dropped.
  bool Finish(Clock::time_point deadline);

  // Ends a Finish() under way as if its deadline had come; callable from any thread.
  void CutShort();

  // Readable once the writer has stopped on a permanent error.
  int alert_fd() const { return alert_fd_; }

  bool failed() const;
  // Whether a write went through since Start(): a committed group or a probe
  // made before waiting for rows. False while a lock held elsewhere keeps the
  // file from being set up or written.
  bool writable() const { return writable_; }
  HistoryState state() const;
  std::string error() const;
  HistoryStats stats() const;

 private:
  // One group of rows and events, as taken from the queues and retried.
  struct Group {
    std::vector<HistoryRow> rows;
    std::vector<LoggedEvent> log;
    std::vector<Clock::time_point> queued_at;
    std::chrono::milliseconds backoff{0};  // before the next try of a group not stored
  };
  // What storing a group came to.
  struct Stored {
    Status status;                           // SQLite's result code and reason
    bool met_full = false;                   // the disk was found full
    bool room = true;                        // making room may still help
    HistoryState state = HistoryState::kOk;  // the state once stored
    Clock::time_point now;
  };
  enum class Next { kTake, kAgain, kDone };

  void Loop();
  // The loop's steps, called with mu_ held (Store without it).
  void TellState(std::unique_lock<std::mutex>& lk);
  void SayDrops(std::unique_lock<std::mutex>& lk);
  Next AwaitWork(std::unique_lock<std::mutex>& lk);
  void Take(Group* g);
  Stored Store(const Group& g);
  void Committed(const Stored& s, Group* g);
  bool BackOff(std::unique_lock<std::mutex>& lk, const Stored& s, Group* g);
  void Alert(const std::string& error);  // called with mu_ held
  // Each of these runs with mu_ released.
  Status EnsureFile();
  Status OpenAtPath();
  Status SetDamagedAside(const std::string& found);
  void RunUpkeep();
  Status MakeRoomFor(const Group& g, const Status& met, bool* room);
  void Gather(const Removal& r);
  void SayNotes();
  void Note(const std::string& line);
  void SetState(HistoryState s);  // called with mu_ held; told by TellState

  std::unique_ptr<HistoryDb> db_;  // null while a lost file could not be made anew
  std::string path_;  // where records go; beside the given one after a foreign file took it
  const HistoryOptions made_with_;  // the given history's, for one made anew
  const HistoryWriterOptions opt_;
  int alert_fd_ = -1;

  mutable std::mutex mu_;
  std::condition_variable cv_;
  struct Queued {
    HistoryRow row;
    Clock::time_point at;
  };
  std::deque<Queued> queue_;
  std::deque<LoggedEvent> events_;    // for the event log, at most kEventsWaiting
  std::size_t in_flight_ = 0;         // rows taken from the queue, not yet committed
  std::size_t events_in_flight_ = 0;  // events taken for the log, not yet committed
  std::size_t flight_to_drop_ = 0;    // of those, the oldest to drop at the next take
  bool stopping_ = false;
  Clock::time_point deadline_ = Clock::time_point::max();
  bool failed_ = false;
  std::string error_;
  std::string last_busy_;  // SQLite's reason while the database is busy
  HistoryStats stats_;
  HistoryState state_ = HistoryState::kOk;
  std::deque<HistoryState> states_due_;  // changes of state not yet told, oldest first
  bool recreated_ = false;               // the file in use is not the one opened at start
  bool lost_said_ = false;               // the loss of the file has been reported
  bool damaged_ = false;                 // a damaged file was set aside
  std::string happened_;         // what became of the file last in use, said once the next is open
  bool checked_ = false;         // the file opened has had its quick check
  std::int64_t unreadable_ = 0;  // rows whose stored time cannot be read
  bool unreadable_said_ = false;
  bool upkeep_due_ = true;  // an upkeep step may have work
  Removal removing_;        // removals gathered into one line
  // When an upkeep step put off for a moment is due.
  Clock::time_point upkeep_retry_ = Clock::time_point::max();
  std::string said_why_;           // the reason of the last removal line said
  Clock::time_point next_line_{};  // and when a line of that reason may come again
  bool room_useless_ = false;      // room made on a full disk let no group in: wait for one stored
  bool drop_due_ = false;          // rows were dropped from a full queue, not yet said
  bool drop_said_ = false;
  bool event_drop_due_ = false;  // the same for events
  bool event_drop_said_ = false;
  std::function<void(const std::string&)> notice_;
  std::function<void(HistoryState)> on_state_;
  std::function<void()> on_drop_;
  std::function<void(const std::string&)> on_path_;
  std::atomic<bool> writable_{false};
  std::thread thread_;
};

}  // namespace controller
