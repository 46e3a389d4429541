#pragma once

#include <string>

namespace test_support {

// A fresh directory under base (/tmp), removed with everything in it at the
// end. Throws std::runtime_error when none can be made.
class TempDir {
 public:
  explicit TempDir(const std::string& base = "/tmp");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace test_support
