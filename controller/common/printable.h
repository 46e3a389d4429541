// Text read from a file or a request, made safe for a terminal line: control
// characters (C0, DEL, and C1 as UTF-8) shown as \xNN, so that a key or value
// can neither forge a line nor move the cursor.
#pragma once

#include <string>

namespace controller {

inline std::string Printable(const std::string& text) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    unsigned shown = 0x100;  // none
    if (c < 0x20 || c == 0x7F) shown = c;
    if (c == 0xC2 && next >= 0x80 && next <= 0x9F) shown = next, ++i;
    if (shown == 0x100) {
      out += static_cast<char>(c);
      continue;
    }
    out += "\\x";
    out += kDigits[shown >> 4];
    out += kDigits[shown & 0xF];
  }
  return out;
}

}  // namespace controller
