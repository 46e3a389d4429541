#include "support/temp_dir.h"

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace test_support {

TempDir::TempDir(const std::string& base) {
  std::string dir = base + "/zota-test-XXXXXX";
  if (::mkdtemp(&dir[0]) == nullptr) throw std::runtime_error("TempDir: cannot make a directory");
  path_ = dir;
}

TempDir::~TempDir() {
  std::error_code ignored;  // a leftover in /tmp is no reason to fail a test
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace test_support
