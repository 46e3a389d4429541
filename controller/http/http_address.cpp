#include <arpa/inet.h>

#include <cctype>
#include <cstring>
#include <stdexcept>

#include "controller/common/decimal.h"
#include "controller/http/http_server.h"

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
  const long number = ParseDecimal<long>(port).value_or(-1);
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

bool IsLoopbackHostHeader(const std::string& host, const std::string& bound_host) {
  if (host.empty()) return true;  // HTTP/1.0 without a Host header
  std::string text = host;
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::size_t name_end = text[0] == '[' ? text.find(']') : text.find(':');
  if (text[0] == '[') {
    if (name_end == std::string::npos) return false;
    ++name_end;
  } else if (name_end == std::string::npos) {
    name_end = text.size();
  }
  const std::string name = text.substr(0, name_end);
  const std::string port = text.substr(name_end);
  if (!port.empty()) {
    if (port[0] != ':' || port.size() < 2 || port.size() > 6) return false;
    for (std::size_t i = 1; i < port.size(); ++i) {
      if (port[i] < '0' || port[i] > '9') return false;
    }
  }
  std::string bound = bound_host;
  for (char& c : bound) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (bound.find(':') != std::string::npos) bound = "[" + bound + "]";
  return name == "localhost" || name == "127.0.0.1" || name == "[::1]" || name == bound;
}

}  // namespace controller
