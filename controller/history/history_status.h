// How a step of the history went, said one way: fine, or not, with SQLite's
// result code where it gave one and the reason in words.
#pragma once

#include <string>
#include <utility>

namespace controller {

class Status {
 public:
  static constexpr int kFailed = 1;  // SQLite's generic error, for failures it did not name

  Status() = default;  // fine
  Status(int code, std::string reason) : code_(code), reason_(std::move(reason)) {}
  static Status Failed(std::string reason) { return Status(kFailed, std::move(reason)); }

  bool ok() const { return code_ == 0; }
  int code() const { return code_; }  // SQLite's result code; 0 when fine
  const std::string& reason() const { return reason_; }

 private:
  int code_ = 0;
  std::string reason_;
};

// Whether a SQLite result code means another connection holds a lock for now.
bool IsRetryable(int rc);

// Whether a SQLite result code means the file is damaged.
bool IsDamage(int rc);

}  // namespace controller
