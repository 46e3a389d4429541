// Request heads at the edges of their bounds, and queries read as sent.
#include "controller/http/http_head.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

using controller::HeadVerdict;

std::string Line(std::size_t size, const std::string& start) {
  return start + std::string(size - start.size() - 2, 'a') + "\r\n";
}

TEST(HttpHeadTest, BoundsAndBodies) {
  const std::string host = "Host: x\r\n";
  const struct {
    std::string head;
    HeadVerdict want;
  } rows[] = {
      {Line(8192, "GET /") + host + "\r\n", HeadVerdict::kComplete},
      {Line(8193, "GET /") + host + "\r\n", HeadVerdict::kUriTooLong},
      {"GET /" + std::string(8200, 'a'), HeadVerdict::kUriTooLong},  // no line end yet
      {"GET / HTTP/1.1\r\n" + Line(8192, "X: ") + "\r\n", HeadVerdict::kComplete},
      {"GET / HTTP/1.1\r\n" + Line(8193, "X: "), HeadVerdict::kHeadTooLarge},
      {"GET / HTTP/1.1\r\n" + std::string(100, 'X') + "\r\n" + std::string(5, 'x'),
       HeadVerdict::kIncomplete},
      {"GET / HTTP/1.1\nHost: x\n\n", HeadVerdict::kBadRequest},
      {"\r\nGET / HTTP/1.1\r\n\r\n", HeadVerdict::kBadRequest},
      {"GET / HTTP/1.1\r\ncontent-length: 00\r\n\r\n", HeadVerdict::kComplete},
      {"GET / HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", HeadVerdict::kBodyNotAllowed},
      {"HEAD / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", HeadVerdict::kBodyNotAllowed},
      {"POST / HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", HeadVerdict::kComplete},
      // White space the library would trim, hiding a Host from its check.
      {"GET / HTTP/1.1\r\nHost : evil.example\r\n\r\n", HeadVerdict::kBadFieldName},
      {"GET / HTTP/1.1\r\n Host: evil.example\r\n\r\n", HeadVerdict::kBadFieldName},
      {"GET / HTTP/1.1\r\nHost\t: evil.example\r\n\r\n", HeadVerdict::kBadFieldName},
      {"GET / HTTP/1.1\r\nHost: x\r\n\tevil.example\r\n\r\n", HeadVerdict::kBadFieldName},
      {"GET / HTTP/1.1\r\n: x\r\n\r\n", HeadVerdict::kBadFieldName},
      {"GET / HTTP/1.1\r\nHost:localhost \r\nX-A:  b c \r\n\r\n", HeadVerdict::kComplete},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(controller::CheckRequestHead(row.head.data(), row.head.size()).verdict, row.want)
        << row.head.substr(0, 60);
  }
  std::string many = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < 100; ++i) many += "X: 1\r\n";
  EXPECT_EQ(controller::CheckRequestHead(many.data(), many.size()).verdict,
            HeadVerdict::kIncomplete);
  many += "X: 1\r\n";
  EXPECT_EQ(controller::CheckRequestHead(many.data(), many.size()).verdict,
            HeadVerdict::kHeadTooLarge);
  std::string big = "GET / HTTP/1.1\r\n";
  while (big.size() <= controller::kMaxRequestHead) big += Line(4000, "X: ");
  EXPECT_EQ(controller::CheckRequestHead(big.data(), big.size()).verdict,
            HeadVerdict::kHeadTooLarge);
}

TEST(HttpHeadTest, QueryKeepsEveryPair) {
  const auto q = controller::ParseQuery("/api/history?device=ups+b&device=ups+b&x&%41=%2B%zz");
  EXPECT_EQ(q.count("device"), 2u);
  EXPECT_EQ(q.find("device")->second, "ups b");
  EXPECT_EQ(q.count("x"), 1u);
  EXPECT_EQ(q.find("A")->second, "+%zz");
  EXPECT_TRUE(controller::ParseQuery("/metrics").empty());
}

TEST(HttpHeadTest, QueryFaultNamesTheParameterAndTheByte) {
  const std::pair<const char*, const char*> rows[] = {
      {"/api/history?device=u%00", "device: contains a NUL byte"},
      {"/api/history?device=ups&from=%zz", "from: invalid percent-escape \"%zz\""},
      {"/api/history?device=ups%4", "device: invalid percent-escape \"%4\""},
      {"/api/history?device=%ff", "device: not valid UTF-8: \"\xff\""},
      {"/api/history?device=\xc3(", "device: not valid UTF-8"},
      {"/api/devices?a%00=1", "parameter name \"a%00\": contains a NUL byte"},
      {"/api/devices?%ff%fe=1", "parameter name \"%ff%fe\": not valid UTF-8"},
      {"/api/history?device=ups+%C3%BC&step=60&x", ""},
      {"/metrics", ""},
  };
  for (const auto& row : rows) {
    const std::string fault = controller::QueryFault(row.first);
    if (*row.second) {
      EXPECT_EQ(fault.rfind(row.second, 0), 0u) << row.first << ": " << fault;
    } else {
      EXPECT_EQ(fault, "") << row.first;
    }
  }
}

TEST(HttpHeadTest, RangesOnlyOneForFiles) {
  const std::string head = "GET /app.js HTTP/1.1\r\nHost: x\r\n";
  const std::string one = head + "range: bytes=0-9\r\n\r\n";
  const std::string many = head + "Range: bytes=0-1,2-3\r\nX: 1\r\n\r\n";
  const std::string twice = head + "Range: bytes=0-1\r\nRange: bytes=2-3\r\n\r\n";
  EXPECT_EQ(controller::WithoutRanges(one, true), one);
  EXPECT_EQ(controller::WithoutRanges(one + "Range: x", false), head + "\r\nRange: x");
  EXPECT_EQ(controller::WithoutRanges(many, true), head + "X: 1\r\n\r\n");
  EXPECT_EQ(controller::WithoutRanges(twice, true), head + "\r\n");
}

}  // namespace
