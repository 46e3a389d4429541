// One way to fail: a function gives its value, or the reason it has none, and
// the caller decides what a failure means (refuse a start, skip a row). The
// reason is the whole text a user reads.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace controller {

// A failure on its way into a Result of any type: return Fail("...").
struct Failure {
  std::string reason;
};

inline Failure Fail(std::string reason) { return Failure{std::move(reason)}; }

template <typename T>
class [[nodiscard]] Result {
 public:
  // All implicit: a function returns its value or Fail(...) alike.
  Result(const T& value) : value_(value) {}
  Result(T&& value) : value_(std::move(value)) {}
  Result(Failure failure) : reason_(std::move(failure.reason)) {}

  bool ok() const { return value_.has_value(); }
  // The value; std::bad_optional_access when there is none.
  const T& value() const& { return value_.value(); }
  T& value() & { return value_.value(); }
  T&& value() && { return std::move(value_).value(); }
  // Why there is no value; empty when ok.
  const std::string& reason() const { return reason_; }
  // The same failure, for a Result of another type.
  Failure failure() const { return Failure{reason_}; }

 private:
  std::optional<T> value_;
  std::string reason_;
};

// Done or not, with nothing to give: return {} or Fail(...).
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Failure failure) : reason_(std::move(failure.reason)), ok_(false) {}

  bool ok() const { return ok_; }
  const std::string& reason() const { return reason_; }
  Failure failure() const { return Failure{reason_}; }

 private:
  std::string reason_;
  bool ok_ = true;
};

using Status = Result<void>;

}  // namespace controller
