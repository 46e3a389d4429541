// The driver writes diagnostic lines to standard output, through both std::cout
// and printf; these take them out of the way at the file-descriptor level, so
// both streams are covered and keep their order.
#pragma once

#include <string>

namespace test_support {

// Sends standard output to a file for its lifetime; Take() ends the capture
// early and returns what was written.
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;
  std::string Take();

 private:
  int saved_ = -1;
  int file_ = -1;
};

// For the whole process, as fuzz targets and benchmarks need: nothing written
// to standard output is kept, and std::cout does not even format it.
void SilenceStdout();

}  // namespace test_support
