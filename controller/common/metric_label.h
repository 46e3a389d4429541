// The one escaper of Prometheus label values, for every metric qdx-host serves.
#pragma once

#include <cstddef>
#include <string>

#include "controller/common/utf8.h"

namespace controller {

// Escapes backslash, double quote and newline; a byte that starts no valid
// UTF-8 sequence becomes U+FFFD, or a scrape would refuse the whole page.
inline void AppendLabelValue(std::string& out, const std::string& v) {
  const auto* s = reinterpret_cast<const unsigned char*>(v.data());
  for (std::size_t i = 0, n = v.size(); i < n; ++i) {
    const char c = v[i];
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else if (s[i] < 0x80) {
      out += c;
    } else if (const std::size_t len = Utf8SequenceLength(s + i, n - i)) {
      out.append(v, i, len);
      i += len - 1;
    } else {
      out += kUtf8Replacement;
    }
  }
}

inline std::string LabelValue(const std::string& v) {
  std::string out;
  AppendLabelValue(out, v);
  return out;
}

}  // namespace controller
