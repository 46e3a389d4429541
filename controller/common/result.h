// One way to fail: a function gives its value, or the reason it has none, and
// the caller decides what a failure means (refuse a start, skip a row). The
// reason is the whole text a user reads.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace controller {

// A failure's number when its cause gave none; a cause that has numbers of
// its own (SQLite's result codes) passes them on, 0 meaning fine.
inline constexpr int kFailed = 1;

// A failure on its way into a Result of any type: return Fail("...").
struct Failure {
  std::string reason;
  int code = kFailed;
};

inline Failure Fail(std::string reason, int code = kFailed) {
  return Failure{std::move(reason), code};
}

template <typename T>
class [[nodiscard]] Result {
 public:
  // All implicit: a function returns its value or Fail(...) alike.
  Result(const T& value) : value_(value) {}
  Result(T&& value) : value_(std::move(value)) {}
  Result(Failure failure)
      : reason_(std::move(failure.reason)), code_(failure.code != 0 ? failure.code : kFailed) {}

  bool ok() const { return value_.has_value(); }
  // The value; std::bad_optional_access when there is none.
  const T& value() const& { return value_.value(); }
  T& value() & { return value_.value(); }
  T&& value() && { return std::move(value_).value(); }
  // Why there is no value; empty when ok.
  const std::string& reason() const { return reason_; }
  // The cause's number (0 when ok).
  int code() const { return ok() ? 0 : code_; }
  // The same failure, for a Result of another type.
  Failure failure() const { return Failure{reason_, code_}; }

 private:
  std::optional<T> value_;
  std::string reason_;
  int code_ = kFailed;
};

// Done or not, with nothing to give: return {} or Fail(...).
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Failure failure)
      : reason_(std::move(failure.reason)), code_(failure.code != 0 ? failure.code : kFailed) {}
  // From a cause's own number: 0 is fine, anything else fails for the reason.
  Result(int code, std::string reason) : reason_(code != 0 ? std::move(reason) : ""), code_(code) {}

  bool ok() const { return code_ == 0; }
  const std::string& reason() const { return reason_; }
  int code() const { return code_; }
  Failure failure() const { return Failure{reason_, code_}; }

 private:
  std::string reason_;
  int code_ = 0;
};

using Status = Result<void>;

}  // namespace controller
