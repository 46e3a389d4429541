#include "controller/http/http_acceptor.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "controller/status/json_out.h"

namespace controller {

namespace {

// Deep enough that clients reconnecting in a burst leave room for a new one's
// connection (the kernel caps it at somaxconn).
constexpr int kListenBacklog = 1024;
// Connections taken per turn of the loop: few, so that under a crowd the
// pending ones are read many times before newer ones make one the oldest.
constexpr std::size_t kAcceptsPerTurn = 4;
constexpr std::size_t kReadChunk = 4096;
constexpr std::size_t kLingeringMax = 64;
// Reads per lingering client and wake-up, so one flood cannot hog the loop.
constexpr int kDrainReads = 16;
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

std::string Shown(const std::string& host, int port) {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string Reason(int err) {
  if (err == EADDRINUSE) return "address already in use";
  std::string text = std::strerror(err);
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = static_cast<char>(text[0] + 32);
  return text;
}

// A short answer sent without waiting; a client that cannot take it loses it.
void SendNow(int fd, const char* status_line, const std::string& message) {
  std::string body;
  JsonOut::AppendString(body, message.c_str(), message.size());
  body = "{\"error\":" + body + "}";
  const std::string text = std::string("HTTP/1.1 ") + status_line +
                           "\r\nContent-Type: application/json; charset=utf-8"
                           "\r\nCache-Control: no-store\r\nConnection: close\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\n\r\n" + body;
  (void)::send(fd, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

int MsUntil(std::chrono::steady_clock::time_point t, std::chrono::steady_clock::time_point now) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - now).count();
  return ms <= 0 ? 0 : static_cast<int>(std::min<decltype(ms)>(ms + 1, 60000));
}

}  // namespace

int HttpAcceptor::Bind(const std::string& host, int port) {
  const std::string where = "cannot listen on " + Shown(host, port) + ": ";
  sockaddr_storage addr{};
  socklen_t len = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
  if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<std::uint16_t>(port));
    len = sizeof(*v4);
  } else if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<std::uint16_t>(port));
    len = sizeof(*v6);
  } else {
    throw std::runtime_error(where + "not a numeric address");
  }
  UniqueFd sock(::socket(addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!sock) throw std::runtime_error(where + Reason(errno));
  const int fd = sock.get();
  // Only SO_REUSEADDR: a restart is not refused while old connections wait
  // out TIME_WAIT, but a second server on the same port is.
  const int yes = 1;
  int err = 0;
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes)) != 0 ||
      (addr.ss_family == AF_INET6 &&
       ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof(yes)) != 0) ||
      ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      ::listen(fd, kListenBacklog) != 0) {
    err = errno;
  }
  UniqueFd wake;
  if (err == 0) {
    wake.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wake) err = errno;
  }
  if (err != 0) throw std::runtime_error(where + Reason(err));
  listen_fd_ = std::move(sock);
  wake_fd_ = std::move(wake);
  len = sizeof(addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  return ntohs(addr.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
}

void HttpAcceptor::Wake() {
  const std::uint64_t one = 1;
  (void)!::write(wake_fd_.get(), &one, sizeof(one));
}

void HttpAcceptor::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  Wake();
}

void HttpAcceptor::Close(UniqueFd fd) {
  ::shutdown(fd.get(), SHUT_WR);
  int unread = 0;
  // Nothing left to reset the connection with: it closes here.
  if (::ioctl(fd.get(), FIONREAD, &unread) == 0 && unread == 0) return;
  bool queued = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!stopping_) {
      to_close_.push_back(std::move(fd));
      queued = true;
    }
  }
  if (queued) Wake();
  fd.reset();  // when stopping, closed now
}

void HttpAcceptor::Run(const Handoff& handoff) {
  std::vector<pollfd> fds;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stopping_) return;
      for (UniqueFd& fd : to_close_) Linger(std::move(fd));
      to_close_.clear();
    }
    const Clock::time_point now = Clock::now();
    const Clock::time_point next = Watch(fds, now);
    if (::poll(fds.data(), fds.size(), MsUntil(next, now)) < 0 && errno != EINTR) return;
    if (fds[0].revents) {
      std::uint64_t n = 0;
      (void)!::read(wake_fd_.get(), &n, sizeof(n));
    }
    Judge(fds, handoff);
    if (fds[1].revents) Accept(handoff);
  }
}

// The descriptors to poll: the wake, the listening socket, then the pending
// and lingering connections in order. Returns when the poll must end.
HttpAcceptor::Clock::time_point HttpAcceptor::Watch(std::vector<pollfd>& fds,
                                                    Clock::time_point now) {
  Clock::time_point next = now + std::chrono::seconds(60);
  fds.clear();
  fds.push_back({wake_fd_.get(), POLLIN, 0});
  // Even when full, as a new connection ends the oldest; not while out of
  // descriptors.
  bool accepting = now >= accept_paused_until_;
  if (!accepting) next = std::min(next, accept_paused_until_);
  if (accepting && pending_.size() >= kMaxPendingConnections && Evictable(now) == pending_.end()) {
    accepting = false;  // all full and silent for less than the grace
    next = std::min(next, pending_.front().since + kSilentGrace);
  }
  fds.push_back({listen_fd_.get(), static_cast<short>(accepting ? POLLIN : 0), 0});
  for (const Pending& p : pending_) {
    fds.push_back({p.fd.get(), POLLIN, 0});
    next = std::min(next, p.deadline);
  }
  for (const Lingering& l : lingering_) {
    fds.push_back({l.fd.get(), POLLIN, 0});
    next = std::min(next, l.deadline);
  }
  return next;
}

