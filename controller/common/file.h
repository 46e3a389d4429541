// Files: the one reader of whole ones, never more than a bound plus one byte,
// so a caller can tell a file over its bound without holding all of a huge
// one; and the folder a path names a file in.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <optional>
#include <string>

#include "controller/common/unique_fd.h"

namespace controller {

// The file's bytes, at most max_bytes + 1 of them; nothing when it cannot be read.
inline std::optional<std::string> ReadFileUpTo(const std::string& path, std::size_t max_bytes) {
  // Close-on-exec, unlike a stream's: a child started meanwhile must not hold it.
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  // Read in pieces: a small file costs its own size, not the bound's.
  constexpr std::size_t kPiece = 64 * 1024;
  std::string body;
  while (body.size() <= max_bytes) {
    const std::size_t at = body.size();
    body.resize(at + std::min(kPiece, max_bytes + 1 - at));
    const ssize_t n = ::read(fd.get(), &body[at], body.size() - at);
    if (n < 0 && errno == EINTR) {
      body.resize(at);
      continue;
    }
    if (n < 0) return std::nullopt;
    body.resize(at + static_cast<std::size_t>(n));
    if (n == 0) break;
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
