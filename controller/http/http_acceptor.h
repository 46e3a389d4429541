// The status server's front door: its own exclusive listening socket, and a
// poll loop that takes each connection's request head within a deadline and
// within the head's bounds before a worker thread ever sees it. A slow or
// flooding client costs one bounded buffer here, never a worker.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "controller/common/unique_fd.h"
#include "controller/http/http_head.h"

namespace controller {

// Connections still sending their request head; a newer one past these ends
// the oldest with 408.
constexpr std::size_t kMaxPendingConnections = 64;
// A connection that has sent nothing keeps its place this long, as its first
// bytes may trail the connection (a busy client, a lost segment); newer ones
// wait in the backlog meanwhile.
constexpr auto kSilentGrace = std::chrono::milliseconds(100);
// Time a connection has to send its whole request head.
constexpr auto kRequestHeadTimeout = std::chrono::seconds(5);
// Time to discard what a refused client still sends, so it reads our answer
// instead of a reset.
constexpr auto kLingerTime = std::chrono::seconds(1);

class HttpAcceptor {
 public:
  // A connection whose head arrived whole: its socket (non-blocking; the
  // handler owns it from here) and every byte read so far, head first. False
  // when no worker can take it; the client then gets 503.
  using Handoff = std::function<bool(int fd, std::string received)>;

  HttpAcceptor() = default;
  HttpAcceptor(const HttpAcceptor&) = delete;
  HttpAcceptor& operator=(const HttpAcceptor&) = delete;

  // Listens on host:port (port 0: any free one), exclusively: SO_REUSEADDR
  // but no SO_REUSEPORT, so a second server on the port is refused. Returns
  // the port. Throws std::runtime_error "cannot listen on ADDR:PORT: reason".
  int Bind(const std::string& host, int port);

  // Serves connections until Stop(); run it on a thread of its own.
  void Run(const Handoff& handoff);
  // Ends Run() soon, from any thread; connections not handed off are closed.
  void Stop();

  // Closes a handed-off connection gracefully: shuts down our side, then
  // discards what the client still sends for kLingerTime. Any thread.
  void Close(UniqueFd fd);

  int fd() const { return listen_fd_.get(); }

 private:
  using Clock = std::chrono::steady_clock;
  struct Pending {
    UniqueFd fd;
    Clock::time_point since;
    Clock::time_point deadline;
    std::string received;
  };
  struct Lingering {
    UniqueFd fd;
    Clock::time_point deadline;
  };

  Clock::time_point Watch(std::vector<pollfd>& fds, Clock::time_point now);
  void Judge(const std::vector<pollfd>& fds, const Handoff& handoff);
  void Accept(const Handoff& handoff);
  // The pending connection a newer one may end now, or end().
  std::vector<Pending>::iterator Evictable(Clock::time_point now);
  // Reads what arrived; false when the connection is done with here.
  bool Receive(Pending& p, const Handoff& handoff);
  void Refuse(UniqueFd fd, HeadVerdict v);
  void Linger(UniqueFd fd);
  bool Drain(Lingering& l);
  void Wake();

  UniqueFd listen_fd_;
  UniqueFd wake_fd_;
  std::vector<Pending> pending_;
  std::vector<Lingering> lingering_;
  std::mutex mu_;  // guards what other threads hand in
  std::vector<UniqueFd> to_close_;
  bool stopping_ = false;
  Clock::time_point accept_paused_until_{};
};

}  // namespace controller
