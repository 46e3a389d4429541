// Whole decimal numbers from text, strictly: digits only (a leading '-' only
// where allowed), no blanks, no '+', nothing after them, and within the type.
#pragma once

#include <charconv>
#include <optional>
#include <string_view>

namespace controller {

template <typename T>
std::optional<T> ParseDecimal(std::string_view text, bool negative_allowed = false) {
  if (text.empty()) return std::nullopt;
  const bool negative = text[0] == '-';
  if (negative && (!negative_allowed || text.size() == 1)) return std::nullopt;
  if (!negative && (text[0] < '0' || text[0] > '9')) return std::nullopt;
  T value{};
  const char* end = text.data() + text.size();
  const auto [at, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || at != end) return std::nullopt;
  return value;
}

}  // namespace controller
