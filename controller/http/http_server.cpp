#include "controller/http/http_server.h"

#include <httplib.h>

#include <atomic>
#include <thread>

#include "controller/common/file.h"
#include "controller/common/iso_time.h"
#include "controller/common/output.h"
#include "controller/common/unique_fd.h"
#include "controller/http/http_acceptor.h"
#include "controller/http/http_events.h"
#include "controller/http/http_head.h"
#include "controller/http/http_history.h"
#include "controller/http/http_pool.h"
#include "controller/http/http_stream.h"
#include "controller/http/web_assets.h"
#include "controller/status/status_render.h"

namespace controller {

namespace {

// Requests other than event streams get this many threads of their own.
constexpr std::size_t kRequestThreads = 6;
// Only GET and HEAD are served, and they carry no body; others are refused
// before theirs is read.
constexpr std::size_t kMaxRequestBody = 1024;
const char kJson[] = "application/json; charset=utf-8";

// The library's request handling, fed connections by our own acceptor.
class Engine : public httplib::Server {
 public:
  void Process(httplib::Stream& strm) {
    bool closed = true;
    (void)process_request(strm, true, closed, nullptr);
  }
  // Streamed answers go on only while the library sees a listening socket.
  void SetListening(int fd) { svr_sock_ = fd; }
};

void SendError(httplib::Response& res, int status, const std::string& message) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(ErrorJson(message), kJson);
}

// The query's parameters; a byte that cannot be one is named in a 400.
QueryParams Query(const httplib::Request& req) {
  const std::string fault = QueryFault(req.target);
  if (!fault.empty()) throw BadRequest(fault);
  return ParseQuery(req.target);
}

// Whether the request line names one of the page's files, the only answers
// served in part (one range at most).
bool AsksForFile(const std::string& received) {
  const std::size_t from = received.find(' ') + 1;
  const std::size_t to = received.find_first_of(" ?", from);
  if (from == 0 || to == std::string::npos) return false;
  const std::string path = received.substr(from, to - from);
  if (path == "/" || path == "/chart.js") return true;
  for (std::size_t i = 0; i < kWebAssetCount; ++i)
    if (path == kWebAssets[i].path) return true;
  return false;
}

// Debian's minified chart.js is about 200 KiB.
constexpr std::size_t kMaxAssetBytes = 16 * 1024 * 1024;

std::string ReadAsset(const std::string& path) {
  std::optional<std::string> body = ReadFileUpTo(path, kMaxAssetBytes);
  return body && body->size() <= kMaxAssetBytes ? std::move(*body) : std::string();
}

}  // namespace

struct HttpServer::Impl {
  std::shared_ptr<StatusBoard> board;
  HttpOptions options;
  Engine server;
  HttpAcceptor acceptor;
  std::unique_ptr<Pool> pool;
  std::thread listener;
  std::atomic<bool> stopping{false};
  std::atomic<long> events_ended{0};  // streams ended at their bound
  std::string chart_js;
  std::string shown;  // the address as given in a URL
  int port = -1;      // once bound
  bool started = false;

  void Routes();
  void Guards();
  void Files();
  // Where records are being stored: the file given, unless the writer had to
  // store beside it.
  std::string HistoryPath() const {
    std::string moved = board->history_path();
    return moved.empty() ? options.db_path : moved;
  }
  void Static(const WebAsset& asset);
  void Serve(int fd, std::string received);
};

HttpServer::HttpServer(std::shared_ptr<StatusBoard> board, HttpOptions options)
    : impl_(std::make_unique<Impl>()) {
  impl_->board = std::move(board);
  impl_->options = std::move(options);
}

HttpServer::~HttpServer() { Stop(); }

void HttpServer::Impl::Static(const WebAsset& asset) {
  const std::string path = asset.path;
  const bool page = path == "/index.html";
  auto handler = [&asset, page](const httplib::Request&, httplib::Response& res) {
    res.set_header("Cache-Control", "no-cache");
    if (page) {
      res.set_header("Content-Security-Policy",
                     "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
    }
    res.set_content(reinterpret_cast<const char*>(asset.data), asset.size, asset.content_type);
  };
  server.Get(path, handler);
  if (page) server.Get("/", handler);
}

// What every request meets before and after its route: the checks of
// method and Host, and the error bodies.
void HttpServer::Impl::Guards() {
  // On loopback the Host header is checked whatever --http-allow-remote says:
  // a page elsewhere must not reach this one by rebinding a name to 127.0.0.1.
  const bool check_host = options.address.loopback;
  const std::string bound = options.address.host;
  server.set_pre_routing_handler(
      [check_host, bound](const httplib::Request& req, httplib::Response& res) {
        res.set_header("X-Content-Type-Options", "nosniff");
        if (req.method != "GET" && req.method != "HEAD") {
          res.set_header("Allow", "GET, HEAD");
          SendError(res, 405, "method " + req.method + " not allowed: this server is read-only");
          return httplib::Server::HandlerResponse::Handled;
        }
        if (req.get_header_value_count("Host") > 1) {
          SendError(res, 400, "more than one Host header");
          return httplib::Server::HandlerResponse::Handled;
        }
        if (check_host && !IsLoopbackHostHeader(req.get_header_value("Host"), bound)) {
          SendError(res, 403, "host \"" + req.get_header_value("Host") + "\" not served here");
          return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
      });
  server.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
    if (!res.body.empty()) return;
    if (res.status == 404) {
      SendError(res, 404, "no such resource: " + req.path);
    } else if (res.status == 413) {
      SendError(res, 413, "request body too large");
    } else if (res.status == 414) {
      SendError(res, 414, "request target too long");
    } else {
      SendError(res, res.status, "request failed with status " + std::to_string(res.status));
    }
  });
  server.set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
        try {
          std::rethrow_exception(ep);
        } catch (const BadRequest& e) {
          SendError(res, 400, e.what());
        } catch (const std::exception& e) {
          SendError(res, 500, e.what());
        } catch (...) {
          SendError(res, 500, "internal error");
        }
      });
}

