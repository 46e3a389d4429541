// A webhook target: the event's JSON by POST, over http or https. The URL and
// headers are never part of what is said.
#include <fcntl.h>
#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "controller/common/unique_fd.h"
#include "controller/notify/delivery.h"
#include "controller/notify/target_check.h"

namespace controller {

const bool kWebhooksBuiltIn = true;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kShutEvery = std::chrono::milliseconds(20);

// The client's timeouts bound each read and write alone, so a peer that
// trickles a byte at a time would hold it for ever: a thread of its own shuts
// the exchange's sockets down at its deadline or the stop's. It holds a
// duplicate of each socket, so the number it shuts down is never one the
// client closed and something else reopened.
class Watchdog {
 public:
  Watchdog(Clock::time_point own, const StopClock& stop) : stop_(stop) {
    thread_ = std::thread([this, own] { Watch(own); });
  }
  ~Watchdog() { End(); }
  // Why the exchange was cut, once the client returned: 0 not cut, 1 its
  // timeout, 2 the stop.
  int End() {
    done_ = true;
    stop_.Wake();
    if (thread_.joinable()) thread_.join();
    return cut_;
  }
  // From the client's socket hook, before it connects.
  void Adopt(int fd) {
    std::lock_guard<std::mutex> lock(m_);
    sockets_.emplace_back(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
  }

 private:
  void Watch(Clock::time_point own) {
    const bool on_time = stop_.Sleep(own, [this] { return done_.load(); });
    if (done_) return;
    cut_ = on_time ? 1 : 2;
    // Again until the client returns: a socket in the middle of connecting,
    // or one made after the first shutdown, is caught by the next round.
    while (!done_) {
      {
        std::lock_guard<std::mutex> lock(m_);
        for (const UniqueFd& s : sockets_) ::shutdown(s.get(), SHUT_RDWR);
      }
      std::this_thread::sleep_for(kShutEvery);
    }
  }

  const StopClock& stop_;
  std::mutex m_;
  std::vector<UniqueFd> sockets_;
  std::atomic<bool> done_{false};
  std::atomic<int> cut_{0};
  std::thread thread_;
};

}  // namespace

Answer PostWebhook(const NotifyTarget& t, const std::string& json, const StopClock& stop) {
  // Checked at start already; said here too rather than sent somewhere else.
  const Result<WebhookUrl> url = ParseWebhookUrl(t.webhook);
  if (!url.ok()) return {false, false, "the URL " + url.reason()};
  if (stop.Passed()) return LeftAtStop();
  const Clock::time_point own = Clock::now() + std::chrono::seconds(t.timeout_s);
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::min(own, stop.deadline()) - Clock::now());
  httplib::Client client(url.value().base);
  if (!client.is_valid()) return {false, false, "the URL is not one it can use"};
  client.set_connection_timeout(left);
  client.set_read_timeout(left);
  client.set_write_timeout(left);
  if (!t.ca_file.empty()) client.set_ca_cert_path(t.ca_file.c_str());
  httplib::Headers headers;
  for (const auto& h : t.headers) headers.emplace(h.first, h.second);
  std::unique_ptr<Watchdog> dog;
  try {
    dog = std::make_unique<Watchdog>(own, stop);
  } catch (const std::system_error& e) {
    return {false, true, std::string("cannot watch the exchange: ") + e.what()};
  }
  client.set_socket_options([&dog](socket_t s) {
    // The library makes its sockets without close-on-exec.
    ::fcntl(s, F_SETFD, FD_CLOEXEC);
    dog->Adopt(s);
  });
  const httplib::Result res = client.Post(url.value().path, headers, json, "application/json");
  const int cut = dog->End();
  if (cut == 2 && !res) return LeftAtStop();
  if (cut == 1 && !res)
    return {false, true, "no whole answer within " + std::to_string(t.timeout_s) + " s"};
  if (!res) return {false, true, "no answer: " + httplib::to_string(res.error())};
  const bool ok = res->status >= 200 && res->status < 300;
  return {ok, !ok, "HTTP " + std::to_string(res->status)};
}

}  // namespace controller
