#include "controller/http/http_head.h"

#include <strings.h>

#include <cstring>

#include "controller/common/hex.h"

namespace controller {

namespace {

bool IsMethod(const char* line, std::size_t len, const char* method) {
  const std::size_t m = std::strlen(method);
  return len > m && std::memcmp(line, method, m) == 0 && line[m] == ' ';
}

// Whether the field line names the given header (any letter case).
bool IsField(const char* line, std::size_t len, const char* name) {
  const std::size_t n = std::strlen(name);
  return len > n && line[n] == ':' && ::strncasecmp(line, name, n) == 0;
}

// A Content-Length other than zero, or any Transfer-Encoding, announces a body.
bool AnnouncesBody(const char* line, std::size_t len) {
  if (IsField(line, len, "Transfer-Encoding")) return true;
  if (!IsField(line, len, "Content-Length")) return false;
  for (std::size_t i = std::strlen("Content-Length:"); i < len; ++i) {
    const char c = line[i];
    if (c != ' ' && c != '\t' && c != '0' && c != '\r' && c != '\n') return true;
  }
  return false;
}

std::string Decode(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] == '%' && i + 2 < s.size() && HexByte(s[i + 1], s[i + 2]) >= 0) {
      out += static_cast<char>(HexByte(s[i + 1], s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

}  // namespace

HeadCheck CheckRequestHead(const char* data, std::size_t size) {
  HeadCheck out;
  bool get_or_head = false;
  bool body = false;
  std::size_t fields = 0;
  for (std::size_t pos = 0, line = 0;; ++line) {
    const char* nl = static_cast<const char*>(std::memchr(data + pos, '\n', size - pos));
    const std::size_t max = line == 0 ? kMaxRequestLine : kMaxHeaderField;
    const HeadVerdict too_long = line == 0 ? HeadVerdict::kUriTooLong : HeadVerdict::kHeadTooLarge;
    if (!nl) {
      if (size - pos > max) out.verdict = too_long;
      if (size > kMaxRequestHead) out.verdict = HeadVerdict::kHeadTooLarge;
      return out;
    }
    const std::size_t end = static_cast<std::size_t>(nl - data) + 1;
    const std::size_t len = end - pos;
    const char* text = data + pos;
    if (len > max) {
      out.verdict = too_long;
      return out;
    }
    if (end > kMaxRequestHead) {
      out.verdict = HeadVerdict::kHeadTooLarge;
      return out;
    }
    if (len < 2 || text[len - 2] != '\r' || (line == 0 && len == 2)) {
      out.verdict = HeadVerdict::kBadRequest;
      return out;
    }
    if (line == 0) {
      get_or_head = IsMethod(text, len, "GET") || IsMethod(text, len, "HEAD");
    } else if (len == 2) {
      out.verdict = get_or_head && body ? HeadVerdict::kBodyNotAllowed : HeadVerdict::kComplete;
      out.length = end;
      return out;
    } else {
      if (++fields > kMaxHeaderFields) {
        out.verdict = HeadVerdict::kHeadTooLarge;
        return out;
      }
      body = body || AnnouncesBody(text, len);
    }
    pos = end;
  }
}

const char* HeadStatusLine(HeadVerdict v) {
  switch (v) {
    case HeadVerdict::kBadRequest:
      return "400 Bad Request";
    case HeadVerdict::kBodyNotAllowed:
      return "413 Payload Too Large";
    case HeadVerdict::kUriTooLong:
      return "414 URI Too Long";
    case HeadVerdict::kHeadTooLarge:
      return "431 Request Header Fields Too Large";
    default:
      return "500 Internal Server Error";
  }
}

const char* HeadMessage(HeadVerdict v) {
  switch (v) {
    case HeadVerdict::kBadRequest:
      return "malformed request: each line must end in CRLF";
    case HeadVerdict::kBodyNotAllowed:
      return "a GET or HEAD request carries no body";
    case HeadVerdict::kUriTooLong:
      return "request line longer than 8 KiB";
    case HeadVerdict::kHeadTooLarge:
      return "request header fields too large (at most 8 KiB each, 32 KiB and 100 fields "
             "in all)";
    default:
      return "internal error";
  }
}

std::multimap<std::string, std::string> ParseQuery(const std::string& target) {
  std::multimap<std::string, std::string> out;
  const std::size_t q = target.find('?');
  if (q == std::string::npos) return out;
  const std::string query = target.substr(q + 1);
  for (std::size_t pos = 0; pos <= query.size();) {
    std::size_t amp = query.find('&', pos);
    if (amp == std::string::npos) amp = query.size();
    const std::string pair = query.substr(pos, amp - pos);
    if (!pair.empty()) {
      const std::size_t eq = pair.find('=');
      if (eq == std::string::npos) {
        out.emplace(Decode(pair), std::string());
      } else {
        out.emplace(Decode(pair.substr(0, eq)), Decode(pair.substr(eq + 1)));
      }
    }
    pos = amp + 1;
  }
  return out;
}

}  // namespace controller
