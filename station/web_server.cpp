#include "web_server.h"

#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>

#include "common/c_handle.h"
#include "common/deadline.h"
#include "web_page.h"

namespace ftmd::station {
namespace {

using namespace std::chrono_literals;

// How long GET /api/state?since=V waits for a state newer than V before it
// answers with the current one. Browsers keep a request this long without
// complaint; the page simply asks again.
constexpr auto kLongPollWait = 10s;
// A waiting request looks this often whether the server is being stopped,
// so stopping never waits for a long-poll to run out.
constexpr auto kStopCheck = 50ms;
// Request threads: each open page holds one for its long-poll.
constexpr std::size_t kWorkerThreads = 8;
// How long an idle connection is kept for the browser's next request. The
// server looks whether it is being stopped only between these waits, so this
// bounds how long a browser left open holds up the station's exit. The page
// asks again at once after each answer, so it never waits this long itself.
constexpr time_t kKeepAliveSeconds = 1;
// How often the destructor repeats stop() until the serving thread is gone
// (a stop() before the server loop has begun is not seen by it).
constexpr auto kStopRetry = 10ms;

constexpr char kHtmlType[] = "text/html; charset=utf-8";
constexpr char kJsonType[] = "application/json; charset=utf-8";
constexpr char kTextType[] = "text/plain; charset=utf-8";

void no_store(httplib::Response& response) { response.set_header("Cache-Control", "no-store"); }

// Counts a waiting long-poll for as long as it lives.
class Watching {
 public:
  explicit Watching(std::atomic<int>& count) : count_(count) { ++count_; }
  ~Watching() { --count_; }
  Watching(const Watching&) = delete;
  Watching& operator=(const Watching&) = delete;

 private:
  std::atomic<int>& count_;
};

}  // namespace

std::unique_ptr<WebServer> WebServer::start(const LiveState& state, const std::string& address, int port,
                                            std::string* error) {
  if (port < 0 || port > 65535) {
    if (error) *error = "the web view's port must be 0 to 65535, not " + std::to_string(port);
    return nullptr;
  }
  auto server = std::make_unique<WebServer>(state);
  if (!server->listen(address, port, error)) return nullptr;
  return server;
}

WebServer::~WebServer() {
  stopping_ = true;
  if (!thread_.joinable()) return;
  std::unique_lock lock(mutex_);
  while (!finished_) {
    server_.stop();
    finished_changed_.wait_for(lock, kStopRetry, [this] { return finished_; });
  }
  lock.unlock();
  thread_.join();
}

bool WebServer::listen(const std::string& address, int port, std::string* error) {
  server_.new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
  server_.set_keep_alive_timeout(kKeepAliveSeconds);
  // Only SO_REUSEADDR: no SO_REUSEPORT, so a second station on the same port
  // is refused instead of sharing it. Close-on-exec, so programs the station
  // starts do not hold the port open.
  server_.set_socket_options([](int sock) {
    const int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    fcntl(sock, F_SETFD, FD_CLOEXEC);
  });
  server_.Get("/", [this](const httplib::Request&, httplib::Response& response) {
    no_store(response);
    response.set_content(render_station_page(state_.snapshot()), kHtmlType);
  });
  server_.Get("/api/state", [this](const httplib::Request& request, httplib::Response& response) {
    serve_state(request, response);
  });
  server_.set_error_handler([](const httplib::Request&, httplib::Response& response) {
    if (!response.body.empty()) return;
    response.set_content(response.status == 404 ? std::string("not found\n")
                                                : "HTTP error " + std::to_string(response.status) + "\n",
                         kTextType);
  });

  // The name is resolved here first, so a bad address is reported as such
  // rather than as whatever errno the failed look-up left.
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const int looked_up = getaddrinfo(address.c_str(), nullptr, &hints, &found);
  const CHandle<addrinfo, freeaddrinfo> addresses(found);
  if (looked_up != 0) {
    if (error)
      *error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + gai_strerror(looked_up);
    return false;
  }

  errno = 0;
  const int bound =
      port == 0 ? server_.bind_to_any_port(address) : (server_.bind_to_port(address, port) ? port : -1);
  if (bound <= 0) {
    if (error) {
      *error = "cannot listen on " + address + ":" + std::to_string(port);
      if (errno != 0) *error += std::string(": ") + std::strerror(errno);
    }
    return false;
  }
  port_ = bound;
  thread_ = std::thread([this] {
    server_.listen_after_bind();
    {
      std::lock_guard lock(mutex_);
      finished_ = true;
    }
    finished_changed_.notify_all();
  });
  return true;
}

void WebServer::serve_state(const httplib::Request& request, httplib::Response& response) {
  no_store(response);
  if (!request.has_param("since")) {
    response.set_content(station_state_json(state_.snapshot()), kJsonType);
    return;
  }
  const std::string since_text = request.get_param_value("since");
  std::uint64_t since = 0;
  const char* end = since_text.data() + since_text.size();
  const auto [stop, problem] = std::from_chars(since_text.data(), end, since);
  if (since_text.empty() || problem != std::errc() || stop != end) {
    response.status = 400;
    response.set_content("since must be a state version (a whole number)\n", kTextType);
    return;
  }
  const Watching watching(watchers_);
  const Deadline deadline(kLongPollWait);
  StationSnapshot snapshot;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline.left());
    snapshot = state_.wait_newer(since, std::min<std::chrono::milliseconds>(left, kStopCheck));
    if (snapshot.version > since || stopping_ || left <= kStopCheck) break;
  }
  response.set_content(station_state_json(snapshot), kJsonType);
}

}  // namespace ftmd::station
