// The optional HTTP face of qdx-host: a status page, a JSON API, a stream of
// events and metrics, served on threads of its own. Handlers only read the
// status board and the history; nothing they do can change a device or hold
// up the poll loop.
#pragma once

#include <memory>
#include <string>

#include "controller/history/history_fields.h"
#include "controller/status/status_board.h"

namespace controller {

struct HttpAddress {
  std::string host;  // numeric IPv4 or IPv6 address, without brackets
  int port = 0;      // 0: any free port
  bool loopback = false;
};

// Parses "ADDR:PORT" with ADDR an IPv4 address, "[IPv6]" or "localhost".
// Throws std::invalid_argument with a message naming what is wrong.
HttpAddress ParseHttpAddress(const std::string& text);

// Whether a request's Host header is one a server on the loopback address
// bound_host answers: localhost, 127.0.0.1, [::1] or bound_host itself, in any
// letter case, with an optional numeric port; an absent (empty) one too. Other
// names are refused so a web page elsewhere cannot reach the server by
// rebinding a name to 127.0.0.1.
bool IsLoopbackHostHeader(const std::string& host, const std::string& bound_host);

struct HttpOptions {
  HttpAddress address;
  bool allow_remote = false;
  std::string db_path;        // history database, opened read-only per request
  FieldTable fields;          // its rollups' field table: steps are summed up by it
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

  // Binds the address, exclusively, without serving yet. Throws
  // std::runtime_error "cannot listen on ADDR:PORT: reason" when it cannot.
  void Bind();

  // Binds (unless done) and starts serving; returns the page's URL. Warns on
  // standard error when the address is open to other machines.
  std::string Start();

  // Ends event streams and open requests and joins the server's threads.
  void Stop();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace controller
