// qdx-host built without an HTTP library: --http is refused with a reason.
#include <stdexcept>

#include "controller/http/http_server.h"

namespace controller {

struct HttpServer::Impl {};

HttpServer::HttpServer(std::shared_ptr<StatusBoard>, HttpOptions) {}
HttpServer::~HttpServer() = default;

void HttpServer::Bind() {
  throw std::runtime_error("--http: this qdx-host was built without cpp-httplib");
}

std::string HttpServer::Start() {
  throw std::runtime_error("--http: this qdx-host was built without cpp-httplib");
}

void HttpServer::Stop() {}

}  // namespace controller
