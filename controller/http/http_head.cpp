#include "controller/http/http_head.h"

#include <strings.h>

#include <cstring>
#include <utility>
#include <vector>

#include "controller/common/hex.h"
#include "controller/common/utf8.h"

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

// White space at the start of a field line (an obsolete folded line) or
// before its colon hides the field from the library's lookup by name, and a
// Host header with it from the Host check; an empty name is as bad.
bool BadFieldName(const char* line, std::size_t len) {
  for (std::size_t i = 0; i + 2 < len; ++i) {
    if (line[i] == ':') return i == 0;
    if (line[i] == ' ' || line[i] == '\t') return true;
  }
  return false;
}

// Calls fn(name, value) with each pair of a target's query as sent.
template <typename Fn>
void ForEachPair(const std::string& target, Fn fn) {
  const std::size_t q = target.find('?');
  if (q == std::string::npos) return;
  const std::string query = target.substr(q + 1);
  for (std::size_t pos = 0; pos <= query.size();) {
    std::size_t amp = query.find('&', pos);
    if (amp == std::string::npos) amp = query.size();
    const std::string pair = query.substr(pos, amp - pos);
    if (!pair.empty()) {
      const std::size_t eq = pair.find('=');
      fn(pair.substr(0, eq), eq == std::string::npos ? std::string() : pair.substr(eq + 1));
    }
    pos = amp + 1;
  }
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
      if (BadFieldName(text, len)) {
        out.verdict = HeadVerdict::kBadFieldName;
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
    case HeadVerdict::kBadFieldName:
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
    case HeadVerdict::kBadFieldName:
      return "malformed header field: white space at the start of its line or before its colon, "
             "or no name";
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
  ForEachPair(target, [&out](const std::string& name, const std::string& value) {
    out.emplace(Decode(name), Decode(value));
  });
  return out;
}

std::string QueryFault(const std::string& target) {
  // Why part is unusable, or empty.
  const auto fault = [](const std::string& part) -> std::string {
    for (std::size_t i = part.find('%'); i != std::string::npos; i = part.find('%', i + 1)) {
      if (i + 2 >= part.size() || HexByte(part[i + 1], part[i + 2]) < 0)
        return "invalid percent-escape \"" + part.substr(i, 3) + "\"";
    }
    const std::string text = Decode(part);
    if (text.find('\0') != std::string::npos) return "contains a NUL byte";
    if (!IsValidUtf8(text)) return "not valid UTF-8: \"" + text + "\"";
    return std::string();
  };
  std::string out;
  ForEachPair(target, [&](const std::string& name, const std::string& value) {
    if (!out.empty()) return;
    std::string why = fault(name);
    if (!why.empty()) {
      out = "parameter name \"" + name + "\": " + why;
    } else if (!(why = fault(value)).empty()) {
      out = Decode(name) + ": " + why;
    }
  });
  return out;
}

std::string WithoutRanges(std::string received, bool one_range) {
  const std::size_t head = CheckRequestHead(received.data(), received.size()).length;
  std::vector<std::pair<std::size_t, std::size_t>> fields;  // offset and length of each
  bool many = false;
  for (std::size_t pos = received.find('\n') + 1; pos < head;) {
    const std::size_t end = received.find('\n', pos) + 1;
    const char* line = received.data() + pos;
    if (IsField(line, end - pos, "Range")) {
      fields.emplace_back(pos, end - pos);
      many = many || std::memchr(line, ',', end - pos) != nullptr;
    }
    pos = end;
  }
  if (one_range && fields.size() == 1 && !many) return received;
  for (auto it = fields.rbegin(); it != fields.rend(); ++it) received.erase(it->first, it->second);
  return received;
}

}  // namespace controller
