#include "controller/capture/capture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>

#include "controller/common/decimal.h"
#include "controller/common/hex.h"
#include "controller/common/unique_fd.h"

namespace controller {

namespace {

constexpr char kHeader[] = "# qdx-host capture 1: <usec> <device> <tx|rx> <hex bytes>\n";

std::string EncodeName(const std::string& name) {
  std::string out;
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c > 0x20 && c < 0x7F && c != '%') {
      out += ch;
    } else {
      out += '%';
      AppendHexByte(out, c);
    }
  }
  return out;
}

std::string DecodeName(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    const int byte = i + 2 < text.size() ? HexByte(text[i + 1], text[i + 2]) : -1;
    if (byte < 0) throw CaptureError("bad %-escape in device name \"" + text + "\"");
    out += static_cast<char>(byte);
    i += 2;
  }
  return out;
}

std::string Field(const std::string& line, std::size_t& pos) {
  const std::size_t end = line.find(' ', pos);
  std::string out = line.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
  pos = end == std::string::npos ? line.size() : end + 1;
  return out;
}

// The path with its folder resolved, for telling whether two names mean one file.
std::string Canonical(const std::string& path) {
  const auto slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  char buf[PATH_MAX];
  if (::realpath(folder.c_str(), buf) == nullptr) return path;
  return std::string(buf) + "/" + path.substr(slash == std::string::npos ? 0 : slash + 1);
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {};
  struct stat sb {};
  if (::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0)
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  return Canonical(a) == Canonical(b);
}

[[noreturn]] void Refuse(const std::string& path, const std::string& why) {
  throw CaptureError("cannot write capture " + path + ": " + why);
}

}  // namespace

std::string FormatCaptureLine(const CaptureEvent& event) {
  std::string out = std::to_string(event.usec) + ' ' + EncodeName(event.device) +
                    (event.received ? " rx " : " tx ");
  AppendHex(out, reinterpret_cast<const unsigned char*>(event.bytes.data()), event.bytes.size());
  return out;
}

bool ParseCaptureLine(const std::string& raw, CaptureEvent& out) {
  std::string line = raw;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty() || line[0] == '#') return false;
  std::size_t pos = 0;
  const std::string usec = Field(line, pos);
  const std::string device = Field(line, pos);
  const std::string dir = Field(line, pos);
  const std::string hex = Field(line, pos);
  if (pos < line.size() || hex.empty())
    throw CaptureError("expected <usec> <device> <tx|rx> <hex bytes>");
  // 18 digits at most: a replay adds and scales these without overflow.
  const std::optional<long long> at = ParseDecimal<long long>(usec);
  if (!at || usec.size() > 18)
    throw CaptureError("time \"" + usec + "\" is not a whole number of microseconds");
  if (dir != "tx" && dir != "rx") throw CaptureError("direction \"" + dir + "\" is not tx or rx");
  if (hex.size() % 2 != 0) throw CaptureError("odd number of hex digits");
  std::string bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int byte = HexByte(hex[i], hex[i + 1]);
    if (byte < 0) throw CaptureError("\"" + hex.substr(i, 2) + "\" is not a hex byte");
    bytes += static_cast<char>(byte);
  }
  out.usec = *at;
  out.device = DecodeName(device);
  out.received = dir == "rx";
  out.bytes = std::move(bytes);
  return true;
}

std::vector<CaptureEvent> ReadCapture(const std::string& path, std::string* warning) {
  std::ifstream in(path);
  if (!in) throw CaptureError("cannot read capture " + path + ": " + std::strerror(errno));
  std::vector<CaptureEvent> events;
  std::string line;
  for (long number = 1; std::getline(in, line); ++number) {
    CaptureEvent event;
    try {
      if (ParseCaptureLine(line, event)) events.push_back(std::move(event));
    } catch (const CaptureError& e) {
      // Only the last line may lack its newline: the capture stopped while writing it.
      if (in.eof()) {
        if (warning)
          *warning = path + ":" + std::to_string(number) + ": last line cut short, left out";
        break;
      }
      throw CaptureError(path + ":" + std::to_string(number) + ": " + e.what());
    }
  }
  if (in.bad()) throw CaptureError("cannot read capture " + path + ": read error");
  return events;
}

CaptureWriter::CaptureWriter(const std::string& path, const std::string& history_path)
    : path_(path) {
  // SQLite writes beside the history too: a capture there would be overwritten.
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    if (!history_path.empty() && SameFile(path, history_path + suffix))
      Refuse(path, *suffix ? std::string("it is the history database's ") + (suffix + 1) + " file"
                           : "it is the history database");
  }
  UniqueFd owned(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  const int fd = owned.get();
  if (fd < 0) Refuse(path, std::strerror(errno));
  struct stat st {};
  std::string head(sizeof(kHeader) - 1, '\0');
  ssize_t got = 0;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) got = ::pread(fd, &head[0], head.size(), 0);
  if (st.st_size > 0 && (got != static_cast<ssize_t>(head.size()) || head != kHeader)) {
    Refuse(path, "the file exists and is no capture (it does not start with \"" +
                     std::string(kHeader, sizeof(kHeader) - 2) + "\"); not overwritten");
  }
  // Appending: a line cut short at the end (a capture that stopped) is dropped
  // so that the new lines start on a line of their own.
  off_t end = st.st_size;
  char last = '\n';
  while (end > 0 && ::pread(fd, &last, 1, end - 1) == 1 && last != '\n') --end;
  if (end != st.st_size && ::ftruncate(fd, end) != 0) Refuse(path, std::strerror(errno));
  file_ = ::fdopen(fd, "a");
  if (file_ == nullptr) Refuse(path, std::strerror(errno));
  owned.release();  // the stream owns it now
  if ((end == 0 && std::fputs(kHeader, file_) == EOF) || std::fflush(file_) != 0) {
    const int err = errno;
    std::fclose(file_);
    file_ = nullptr;
    Refuse(path, std::strerror(err));
  }
}

CaptureWriter::~CaptureWriter() {
  if (file_ != nullptr && std::fclose(file_) != 0 && !failed_) Failed(errno);
}

void CaptureWriter::Write(const std::string& device, bool received, const unsigned char* data,
                          std::size_t len) {
  if (failed_ || len == 0) return;
  CaptureEvent event;
  event.usec = std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
                   .count();
  event.device = device;
  event.received = received;
  event.bytes.assign(reinterpret_cast<const char*>(data), len);
  const std::string line = FormatCaptureLine(event) + '\n';
  if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() || std::fflush(file_) != 0)
    Failed(errno);
}

void CaptureWriter::Failed(int err) {
  failed_ = true;
  reason_ = "capture " + path_ + " stopped: " + std::strerror(err);
}

}  // namespace controller
