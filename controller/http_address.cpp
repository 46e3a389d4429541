#include <arpa/inet.h>

#include <cstring>
#include <stdexcept>

#include "controller/http_server.h"

namespace controller {

namespace {

bool IsLoopbackIp(const std::string& host) {
  in_addr v4{};
  if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (::inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
    static const unsigned char kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(&v6, kLoopback, sizeof(kLoopback)) == 0;
  }
  return false;
}

bool IsIp(const std::string& host) {
  in_addr v4{};
  in6_addr v6{};
  return ::inet_pton(AF_INET, host.c_str(), &v4) == 1 ||
         ::inet_pton(AF_INET6, host.c_str(), &v6) == 1;
}

}  // namespace

HttpAddress ParseHttpAddress(const std::string& text) {
  const std::string what = "--http \"" + text + "\": ";
  HttpAddress out;
  std::string port;
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
      throw std::invalid_argument(what + "expected [IPv6 address]:PORT");
    out.host = text.substr(1, close - 1);
    port = text.substr(close + 2);
    in6_addr v6{};
    if (::inet_pton(AF_INET6, out.host.c_str(), &v6) != 1)
      throw std::invalid_argument(what + "\"" + out.host + "\" is no IPv6 address");
  } else {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
      throw std::invalid_argument(what + "expected ADDRESS:PORT, e.g. 127.0.0.1:8080");
    out.host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (out.host == "localhost") out.host = "127.0.0.1";
    in_addr v4{};
    if (::inet_pton(AF_INET, out.host.c_str(), &v4) != 1)
      throw std::invalid_argument(what + "\"" + out.host +
                                  "\" is no IPv4 address (use [..] around IPv6, or localhost)");
  }
  bool digits = !port.empty() && port.size() <= 5;
  for (char c : port) digits = digits && c >= '0' && c <= '9';
  const long number = digits ? std::stol(port) : -1;
  if (number < 0 || number > 65535)
    throw std::invalid_argument(what + "the port must be a number from 0 to 65535");
  out.port = static_cast<int>(number);
  out.loopback = IsLoopbackIp(out.host);
  return out;
}

HttpOptions MakeHttpOptions(const std::string& address, bool allow_remote,
                            const std::string& db_path, const std::string& chart_js_path) {
  HttpOptions out;
  out.address = ParseHttpAddress(address);
  if (!out.address.loopback && !allow_remote)
    throw std::invalid_argument("--http " + address +
                                ": not a loopback address; add --http-allow-remote to serve "
                                "other machines");
  out.allow_remote = allow_remote;
  out.db_path = db_path;
  out.chart_js_path = chart_js_path;
  return out;
}

bool IsLoopbackHostHeader(const std::string& host) {
  if (host.empty()) return true;  // HTTP/1.0 without a Host header
  std::string name = host;
  if (name[0] == '[') {
    const std::size_t close = name.find(']');
    if (close == std::string::npos) return false;
    name = name.substr(1, close - 1);
  } else if (name.find(':') != std::string::npos) {
    name = name.substr(0, name.find(':'));
  }
  if (name == "localhost") return true;
  return IsIp(name) && IsLoopbackIp(name);
}

}  // namespace controller
