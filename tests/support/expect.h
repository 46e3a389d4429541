// Test-only checks on top of GoogleTest.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace test_support {

// Fails the test unless fn throws an E whose message contains part.
template <typename E, typename Fn>
void ExpectThrowWithMessage(Fn&& fn, const std::string& part) {
  try {
    fn();
    ADD_FAILURE() << "nothing thrown; expected a message with \"" << part << "\"";
  } catch (const E& e) {
    EXPECT_NE(std::string(e.what()).find(part), std::string::npos)
        << "message \"" << e.what() << "\" lacks \"" << part << "\"";
  }
}

}  // namespace test_support
