#include "support/stdout.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <streambuf>

namespace test_support {

StdoutCapture::StdoutCapture() {
  std::cout.flush();
  std::fflush(stdout);
  char path[] = "/tmp/zota_stdout_XXXXXX";
  file_ = ::mkstemp(path);
  if (file_ < 0) throw std::runtime_error("StdoutCapture: no temporary file");
  ::unlink(path);
  saved_ = ::dup(STDOUT_FILENO);
  if (saved_ < 0 || ::dup2(file_, STDOUT_FILENO) < 0) {
    if (saved_ >= 0) ::close(saved_);
    ::close(file_);
    throw std::runtime_error("StdoutCapture: cannot redirect standard output");
  }
}

StdoutCapture::~StdoutCapture() { Take(); }

std::string StdoutCapture::Take() {
  if (saved_ < 0) return std::string();
  std::cout.flush();
  std::fflush(stdout);
  ::dup2(saved_, STDOUT_FILENO);
  ::close(saved_);
  saved_ = -1;
  std::string text;
  char buf[4096];
  ::lseek(file_, 0, SEEK_SET);
  for (ssize_t n; (n = ::read(file_, buf, sizeof(buf))) > 0;) text.append(buf, n);
  ::close(file_);
  file_ = -1;
  return text;
}

namespace {

class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

}  // namespace

void SilenceStdout() {
  static NullBuffer null_buffer;
  std::cout.rdbuf(&null_buffer);
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
}

}  // namespace test_support
