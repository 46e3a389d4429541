// The one reader of whole files: never more than a bound plus one byte, so a
// caller can tell a file over its bound without holding all of a huge one.
#pragma once

#include <cstddef>
#include <fstream>
#include <optional>
#include <string>

namespace controller {

// The file's bytes, at most max_bytes + 1 of them; nothing when it cannot be read.
inline std::optional<std::string> ReadFileUpTo(const std::string& path, std::size_t max_bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string body(max_bytes + 1, '\0');
  in.read(&body[0], static_cast<std::streamsize>(body.size()));
  if (in.bad()) return std::nullopt;
  body.resize(static_cast<std::size_t>(in.gcount()));
  return body;
}

}  // namespace controller
