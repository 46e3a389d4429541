// Writing a whole buffer to a descriptor: short writes are finished, EINTR is
// retried, and a descriptor that takes nothing (EAGAIN) is waited on.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace controller {

// 0 when every byte went out, else the errno that stopped it. While the
// descriptor takes nothing, waits up to wait_ms at a time for room: again and
// again when keep_waiting, else it gives up with EAGAIN after one such wait.
inline int WriteAll(int fd, const void* data, std::size_t len, int wait_ms, bool keep_waiting) {
  const char* bytes = static_cast<const char*>(data);
  std::size_t done = 0;
  while (done < len) {
    const ssize_t n = ::write(fd, bytes + done, len - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      const int ready = ::poll(&p, 1, wait_ms);
      if (ready < 0 && errno != EINTR) return errno;
      if (ready == 0 && !keep_waiting) return EAGAIN;
    } else {
      return n < 0 ? errno : EIO;
    }
  }
  return 0;
}

}  // namespace controller
