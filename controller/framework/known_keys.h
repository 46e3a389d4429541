// Keys a settings object may hold, and the near miss a misspelt key was
// probably meant to be.
#pragma once

#include <json/value.h>

#include <cstddef>
#include <string>
#include <vector>

namespace controller {

using KnownKeys = std::vector<const char*>;

// Edits (insert, delete, replace) from a to b.
std::size_t EditDistance(const std::string& a, const std::string& b);

// The known key key was probably meant to be: equal but for case, else the
// closest within two edits (none for keys of two letters or fewer, where two
// edits reach anything). Empty when none is close.
std::string ClosestKey(const std::string& key, const KnownKeys& known);

// Finds the first member of obj not in known: true, with the member in key and
// its suggestion (or empty) in hint.
bool UnknownKey(const Json::Value& obj, const KnownKeys& known, std::string& key,
                std::string& hint);

// "; did you mean "x"?" for a hint, or nothing.
std::string DidYouMean(const std::string& hint);

}  // namespace controller
