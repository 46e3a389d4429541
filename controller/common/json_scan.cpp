#include "controller/common/json_scan.h"

#include <algorithm>

namespace controller {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsPunctuation(char c) {
  return c == '[' || c == ']' || c == '{' || c == '}' || c == ',' || c == ':' || c == '"';
}

// The index of a string's closing quote (text.size() when it has none).
std::size_t StringEnd(const std::string& text, std::size_t open) {
  std::size_t i = open + 1;
  while (i < text.size() && text[i] != '"') i += text[i] == '\\' ? 2 : 1;
  return std::min(i, text.size());
}

// The index of a comment's last character: "//" runs to a line end, "/*" to "*/".
std::size_t CommentEnd(const std::string& text, std::size_t slash) {
  if (text[slash + 1] == '/') {
    const std::size_t eol = text.find_first_of("\r\n", slash + 2);
    return eol == std::string::npos ? text.size() : eol;
  }
  const std::size_t close = text.find("*/", slash + 2);
  return close == std::string::npos ? text.size() : close + 1;
}

// Whether the string that closed just before i is an object key: a ':' follows.
bool KeyAt(const std::string& text, std::size_t i) {
  while (i < text.size() && IsSpace(text[i])) ++i;
  return i < text.size() && text[i] == ':';
}

}  // namespace

JsonShape ScanJson(const std::string& text) {
  JsonShape shape;
  int depth = 0;
  bool in_scalar = false;  // inside a number or true, false, null
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '/' && i + 1 < text.size() && (text[i + 1] == '/' || text[i + 1] == '*')) {
      in_scalar = false;
      i = CommentEnd(text, i);
    } else if (c == '"') {
      in_scalar = false;
      i = StringEnd(text, i);
      if (!KeyAt(text, i + 1)) ++shape.values;
    } else if (c == '[' || c == '{') {
      in_scalar = false;
      ++shape.values;
      shape.depth = std::max(shape.depth, ++depth);
    } else if (c == ']' || c == '}') {
      in_scalar = false;
      --depth;
    } else if (IsSpace(c) || IsPunctuation(c)) {
      in_scalar = false;
    } else if (!in_scalar) {
      in_scalar = true;
      ++shape.values;
    }
  }
  return shape;
}

}  // namespace controller
