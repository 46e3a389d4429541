// UTF-8 checks for text that leaves this program: JSON strings and metric
// labels must be valid UTF-8, whatever bytes a request or a file carried.
#pragma once

#include <cstddef>
#include <string>

namespace controller {

// Length of the well-formed UTF-8 sequence at s (at most n bytes), or 0 when
// it is malformed: overlong forms, surrogates and code points past U+10FFFF
// are malformed too.
inline std::size_t Utf8SequenceLength(const unsigned char* s, std::size_t n) {
  if (n == 0) return 0;
  const unsigned char c = s[0];
  if (c < 0x80) return 1;
  std::size_t len = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;  // overlong
    if (c == 0xED) hi = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;  // overlong
    if (c == 0xF4) hi = 0x8F;  // beyond U+10FFFF
  } else {
    return 0;
  }
  if (n < len || s[1] < lo || s[1] > hi) return 0;
  for (std::size_t i = 2; i < len; ++i) {
    if (s[i] < 0x80 || s[i] > 0xBF) return 0;
  }
  return len;
}

// Where the first byte that starts no valid sequence stands, or npos.
inline std::size_t InvalidUtf8At(const std::string& text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  for (std::size_t i = 0, n = text.size(); i < n;) {
    const std::size_t len = Utf8SequenceLength(s + i, n - i);
    if (len == 0) return i;
    i += len;
  }
  return std::string::npos;
}

inline bool IsValidUtf8(const std::string& text) {
  return InvalidUtf8At(text) == std::string::npos;
}

// The replacement character, for each byte that starts no valid sequence.
constexpr char kUtf8Replacement[] = "\xEF\xBF\xBD";

}  // namespace controller
