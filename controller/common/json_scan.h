// A cheap look at JSON text before a parser builds it: how deep it nests and
// how many values it holds, which decide the parser's stack and memory.
#pragma once

#include <cstddef>
#include <string>

namespace controller {

struct JsonShape {
  int depth = 0;           // deepest nesting of arrays and objects
  std::size_t values = 0;  // values of every kind; object keys are not values
};

// Tokens are told apart as JsonCpp tells them (strings with their escapes,
// comments), so that nothing a parser would build is left out of the count.
// Malformed text gets a count at least as large as what a parser builds of it
// before it fails.
JsonShape ScanJson(const std::string& text);

}  // namespace controller
