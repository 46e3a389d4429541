// Hexadecimal text of bytes, and the value of one digit: the one digit table
// for captures (lower case), the status API (upper case), the simulator's log
// and percent-escapes.
#pragma once

#include <cstddef>
#include <string>

namespace controller {

enum class HexCase { kLower, kUpper };

// Appends two digits per byte.
inline void AppendHex(std::string& out, const unsigned char* data, std::size_t n,
                      HexCase letters = HexCase::kLower) {
  static constexpr char kDigits[] = "0123456789abcdef0123456789ABCDEF";
  const char* digits = kDigits + (letters == HexCase::kUpper ? 16 : 0);
  for (std::size_t i = 0; i < n; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 0x0F];
  }
}

inline void AppendHexByte(std::string& out, unsigned char byte, HexCase letters = HexCase::kLower) {
  AppendHex(out, &byte, 1, letters);
}

// The value of a hex digit of either case, or -1.
constexpr int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The byte two hex digits spell, or -1 when either is no digit.
constexpr int HexByte(char hi, char lo) {
  return HexDigit(hi) < 0 || HexDigit(lo) < 0 ? -1 : HexDigit(hi) * 16 + HexDigit(lo);
}

}  // namespace controller
