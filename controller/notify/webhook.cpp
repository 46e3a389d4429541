// A webhook target: the event's JSON by POST, over http or https. The URL and
// headers are never part of what is said.
#include <httplib.h>

#include <algorithm>

#include "controller/notify/delivery.h"

namespace controller {

const bool kWebhooksBuiltIn = true;

using Clock = std::chrono::steady_clock;

Answer PostWebhook(const NotifyTarget& t, const std::string& json, Clock::time_point deadline) {
  const auto scheme_end = t.webhook.find("://");
  const auto path_at = t.webhook.find('/', scheme_end + 3);
  const std::string base = t.webhook.substr(0, path_at);
  const std::string path = path_at == std::string::npos ? "/" : t.webhook.substr(path_at);
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::min(deadline - Clock::now(), Clock::duration(std::chrono::seconds(t.timeout_s))));
  if (left.count() <= 0) return {false, true, "no time left"};
  httplib::Client client(base);
  if (!client.is_valid()) return {false, false, "the URL is not one it can use"};
  client.set_connection_timeout(left);
  client.set_read_timeout(left);
  client.set_write_timeout(left);
  if (!t.ca_file.empty()) client.set_ca_cert_path(t.ca_file.c_str());
  httplib::Headers headers;
  for (const auto& h : t.headers) headers.emplace(h.first, h.second);
  const httplib::Result res = client.Post(path, headers, json, "application/json");
  if (!res) return {false, true, "no answer: " + httplib::to_string(res.error())};
  const bool ok = res->status >= 200 && res->status < 300;
  return {ok, !ok, "HTTP " + std::to_string(res->status)};
}

}  // namespace controller
