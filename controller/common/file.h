// Files: the one reader of whole ones, never more than a bound plus one byte,
// so a caller can tell a file over its bound without holding all of a huge
// one; and the folder a path names a file in.
#pragma once

#include <algorithm>
#include <cstddef>
#include <fstream>
#include <optional>
#include <string>

namespace controller {

// The file's bytes, at most max_bytes + 1 of them; nothing when it cannot be read.
inline std::optional<std::string> ReadFileUpTo(const std::string& path, std::size_t max_bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  // Read in pieces: a small file costs its own size, not the bound's.
  constexpr std::size_t kPiece = 64 * 1024;
  std::string body;
  while (body.size() <= max_bytes) {
    const std::size_t at = body.size();
    body.resize(at + std::min(kPiece, max_bytes + 1 - at));
    in.read(&body[at], static_cast<std::streamsize>(body.size() - at));
    body.resize(at + static_cast<std::size_t>(in.gcount()));
    if (in.bad()) return std::nullopt;
    if (!in) break;
  }
  return body;
}

// The folder of path: "." for a bare name, "/" for one at the root.
inline std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace controller
