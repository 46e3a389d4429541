#include "controller/notify/target_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "controller/common/hex.h"
#include "controller/common/unique_fd.h"

namespace controller {

namespace {

// What a command's start searches when PATH is not set.
constexpr char kDefaultPath[] = "/bin:/usr/bin";
constexpr char kHostChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_";
constexpr char kTokenMarks[] = "!#$%&'*+-.^_`|~";
constexpr unsigned long kMaxPort = 65535;

std::string Reason(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

std::string ProgramFault(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0)
    return errno == ENOENT ? "does not exist" : Reason("cannot be reached");
  if (S_ISDIR(st.st_mode)) return "is a folder, not a program";
  if (!S_ISREG(st.st_mode)) return "is not a regular file";
  if (::access(path.c_str(), X_OK) != 0) return "is not executable (chmod +x)";
  return std::string();
}

// The first character no URL may hold as it is, said; empty when none.
std::string CharacterFault(const std::string& url) {
  for (std::size_t i = 0; i < url.size(); ++i) {
    const auto c = static_cast<unsigned char>(url[i]);
    if (c == ' ') return "holds a space; write it as %20";
    if (c < 0x20 || c == 0x7F) return "holds a control character";
    if (c >= 0x80) return "holds a byte outside ASCII; percent-encode it";
    if (c == '#') return "holds a fragment (#...), which is never sent";
    if (c == '%' && (i + 2 >= url.size() || HexByte(url[i + 1], url[i + 2]) < 0))
      return "holds a % not followed by two hex digits";
  }
  return std::string();
}

bool ValidPort(const std::string& port) {
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const unsigned long n = std::strtoul(port.c_str(), nullptr, 10);
  return n >= 1 && n <= kMaxPort;
}

// HOST, HOST:PORT, [IPV6] or [IPV6]:PORT.
std::string AuthorityFault(const std::string& authority) {
  if (authority.find('@') != std::string::npos)
    return "holds a user name or password; give them in \"headers\" (an Authorization header)";
  if (authority.find('?') != std::string::npos)
    return "has a query but no path; write a / before the ?";
  std::size_t host_end = authority.find(':');
  std::string host = authority.substr(0, host_end);
  if (!authority.empty() && authority[0] == '[') {
    host_end = authority.find(']');
    if (host_end == std::string::npos) return "has an IPv6 address without its closing ]";
    host = authority.substr(1, host_end - 1);
    // The webhook client reads an address in brackets only in this form.
    if (host.empty() || host.find_first_not_of("0123456789:") != std::string::npos)
      return "has an IPv6 address with letters; the webhook client takes one of digits and "
             "colons only, or a host name";
    if (++host_end < authority.size() && authority[host_end] != ':')
      return "has something other than a port after its IPv6 address";
  } else if (host.find_first_not_of(kHostChars) != std::string::npos) {
    return "has a host that is not a name or an address (letters, digits, '.', '-', '_')";
  }
  if (host.empty()) return "has no host";
  if (host_end < authority.size() && !ValidPort(authority.substr(host_end + 1)))
    return "has a port that is not a whole number from 1 to 65535";
  return std::string();
}

}  // namespace

std::string CommandFault(const std::string& program) {
  if (program.find('/') != std::string::npos) return ProgramFault(program);
  const char* env = std::getenv("PATH");
  const std::string path = env != nullptr ? env : kDefaultPath;
  for (std::size_t from = 0;;) {
    const std::size_t colon = path.find(':', from);
    const std::string dir = path.substr(from, colon == std::string::npos ? colon : colon - from);
    if (ProgramFault((dir.empty() ? "." : dir) + "/" + program).empty()) return std::string();
    if (colon == std::string::npos) break;
    from = colon + 1;
  }
  return "is no executable program in PATH (" + path + ")";
}

Result<WebhookUrl> ParseWebhookUrl(const std::string& url) {
  std::size_t at = 0;
  for (const char* scheme : {"http://", "https://"}) {
    if (url.compare(0, std::strlen(scheme), scheme) == 0) at = std::strlen(scheme);
  }
  if (at == 0) return Fail("must begin with http:// or https://");
  const std::string characters = CharacterFault(url);
  if (!characters.empty()) return Fail(characters);
  const std::size_t path_at = url.find('/', at);
  const std::string authority = AuthorityFault(url.substr(at, path_at - at));
  if (!authority.empty()) return Fail(authority);
  return WebhookUrl{url.substr(0, path_at),
                    path_at == std::string::npos ? "/" : url.substr(path_at)};
}

std::string WebhookUrlFault(const std::string& url) { return ParseWebhookUrl(url).reason(); }

std::string ReadableFileFault(const std::string& path) {
  // Not blocking: a FIFO must not hold up the start.
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return errno == ENOENT ? "does not exist" : Reason("cannot be read");
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return Reason("cannot be read");
  if (S_ISDIR(st.st_mode)) return "is a folder, not a file";
  // A FIFO or a device would hold up the first delivery that reads it.
  if (!S_ISREG(st.st_mode)) return "is not a regular file";
  return std::string();
}

std::string HeaderNameFault(const std::string& name) {
  if (name.empty()) return "is an empty header name";
  for (const char c : name) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!letter && (c == '\0' || std::strchr(kTokenMarks, c) == nullptr))
      return "is not a header name: letters, digits and " + std::string(kTokenMarks) + " only";
  }
  return std::string();
}

}  // namespace controller
