// Writing a whole buffer to a descriptor, the one write loop of the controller
// and its tools: short writes are finished, EINTR is retried, and a
// descriptor that takes nothing (EAGAIN) is waited on.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace controller {

// 0 when every byte went out, else the errno that stopped it; *written, when
// given, counts the bytes that went out either way. While the descriptor takes
// nothing, waits up to wait_ms at a time for room and then asks
// go_on(timed_out) whether to try again; EAGAIN when it says no.
template <typename GoOn>
int WriteAll(int fd, const void* data, std::size_t len, int wait_ms, GoOn go_on,
             std::size_t* written = nullptr) {
  const char* bytes = static_cast<const char*>(data);
  std::size_t done = 0;
  int error = 0;
  while (done < len && error == 0) {
    const ssize_t n = ::write(fd, bytes + done, len - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      const int ready = ::poll(&p, 1, wait_ms);
      if (ready < 0 && errno != EINTR) {
        error = errno;
      } else if (!go_on(ready == 0)) {
        error = EAGAIN;
      }
    } else {
      error = n < 0 ? errno : EIO;
    }
  }
  if (written) *written = done;
  return error;
}

// The same, waiting again and again when keep_waiting, else giving up with
// EAGAIN after one wait that found no room.
inline int WriteAll(int fd, const void* data, std::size_t len, int wait_ms, bool keep_waiting,
                    std::size_t* written = nullptr) {
  return WriteAll(
      fd, data, len, wait_ms, [keep_waiting](bool timed_out) { return keep_waiting || !timed_out; },
      written);
}

}  // namespace controller
