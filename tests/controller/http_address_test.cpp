// The address qdx-host --http listens on, and the Host headers it answers
// when it listens on loopback only.
#include <gtest/gtest.h>

#include <stdexcept>

#include "controller/http/http_server.h"
#include "support/expect.h"

namespace {

TEST(HttpAddressTest, AcceptsLoopbackAndMarksOthers) {
  const controller::HttpAddress v4 = controller::ParseHttpAddress("127.0.0.1:8080");
  EXPECT_EQ(v4.host, "127.0.0.1");
  EXPECT_EQ(v4.port, 8080);
  EXPECT_TRUE(v4.loopback);
  EXPECT_TRUE(controller::ParseHttpAddress("localhost:0").loopback);
  EXPECT_TRUE(controller::ParseHttpAddress("127.3.2.1:1").loopback);
  const controller::HttpAddress v6 = controller::ParseHttpAddress("[::1]:65535");
  EXPECT_EQ(v6.host, "::1");
  EXPECT_TRUE(v6.loopback);
  EXPECT_FALSE(controller::ParseHttpAddress("0.0.0.0:80").loopback);
  EXPECT_FALSE(controller::ParseHttpAddress("[::]:80").loopback);
  EXPECT_FALSE(controller::ParseHttpAddress("192.0.2.4:80").loopback);
}

TEST(HttpAddressTest, RejectsWithAReason) {
  const std::pair<const char*, const char*> bad[] = {
      {"8080", "expected ADDRESS:PORT"},     {":8080", "expected ADDRESS:PORT"},
      {"127.0.0.1:", "port must be"},        {"127.0.0.1:65536", "port must be"},
      {"127.0.0.1:-1", "port must be"},      {"127.0.0.1:80x", "port must be"},
      {"myhost:80", "is no IPv4 address"},   {"::1:80", "is no IPv4 address"},
      {"[::1]80", "expected [IPv6"},         {"[nope]:80", "is no IPv6 address"},
      {"256.0.0.1:80", "is no IPv4 address"}};
  for (const auto& b : bad) {
    SCOPED_TRACE(b.first);
    test_support::ExpectThrowWithMessage<std::invalid_argument>(
        [&] { controller::ParseHttpAddress(b.first); }, b.second);
  }
  EXPECT_THROW(controller::MakeHttpOptions("0.0.0.0:80", false, "h.db", ""), std::invalid_argument);
  EXPECT_TRUE(controller::MakeHttpOptions("0.0.0.0:80", true, "h.db", "").allow_remote);
}

TEST(HttpAddressTest, LoopbackHostHeaders) {
  for (const char* ok :
       {"localhost", "LocalHost:8080", "127.0.0.1:8080", "127.0.0.5", "[::1]:80", "[::1]", ""})
    EXPECT_TRUE(controller::IsLoopbackHostHeader(ok, "127.0.0.5")) << ok;
  for (const char* no :
       {"example.com", "evil.test:8080", "10.0.0.1", "[::2]:80", "[::1", "127.9.9.9",
        "localhost.evil.test", "127.0.0.1.nip.io", "127.0.0.1:evil.example", "[::1]evil.example",
        "localhost:", "localhost:123456", "127.0.0.1:80:80", "127.0.0.1 "})
    EXPECT_FALSE(controller::IsLoopbackHostHeader(no, "127.0.0.5")) << no;
  EXPECT_TRUE(controller::IsLoopbackHostHeader("[::1]:8080", "::1"));
}

}  // namespace