// Judge the connections polled, in the order they were polled, before any
// new one joins the list.
void HttpAcceptor::Judge(const std::vector<pollfd>& fds, const Handoff& handoff) {
  const Clock::time_point after = Clock::now();
  std::size_t at = 2;
  const std::size_t polled_lingering = lingering_.size();  // refusals below add more
  std::vector<Pending> kept;
  kept.reserve(pending_.size());
  for (Pending& p : pending_) {
    const short ev = fds[at++].revents;
    if (ev && !Receive(p, handoff)) continue;
    if (after >= p.deadline) {
      SendNow(p.fd.get(), "408 Request Timeout", "request not received within 5 s");
      Linger(std::move(p.fd));
      continue;
    }
    kept.push_back(std::move(p));
  }
  pending_.swap(kept);
  std::vector<Lingering> still;
  for (std::size_t i = 0; i < lingering_.size(); ++i) {
    Lingering& l = lingering_[i];
    const short ev = i < polled_lingering ? fds[at++].revents : 0;
    // A client that keeps sending is cut off at the deadline all the same.
    if ((ev && !Drain(l)) || after >= l.deadline) {
      l.fd.reset();
      continue;
    }
    still.push_back(std::move(l));
  }
  lingering_.swap(still);
}

void HttpAcceptor::Accept(const Handoff& handoff) {
  for (std::size_t n = 0; n < kAcceptsPerTurn; ++n) {
    const Clock::time_point now = Clock::now();
    const bool full = pending_.size() >= kMaxPendingConnections;
    if (full && Evictable(now) == pending_.end()) return;
    UniqueFd fd(::accept4(listen_fd_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd) {
      // Out of descriptors or memory the listening socket stays readable:
      // wait a little instead of spinning. Otherwise EAGAIN, or a connection
      // that went away.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        accept_paused_until_ = Clock::now() + kAcceptPause;
      return;
    }
    if (full) {
      const auto out = Evictable(now);
      SendNow(out->fd.get(), "408 Request Timeout",
              "request not received before newer connections came");
      Linger(std::move(out->fd));
      pending_.erase(out);
    }
    // Small answers go out at once, not after a delayed ACK.
    const int yes = 1;
    (void)::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof(yes));
    Pending p;
    p.fd = std::move(fd);
    p.since = now;
    p.deadline = now + kRequestHeadTimeout;
    // A request that came with the connection is served now.
    if (Receive(p, handoff)) pending_.push_back(std::move(p));
  }
}

// The oldest that sent part of a head and stopped gives way, else the oldest
// once silent past the grace: slow senders, however many, cannot lock out a
// client whose whole request is still on its way.
std::vector<HttpAcceptor::Pending>::iterator HttpAcceptor::Evictable(Clock::time_point now) {
  const auto out = std::find_if(pending_.begin(), pending_.end(),
                                [](const Pending& p) { return !p.received.empty(); });
  if (out != pending_.end() || pending_.empty()) return out;
  return now - pending_.front().since >= kSilentGrace ? pending_.begin() : pending_.end();
}

bool HttpAcceptor::Receive(Pending& p, const Handoff& handoff) {
  char buf[kReadChunk];
  const ssize_t n = ::recv(p.fd.get(), buf, sizeof(buf), 0);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
  if (n <= 0) {
    p.fd.reset();
    return false;
  }
  p.received.append(buf, static_cast<std::size_t>(n));
  const HeadCheck head = CheckRequestHead(p.received.data(), p.received.size());
  switch (head.verdict) {
    case HeadVerdict::kIncomplete:
      return true;
    case HeadVerdict::kComplete:
      if (handoff(p.fd.get(), std::move(p.received))) {
        p.fd.release();  // the handler's now
      } else {
        SendNow(p.fd.get(), "503 Service Unavailable", "server busy");
        Linger(std::move(p.fd));
      }
      return false;
    default:
      Refuse(std::move(p.fd), head.verdict);
      return false;
  }
}

void HttpAcceptor::Refuse(UniqueFd fd, HeadVerdict v) {
  SendNow(fd.get(), HeadStatusLine(v), HeadMessage(v));
  Linger(std::move(fd));
}

void HttpAcceptor::Linger(UniqueFd fd) {
  ::shutdown(fd.get(), SHUT_WR);
  if (lingering_.size() >= kLingeringMax) return;  // closed as it goes
  lingering_.push_back({std::move(fd), Clock::now() + kLingerTime});
}

bool HttpAcceptor::Drain(Lingering& l) {
  char buf[kReadChunk * 4];
  for (int i = 0; i < kDrainReads; ++i) {
    const ssize_t n = ::recv(l.fd.get(), buf, sizeof(buf), 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
    if (n <= 0) return false;
  }
  return true;
}

}  // namespace controller
