// Control characters in text read from a file or a request: found by one rule
// (C0, DEL, and C1 as UTF-8), and shown as \xNN on a terminal line, so that a
// key or value can neither forge a line nor move the cursor.
#pragma once

#include <cstddef>
#include <string>

#include "controller/common/hex.h"

namespace controller {

// The control character at text[i]: its code and its length in bytes (two
// for C1 as UTF-8), or a length of 0 when there is none.
struct ControlChar {
  unsigned code = 0;
  std::size_t length = 0;
};

inline ControlChar ControlAt(const std::string& text, std::size_t i) {
  const unsigned c = static_cast<unsigned char>(text[i]);
  if (c < 0x20 || c == 0x7F) return {c, 1};
  const unsigned next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0u;
  if (c == 0xC2 && next >= 0x80 && next <= 0x9F) return {next, 2};
  return {};
}

// The first control character of text named as messages name it ("0x0A",
// "U+009B"), or empty when it holds none.
inline std::string ControlCharacterIn(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const ControlChar c = ControlAt(text, i);
    if (c.length == 0) continue;
    std::string name = c.code < 0x80 ? "0x" : "U+00";
    AppendHexByte(name, static_cast<unsigned char>(c.code), HexCase::kUpper);
    return name;
  }
  return std::string();
}

inline std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const ControlChar c = ControlAt(text, i);
    if (c.length == 0) {
      out += text[i];
      continue;
    }
    out += "\\x";
    AppendHexByte(out, static_cast<unsigned char>(c.code), HexCase::kUpper);
    i += c.length - 1;
  }
  return out;
}

}  // namespace controller
