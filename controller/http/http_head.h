// A request's head (request line and header fields) checked against the
// server's bounds before any handler sees it, and its query read as sent.
#pragma once

#include <cstddef>
#include <map>
#include <string>

namespace controller {

// Bounds of a request head; each line counts with its CRLF.
constexpr std::size_t kMaxRequestLine = 8 * 1024;
constexpr std::size_t kMaxHeaderField = 8 * 1024;
constexpr std::size_t kMaxRequestHead = 32 * 1024;
constexpr std::size_t kMaxHeaderFields = 100;

enum class HeadVerdict {
  kIncomplete,      // no blank line yet, and within every bound
  kComplete,        // the head ends at HeadCheck::length
  kBadRequest,      // 400: a line not ended by CRLF, or no request line
  kBadFieldName,    // 400: white space in a field's name or before its colon
  kBodyNotAllowed,  // 413: GET or HEAD announcing a body
  kUriTooLong,      // 414
  kHeadTooLarge,    // 431: a field, the head or the number of fields too large
};

struct HeadCheck {
  HeadVerdict verdict = HeadVerdict::kIncomplete;
  std::size_t length = 0;  // bytes of a complete head, blank line included
};

// Looks at the first size bytes received on a connection.
HeadCheck CheckRequestHead(const char* data, std::size_t size);

// HTTP status code and reason phrase of a refused head, e.g. "431 Request
// Header Fields Too Large"; with a short message for the JSON body.
const char* HeadStatusLine(HeadVerdict v);
const char* HeadMessage(HeadVerdict v);

// The query of a request target, percent- and plus-decoded, every pair kept
// (the library drops a pair repeated verbatim).
std::multimap<std::string, std::string> ParseQuery(const std::string& target);

// What makes a query's bytes unusable, naming the first parameter at fault
// ("device: contains a NUL byte"), or empty: a '%' not followed by two hex
// digits, a NUL byte, or text that is not UTF-8 once decoded.
std::string QueryFault(const std::string& target);

// The received bytes (a complete head first) without the head's Range fields,
// unless one_range and a single field asks for a single range: generated
// answers ignore Range, and many ranges would each cost a copy of the answer.
std::string WithoutRanges(std::string received, bool one_range);

}  // namespace controller
