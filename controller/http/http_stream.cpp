#include "controller/http/http_stream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace controller {

namespace {

// How often a waiting worker looks whether the server stops.
constexpr auto kStopCheck = std::chrono::milliseconds(100);
// A request's head came whole; anything read beyond it must come soon.
constexpr auto kReadTimeout = std::chrono::seconds(5);

void IpAndPort(const sockaddr_storage& addr, std::string& ip, int& port) {
  char text[INET6_ADDRSTRLEN] = {};
  if (addr.ss_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&addr);
    ::inet_ntop(AF_INET, &a->sin_addr, text, sizeof(text));
    port = ntohs(a->sin_port);
  } else if (addr.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&addr);
    ::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof(text));
    port = ntohs(a->sin6_port);
  }
  ip = text;
}

}  // namespace

thread_local ConnStream* ConnStream::current_ = nullptr;

bool ConnStream::SetWriteDeadline(Clock::time_point deadline) {
  if (!current_) return false;
  current_->write_deadline_ = deadline;
  return true;
}

void ConnStream::LimitSendBuffer(int bytes) {
  if (current_) (void)::setsockopt(current_->fd_, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof(bytes));
}

bool ConnStream::Wait(short events, Clock::time_point deadline) const {
  for (;;) {
    if (stopping_.load()) return false;
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return false;
    const auto slice = std::min<Clock::duration>(deadline - now, kStopCheck);
    pollfd p{fd_, events, 0};
    const int ms =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(slice).count()) + 1;
    const int n = ::poll(&p, 1, ms);
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

bool ConnStream::is_readable() const {
  return taken_ < received_.size() || Wait(POLLIN, Clock::now() + kReadTimeout);
}

bool ConnStream::is_writable() const { return !stopping_.load(); }

ssize_t ConnStream::read(char* ptr, size_t size) {
  if (taken_ < received_.size()) {
    const std::size_t n = std::min(size, received_.size() - taken_);
    std::memcpy(ptr, received_.data() + taken_, n);
    taken_ += n;
    return static_cast<ssize_t>(n);
  }
  const Clock::time_point deadline = Clock::now() + kReadTimeout;
  for (;;) {
    const ssize_t n = ::recv(fd_, ptr, size, 0);
    if (n >= 0) return n;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
    if (!Wait(POLLIN, deadline)) return -1;
  }
}

ssize_t ConnStream::write(const char* ptr, size_t size) {
  const Clock::time_point progress = Clock::now() + kWriteTimeout;
  const Clock::time_point deadline =
      write_deadline_ == Clock::time_point{} ? progress : std::min(progress, write_deadline_);
  for (;;) {
    if (stopping_.load()) return -1;
    const ssize_t n = ::send(fd_, ptr, size, MSG_NOSIGNAL);
    if (n >= 0) return n;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
    if (!Wait(POLLOUT, deadline)) return -1;
  }
}

void ConnStream::get_remote_ip_and_port(std::string& ip, int& port) const {
  sockaddr_storage addr{};
  socklen_t len = sizeof(addr);
  if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) IpAndPort(addr, ip, port);
}

void ConnStream::get_local_ip_and_port(std::string& ip, int& port) const {
  sockaddr_storage addr{};
  socklen_t len = sizeof(addr);
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) IpAndPort(addr, ip, port);
}

}  // namespace controller
