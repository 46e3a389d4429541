// Whole counts of hundredths, tenths and the like as decimal text.
#pragma once

#include <cstddef>
#include <string>

namespace controller {

// Largest number of digits after the point AppendFixed writes.
constexpr int kMaxFixedDecimals = 9;

// A whole count of 10^-decimals units as a decimal fraction, the way "%.*f"
// prints raw / 10^decimals, without going through a double and printf.
inline void AppendFixed(std::string& out, unsigned long raw, int decimals) {
  char buf[32];
  char* end = buf + sizeof(buf);
  char* p = end;
  for (int i = 0; i < decimals && i < kMaxFixedDecimals; ++i) {
    *--p = static_cast<char>('0' + raw % 10);
    raw /= 10;
  }
  if (decimals > 0) *--p = '.';
  do {
    *--p = static_cast<char>('0' + raw % 10);
    raw /= 10;
  } while (raw != 0);
  out.append(p, static_cast<std::size_t>(end - p));
}

}  // namespace controller
