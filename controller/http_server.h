// The optional HTTP face of qdx-host: a status page, a JSON API, a stream of
// events and metrics, served on threads of its own. Handlers only read the
// status board and the history; nothing they do can change a device or hold
// up the poll loop.
#pragma once

#include <memory>
#include <string>

#include "controller/status_board.h"

namespace controller {

struct HttpAddress {
  std::string host;  // numeric IPv4 or IPv6 address, without brackets
  int port = 0;      // 0: any free port
  bool loopback = false;
};

// Parses "ADDR:PORT" with ADDR an IPv4 address, "[IPv6]" or "localhost".
// Throws std::invalid_argument with a message naming what is wrong.
HttpAddress ParseHttpAddress(const std::string& text);

// Whether a request's Host header names this machine's loopback interface
// (localhost, 127.x.x.x or [::1], any port). A server on loopback refuses
// other names so a web page elsewhere cannot reach it by rebinding a name.
bool IsLoopbackHostHeader(const std::string& host);

struct HttpOptions {
  HttpAddress address;
  bool allow_remote = false;
  std::string db_path;        // history database, opened read-only per request
  std::string chart_js_path;  // chart library file served as /chart.js
};

// Options for --http ADDR:PORT. Throws std::invalid_argument when the address
// is malformed, or reaches beyond this machine without allow_remote.
HttpOptions MakeHttpOptions(const std::string& address, bool allow_remote,
                            const std::string& db_path, const std::string& chart_js_path);

class HttpServer {
 public:
  HttpServer(std::shared_ptr<StatusBoard> board, HttpOptions options);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds the address and starts serving; returns the page's URL. Warns on
  // standard error when the address is open to other machines. Throws
  // std::runtime_error naming the address when it cannot listen there.
  std::string Start();

  // Ends event streams and open requests and joins the server's threads.
  void Stop();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace controller
