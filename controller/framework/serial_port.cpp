#include "controller/framework/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "controller/common/unique_fd.h"
#include "controller/common/write_all.h"

namespace controller {

namespace {

speed_t SpeedConstant(int baud) {
  switch (baud) {
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    default:
      return B0;
  }
}

constexpr char kInUse[] = "port in use by another program";
constexpr int kBitsPerByte = 10;             // start, 8 data, stop
constexpr std::size_t kMinBabbleBytes = 64;  // more than a reply: not a late reply's tail
constexpr long long kMinQuietWindowMs = 100;

[[noreturn]] void Fail(const std::string& path, const std::string& what) {
  throw std::runtime_error("cannot open port " + path + ": " + what);
}

// A failed open, said as what it was.
[[noreturn]] void FailOpen(const std::string& path, int err) {
  if (err == EBUSY) Fail(path, kInUse);
  struct stat st {};
  const bool other_file = ::stat(path.c_str(), &st) == 0 && !S_ISCHR(st.st_mode);
  const std::string why = std::strerror(err);
  if (PortAbsent(err, other_file)) throw PortMissing("cannot open port " + path + ": " + why, why);
  Fail(path, other_file ? "not a character device (" + why + ")" : why);
}

}  // namespace

bool PortAbsent(int err, bool other_file) {
  if (err == ENOENT) return true;  // a dangling link too: /dev/serial/by-id before the plug
  return (err == ENXIO || err == ENODEV) && !other_file;
}

int OpenSerialPort(const std::string& path, int baud) {
  const speed_t speed = SpeedConstant(baud);
  if (speed == B0) Fail(path, "unsupported speed " + std::to_string(baud));
  // Closed by its owner on every way out but the last.
  UniqueFd port(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  const int fd = port.get();
  if (fd < 0) FailOpen(path, errno);
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0)
    Fail(path, "not a terminal (" + std::string(std::strerror(errno)) + ")");
  // Two readers of one line would split its replies between them. The lock
  // also holds against root, which TIOCEXCL does not stop.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
    Fail(path, errno == EWOULDBLOCK ? kInUse : std::strerror(errno));
  ::cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CSIZE | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  ::cfsetispeed(&tio, speed);
  ::cfsetospeed(&tio, speed);
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) Fail(path, std::strerror(errno));
  ::ioctl(fd, TIOCEXCL);
  ::tcflush(fd, TCIOFLUSH);
  return port.release();
}

void CloseSerialPort(int fd) {
  const UniqueFd port(fd);
  if (!port) return;
  // The exclusive flag outlives us while another holder (a simulator) keeps the
  // terminal open; clear it so the next open is not refused.
  ::ioctl(port.get(), TIOCNXCL);
}

std::size_t DiscardInput(int fd, const std::function<void(const unsigned char*, std::size_t)>& seen,
                         std::size_t max_bytes, bool* still_sending) {
  if (still_sending) *still_sending = false;
  if (fd < 0) return 0;
  std::size_t total = 0;
  unsigned char buf[512];
  // Bounded: a line that never stops talking must not hold up the poll; what it
  // still holds then is flushed unseen.
  while (total < max_bytes) {
    const ssize_t n = ::read(fd, buf, std::min(sizeof(buf), max_bytes - total));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return total;
    total += static_cast<std::size_t>(n);
    if (seen) seen(buf, static_cast<std::size_t>(n));
  }
  if (still_sending) *still_sending = true;
  ::tcflush(fd, TCIFLUSH);
  return total;
}

bool LineKeepsSending(std::size_t discarded, bool at_bound, int baud, long long idle_ms) {
  if (at_bound) return true;
  if (discarded < kMinBabbleBytes || baud <= 0) return false;
  // A poll that follows its cycle at once still finds what came meanwhile.
  const long long window = std::max(idle_ms, kMinQuietWindowMs);
  const long long carried = static_cast<long long>(baud) / kBitsPerByte * window / 1000;
  return static_cast<long long>(discarded) * 2 >= carried;
}

long WriteSome(int fd, const unsigned char* data, std::size_t len) {
  std::size_t done = 0;
  // One look for room and no wait: the rest waits for room in the loop.
  const int error = WriteAll(
      fd, data, len, 0, [](bool) { return false; }, &done);
  if (error == 0 || error == EAGAIN) return static_cast<long>(done);
  errno = error;
  return -1;
}

}  // namespace controller
