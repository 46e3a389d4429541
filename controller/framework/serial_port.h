// Serial-line helpers of the controller.
#pragma once

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>

namespace controller {

// A port that is not there (not plugged in, not enumerated yet): unlike the
// other refusals it may come right by itself. why: the system's reason.
class PortMissing : public std::runtime_error {
 public:
  PortMissing(const std::string& what, std::string why)
      : std::runtime_error(what), why_(std::move(why)) {}
  const std::string& why() const { return why_; }

 private:
  std::string why_;
};

// Whether an open that failed with err found no port: no such path, or no
// device behind it. other_file: the path leads to something other than a
// character device (a socket gives ENXIO too), which is a refusal.
bool PortAbsent(int err, bool other_file);

// Opens path raw, 8 data bits, no parity, 1 stop bit at the given speed, non-blocking,
// and exclusively: TIOCEXCL and an advisory lock (flock). Throws PortMissing when
// the port is not there, else std::runtime_error naming the port and the reason
// ("port in use ..." when another program has it).
int OpenSerialPort(const std::string& path, int baud);

// Closes a port opened by OpenSerialPort; -1 is ignored.
void CloseSerialPort(int fd);

// Most input read and dropped before one poll.
constexpr std::size_t kMaxDiscardBytes = 64 * 1024;

// Reads and drops whatever input waits on fd, handing each chunk to seen; a
// line still talking after max_bytes has the rest flushed, and still_sending
// (when given) tells so. Returns the count of bytes read.
std::size_t DiscardInput(int fd, const std::function<void(const unsigned char*, std::size_t)>& seen,
                         std::size_t max_bytes = kMaxDiscardBytes, bool* still_sending = nullptr);

// Whether input discarded before a poll shows a line that never falls quiet:
// the discard reached its bound, or the line carried at least half of what its
// speed allows (8N1: baud / 10 bytes a second) since the last cycle ended
// idle_ms ago (at least 100 ms), and more than a reply line. A stray LF or a
// late reply's tail is less.
bool LineKeepsSending(std::size_t discarded, bool at_bound, int baud, long long idle_ms);

// Writes what the line takes now, retrying EINTR, and never waits: the count
// of bytes written (short, even 0, while its output queue is full), or -1
// with errno on any other error.
long WriteSome(int fd, const unsigned char* data, std::size_t len);

}  // namespace controller
