#include "controller/app/link_observers.h"

#include <vector>

#include "controller/common/device_name.h"
#include "controller/common/iso_time.h"
#include "controller/common/output.h"
#include "controller/link/device_link.h"
#include "controller/status/record_view.h"

namespace controller {

namespace {

class Terminal : public LinkObserver {
 public:
  explicit Terminal(bool per_poll_lines) : per_poll_lines_(per_poll_lines) {}
  void Ended(const DeviceLink& link, const LinkOutcome& o) override {
    const DeviceConfig& cfg = link.cfg();
    const bool changed = Track(link.index(), o.link);
    for (std::size_t i = 0; per_poll_lines_ && i < o.published.size(); ++i) {
      const LinkRecord& r = o.published[i];
      Say(RecordLine(cfg.name, cfg.data_id, r.type, r.data.data(),
                     static_cast<unsigned int>(r.data.size()), o.replayed));
    }
    if (o.note.empty()) return;
    // Quiet: a failing line is told when its state changes, not at every poll.
    if (!per_poll_lines_ && !changed && EveryPoll(o.ending)) return;
    const std::string line = Who(cfg) + ": " + o.note;
    if (o.trouble) {
      Complain(line);
    } else {
      Say(line);
    }
  }
  void Alarm(const DeviceLink& link, const rule_value& item, bool raised) override {
    Say(AlarmLine(link.cfg().name, link.cfg().data_id, item, raised));
  }
  void Report(const DeviceLink& link, const std::string& id, float value) override {
    Say(ReportLine(link.cfg().name, link.cfg().data_id, id, value));
  }

 private:
  static bool EveryPoll(Ending e) {
    return e == Ending::kFailure || e == Ending::kMissedPoll || e == Ending::kReopenFailed;
  }
  // Whether the link's state differs from the one its last outcome left.
  bool Track(std::size_t i, LinkState now) {
    if (states_.size() <= i) states_.resize(i + 1, LinkState::kOk);
    const bool changed = states_[i] != now;
    states_[i] = now;
    return changed;
  }

  bool per_poll_lines_;
  std::vector<LinkState> states_;  // per link, as its last outcome left it
};

class Board : public LinkObserver {
 public:
  explicit Board(StatusBoard* board) : board_(board) {}
  void Ended(const DeviceLink& link, const LinkOutcome& o) override {
    for (const LinkRecord& r : o.published) {
      board_->Record(link.index(), r.type, r.data.data(), static_cast<unsigned int>(r.data.size()),
                     o.replayed, o.link, o.counters);
    }
    // A record told the board all there is; a note alone changes nothing there.
    if (o.ending == Ending::kRecord || o.ending == Ending::kNotice) return;
    board_->Link(link.index(), o.link, o.counters, link.port_path());
  }
  void Alarm(const DeviceLink& link, const rule_value& item, bool raised) override {
    board_->Alarm(link.index(), item, raised);
  }
  void Report(const DeviceLink& link, const std::string& id, float value) override {
    board_->Report(link.index(), id, value);
  }

 private:
  StatusBoard* board_;
};

class History : public LinkObserver {
 public:
  explicit History(std::function<void(HistoryRow)> store) : store_(std::move(store)) {}
  void Ended(const DeviceLink& link, const LinkOutcome& o) override {
    if (!o.stored || o.replayed) return;
    HistoryRow row;
    row.data_id = link.cfg().data_id;
    row.record_type = o.stored->type;
    row.device_type = link.cfg().type;
    row.time_ms = NowUtcMs();
    row.data = o.stored->data;
    store_(std::move(row));
  }

 private:
  std::function<void(HistoryRow)> store_;
};

class Capture : public LinkObserver {
 public:
  explicit Capture(std::weak_ptr<CaptureWriter> to) : to_(std::move(to)) {}
  void Ended(const DeviceLink&, const LinkOutcome&) override {}
  void Traffic(const DeviceLink& link, bool received, const unsigned char* data,
               std::size_t len) override {
    const auto capture = to_.lock();
    if (!capture || capture->failed()) return;
    capture->Write(link.cfg().name, received, data, len);
    if (capture->failed()) Complain(capture->reason());
  }

 private:
  std::weak_ptr<CaptureWriter> to_;
};

}  // namespace

std::unique_ptr<LinkObserver> TerminalObserver(bool per_poll_lines) {
  return std::make_unique<Terminal>(per_poll_lines);
}

std::unique_ptr<LinkObserver> BoardObserver(StatusBoard* board) {
  return std::make_unique<Board>(board);
}

std::unique_ptr<LinkObserver> HistoryObserver(std::function<void(HistoryRow)> store) {
  return std::make_unique<History>(std::move(store));
}

std::unique_ptr<LinkObserver> CaptureObserver(std::weak_ptr<CaptureWriter> capture) {
  return std::make_unique<Capture>(std::move(capture));
}

}  // namespace controller
