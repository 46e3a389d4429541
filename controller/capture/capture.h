// Traffic captures: every chunk a device's port sends and receives, one line
// per chunk, so that a fault seen in the field can be replayed as a test.
//
//   # qdx-host capture 1: <usec> <device> <tx|rx> <hex bytes>
//   81234567890 ups1 tx 51310d
//   81234601234 ups1 rx 283233302e31
//
// <usec> is the monotonic clock in microseconds; <device> is the device name
// with '%', space and bytes outside printable ASCII written as %XX; the bytes
// are lower-case hex without separators. Lines starting with '#' are comments.
#pragma once

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace controller {

class CaptureError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct CaptureEvent {
  std::int64_t usec = 0;
  std::string device;
  bool received = false;
  std::string bytes;
};

// The event as one line, without the newline.
std::string FormatCaptureLine(const CaptureEvent& event);

// Parses one line into out. False for a comment or an empty line; throws
// CaptureError saying what is wrong with a malformed one.
bool ParseCaptureLine(const std::string& line, CaptureEvent& out);

// Every event of a capture file, in file order. Throws CaptureError naming the
// file and line. A last line cut short (the capture stopped mid-line) is left
// out, and *warning then says so.
std::vector<CaptureEvent> ReadCapture(const std::string& path, std::string* warning = nullptr);

// Appends events to a capture file, flushing each line so that a crash keeps
// everything up to it. A write error is reported once on standard error and
// ends the capture; monitoring goes on.
class CaptureWriter {
 public:
  // Creates path with the header, or appends to a capture already there. Never
  // overwrites: throws CaptureError for the history file (history_path), its
  // -wal, -shm and -journal files, and for an existing file that does not
  // start with the capture header.
  explicit CaptureWriter(const std::string& path, const std::string& history_path = "");
  ~CaptureWriter();
  CaptureWriter(const CaptureWriter&) = delete;
  CaptureWriter& operator=(const CaptureWriter&) = delete;

  void Write(const std::string& device, bool received, const unsigned char* data, std::size_t len);
  // Once a write failed, the capture stops; the reason names the file.
  bool failed() const { return failed_; }
  const std::string& reason() const { return reason_; }

 private:
  void Failed(int err);

  std::string path_;
  std::FILE* file_ = nullptr;
  bool failed_ = false;
  std::string reason_;
};

}  // namespace controller