// The page's files, and the chart library from its Debian package.
void HttpServer::Impl::Files() {
  for (std::size_t i = 0; i < kWebAssetCount; ++i) Static(kWebAssets[i]);
  server.Get("/chart.js", [this](const httplib::Request&, httplib::Response& res) {
    if (chart_js.empty()) {
      SendError(res, 404,
                "chart library " + options.chart_js_path +
                    " is not installed (Debian package libjs-chart.js)");
      return;
    }
    res.set_header("Cache-Control", "max-age=86400");
    res.set_content(chart_js, "application/javascript; charset=utf-8");
  });
}

void HttpServer::Impl::Routes() {
  Guards();
  Files();
  server.Get("/api/devices", [this](const httplib::Request& req, httplib::Response& res) {
    CheckParamNames(Query(req), {});
    res.set_header("Cache-Control", "no-store");
    res.set_content(DevicesJson(board->Snapshot()), kJson);
  });

  server.Get("/api/history", [this](const httplib::Request& req, httplib::Response& res) {
    const HistoryRequest q = ParseHistoryRequest(Query(req), *board, NowUtcMs());
    const HistoryPage page = ReadHistory(HistoryPath(), options.fields, q);
    res.set_header("Cache-Control", "no-store");
    if (q.csv) {
      res.set_header("Content-Disposition",
                     "attachment; filename=\"history-" + std::to_string(q.data_id) + ".csv\"");
      res.set_content(HistoryCsv(page, q.step_s > 0), "text/csv; charset=utf-8");
    } else {
      res.set_content(HistoryJson(q, page), kJson);
    }
  });

  server.Get("/api/log", [this](const httplib::Request& req, httplib::Response& res) {
    const LogRange q = ParseLogRequest(Query(req), *board);
    res.set_header("Cache-Control", "no-store");
    res.set_content(LogJson(ReadLog(HistoryPath(), q), board->log_repeats()), kJson);
  });

  server.Get("/api/notify", [this](const httplib::Request& req, httplib::Response& res) {
    CheckParamNames(Query(req), {});
    res.set_header("Cache-Control", "no-store");
    res.set_content(board->NotifyJson(), kJson);
  });

  server.Get("/metrics", [this](const httplib::Request& req, httplib::Response& res) {
    CheckParamNames(Query(req), {});
    HttpCounters http;
    http.event_clients = board->subscribers();
    http.event_clients_dropped = board->dropped();
    http.event_streams_ended = events_ended.load();
    http.history_dropped = board->history_dropped();
    res.set_header("Cache-Control", "no-store");
    res.set_content(MetricsText(board->Snapshot(), http) + board->ExtraMetrics(),
                    "text/plain; version=0.0.4; charset=utf-8");
  });

  server.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
    CheckParamNames(Query(req), {});
    ServeEvents(*board, res, events_ended);
  });
}

void HttpServer::Bind() {
  Impl& m = *impl_;
  if (m.port >= 0) return;
  const HttpAddress& a = m.options.address;
  m.shown = a.host.find(':') != std::string::npos ? "[" + a.host + "]" : a.host;
  if (!a.loopback && !m.options.allow_remote)
    throw std::runtime_error("--http " + m.shown +
                             ": not a loopback address; add --http-allow-remote "
                             "to serve other machines");
  m.port = m.acceptor.Bind(a.host, a.port);
}

void HttpServer::Impl::Serve(int fd, std::string received) {
  UniqueFd conn(fd);  // closed however serving ends
  const bool file = AsksForFile(received);
  ConnStream stream(conn.get(), WithoutRanges(std::move(received), file), stopping);
  stream.Serve([&] { server.Process(stream); });
  acceptor.Close(std::move(conn));
}

std::string HttpServer::Start() {
  Impl& m = *impl_;
  Bind();
  if (!m.options.chart_js_path.empty()) {
    m.chart_js = ReadAsset(m.options.chart_js_path);
    if (m.chart_js.empty())
      Complain(m.options.chart_js_path +
               " is missing: the status page shows no charts (install libjs-chart.js)");
  }
  m.server.set_payload_max_length(kMaxRequestBody);
  m.Routes();
  if (!m.options.address.loopback) {
    Complain("warning: the status page, API and metrics on " + m.shown + ":" +
             std::to_string(m.port) +
             " are open to every machine that reaches it, without authentication");
  }
  // Each event stream holds a thread for its life; plain requests keep theirs.
  m.pool = std::make_unique<Pool>(kRequestThreads + m.board->max_subscribers());
  m.server.SetListening(m.acceptor.fd());
  m.listener = std::thread([&m] {
    m.acceptor.Run([&m](int fd, std::string received) {
      return m.pool->TryEnqueue([&m, fd, received]() mutable { m.Serve(fd, std::move(received)); });
    });
  });
  m.started = true;
  return "http://" + m.shown + ":" + std::to_string(m.port) + "/";
}

void HttpServer::Stop() {
  Impl& m = *impl_;
  if (!m.started) return;
  m.started = false;
  m.stopping = true;
  m.board->CloseEvents();
  m.server.SetListening(-1);
  m.acceptor.Stop();
  if (m.listener.joinable()) m.listener.join();
  m.pool->Shutdown();
}

}  // namespace controller
