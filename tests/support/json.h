#pragma once

#include <json/value.h>

#include <string>

namespace test_support {

// Parses a JSON document; throws std::invalid_argument with the parser's
// message and the text when it is not one.
Json::Value ParseJson(const std::string& text);

}  // namespace test_support
