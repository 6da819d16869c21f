#include "web_server.h"

#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>

#include <nlohmann/json.hpp>

#include "common/c_handle.h"
#include "common/deadline.h"

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
// A page none of whose requests is open, and that has asked nothing for
// this long, has been closed (a live one asks again at once, or after its
// one-second retry when the server could not be reached).
constexpr auto kPageGone = 3s;
// An answer is a few short fields; anything longer is not one.
constexpr std::size_t kMaxAnswerBody = std::size_t{16} * 1024;
constexpr std::size_t kMaxBadge = 64;
constexpr std::size_t kMaxPageId = 64;

constexpr char kHtmlType[] = "text/html; charset=utf-8";
constexpr char kJsonType[] = "application/json; charset=utf-8";
constexpr char kTextType[] = "text/plain; charset=utf-8";
constexpr char kTokenHeader[] = "X-Answer-Token";
// Set on a state answer that says the station has ended: the logger, which
// runs once the answer is written, sees it there.
constexpr char kEndedHeader[] = "X-Station-Ended";

void no_store(httplib::Response& response) { response.set_header("Cache-Control", "no-store"); }

void refuse(httplib::Response& response, int status, const std::string& why) {
  response.status = status;
  const nlohmann::json body = {{"accepted", false}, {"refusal", why}};
  response.set_content(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), kJsonType);
}

// Compares in a time that does not depend on where the texts differ.
bool same_secret(std::string_view a, std::string_view b) {
  unsigned char differ = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < a.size(); ++i)
    differ |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : ~a[i]));
  return differ == 0;
}

bool printable(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x20 && byte != 0x7f;
  });
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool unspecified(const std::string& address) {
  return address.empty() || address == "0.0.0.0" || address == "::" || address == "[::]";
}

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

std::unique_ptr<WebServer> WebServer::start(const LiveState& state, OperatorDesk& desk,
                                            const WebViewConfig& config, std::string* error) {
  if (config.port < 0 || config.port > 65535) {
    if (error) *error = "the web view's port must be 0 to 65535, not " + std::to_string(config.port);
    return nullptr;
  }
  WebViewConfig used = config;
  if (used.answer_token.empty() && !is_loopback_address(used.address)) {
    used.answer_token = new_answer_token();
    if (used.answer_token.empty()) {
      if (error) *error = std::string("cannot make an answer token: ") + std::strerror(errno);
      return nullptr;
    }
  }
  auto server = std::make_unique<WebServer>(state, desk, std::move(used));
  if (!server->listen(error)) return nullptr;
  return server;
}

WebServer::WebServer(const LiveState& state, OperatorDesk& desk, WebViewConfig config)
    : state_(state), desk_(desk), config_(std::move(config)) {}

WebServer::~WebServer() {
  stopping_ = true;
  if (watcher_.joinable()) {
    watcher_.request_stop();
    watcher_.join();
  }
  if (!thread_.joinable()) return;
  std::unique_lock lock(mutex_);
  while (!finished_) {
    server_.stop();
    changed_.wait_for(lock, kStopRetry, [this] { return finished_; });
  }
  lock.unlock();
  thread_.join();
}

std::string WebServer::url() const {
  std::string host = config_.address;
  if (unspecified(host)) {
    char name[256] = {};
    host = gethostname(name, sizeof name - 1) == 0 && name[0] != '\0' ? name : "localhost";
  } else if (host.find(':') != std::string::npos && !host.starts_with('[')) {
    host = "[" + host + "]";
  }
  std::string url = "http://" + host + ":" + std::to_string(port_) + "/";
  if (!config_.answer_token.empty()) url += "?token=" + config_.answer_token;
  return url;
}

bool WebServer::listen(std::string* error) {
  const std::string& address = config_.address;
  const int port = config_.port;
  server_.new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
  server_.set_keep_alive_timeout(kKeepAliveSeconds);
  server_.set_payload_max_length(kMaxAnswerBody);
  // Only SO_REUSEADDR: no SO_REUSEPORT, so a second station on the same port
  // is refused instead of sharing it. Close-on-exec, so programs the station
  // starts do not hold the port open.
  server_.set_socket_options([](int sock) {
    const int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    fcntl(sock, F_SETFD, FD_CLOEXEC);
  });
  server_.Get("/", [this](const httplib::Request& request, httplib::Response& response) {
    no_store(response);
    const StationSnapshot snapshot = state_.snapshot();
    response.set_content(render_station_page(state_json(snapshot, request.get_param_value("token"))),
                         kHtmlType);
  });
  server_.Get("/api/state", [this](const httplib::Request& request, httplib::Response& response) {
    serve_state(request, response);
  });
  server_.Post("/api/answer", [this](const httplib::Request& request, httplib::Response& response) {
    serve_answer(request, response);
  });
  server_.set_error_handler([](const httplib::Request&, httplib::Response& response) {
    if (!response.body.empty()) return;
    response.set_content(response.status == 404 ? std::string("not found\n")
                                                : "HTTP error " + std::to_string(response.status) + "\n",
                         kTextType);
  });
  // Runs once an answer has been written: a page that has been handed the
  // ended state can then lose its connection without harm.
  server_.set_logger([this](const httplib::Request& request, const httplib::Response& response) {
    if (request.path == "/api/state" && request.has_param("page"))
      page_answered(request.get_param_value("page"), response.has_header(kEndedHeader));
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
    changed_.notify_all();
  });
  watcher_ = std::jthread([this](const std::stop_token& stop) { watch(stop); });
  return true;
}

Access WebServer::access(const std::string& token) const {
  if (config_.answer_token.empty()) return Access::kOpen;
  if (token.empty()) return Access::kNoToken;
  return same_secret(token, config_.answer_token) ? Access::kToken : Access::kWrongToken;
}

std::string WebServer::state_json(const StationSnapshot& snapshot, const std::string& token) {
  return station_state_json(snapshot, {access(token), ended_at(snapshot)});
}

std::string WebServer::ended_at(const StationSnapshot& snapshot) {
  std::lock_guard lock(mutex_);
  if (snapshot.ended && ended_at_.empty()) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char text[8] = "";
    if (localtime_r(&now, &local) != nullptr) std::strftime(text, sizeof text, "%H:%M", &local);
    ended_at_ = text;
  }
  return snapshot.ended ? ended_at_ : std::string();
}

void WebServer::watch(const std::stop_token& stop) {
  std::uint64_t seen = 0;
  while (!stop.stop_requested()) {
    const StationSnapshot snapshot = state_.wait_newer(seen, kStopCheck);
    seen = snapshot.version;
    if (snapshot.ended) {
      ended_at(snapshot);
      return;
    }
  }
}

void WebServer::page_asks(const std::string& page) {
  std::lock_guard lock(mutex_);
  const auto now = Clock::now();
  std::erase_if(pages_,
                [&](const auto& p) { return p.second.asking == 0 && now - p.second.last > kPageGone; });
  Page& seen = pages_[page];
  ++seen.asking;
  seen.last = now;
}

void WebServer::page_answered(const std::string& page, bool ended) {
  {
    std::lock_guard lock(mutex_);
    const auto it = pages_.find(page);
    if (it == pages_.end()) return;
    if (it->second.asking > 0) --it->second.asking;
    it->second.last = Clock::now();
    it->second.handed_end = it->second.handed_end || ended;
  }
  changed_.notify_all();
}

void WebServer::linger(std::chrono::milliseconds within) {
  const Deadline deadline(within);
  std::unique_lock lock(mutex_);
  const auto all_told = [this] {
    const auto now = Clock::now();
    return std::all_of(pages_.begin(), pages_.end(), [&](const auto& p) {
      const Page& page = p.second;
      return page.handed_end || (page.asking == 0 && now - page.last > kPageGone);
    });
  };
  // Pages come and go without telling, so the wait looks again now and then.
  while (!all_told() && !deadline.passed())
    changed_.wait_until(lock, std::min(deadline.when(), Clock::now() + kStopCheck));
}

void WebServer::serve_state(const httplib::Request& request, httplib::Response& response) {
  no_store(response);
  const std::string token = request.get_header_value(kTokenHeader);
  std::string page = request.get_param_value("page");
  if (page.size() > kMaxPageId || !printable(page)) page.clear();
  if (!page.empty()) page_asks(page);
  // The logger (page_answered) sees every answer, this one's too, errors
  // included.
  StationSnapshot snapshot;
  if (!request.has_param("since")) {
    snapshot = state_.snapshot();
  } else {
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
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline.left());
      snapshot = state_.wait_newer(since, std::min<std::chrono::milliseconds>(left, kStopCheck));
      if (snapshot.version > since || stopping_ || left <= kStopCheck) break;
    }
  }
  if (snapshot.ended) response.set_header(kEndedHeader, "1");
  response.set_content(state_json(snapshot, token), kJsonType);
}

void WebServer::serve_answer(const httplib::Request& request, httplib::Response& response) {
  no_store(response);
  // Only a page of this view sends JSON here with the token header; another
  // site's form cannot set either without the browser asking first.
  if (!request.get_header_value("Content-Type").starts_with("application/json")) {
    refuse(response, 415, "an answer is sent as application/json");
    return;
  }
  switch (access(request.get_header_value(kTokenHeader))) {
    case Access::kOpen:
    case Access::kToken:
      break;
    case Access::kNoToken:
      refuse(response, 403, "answering here needs the token the station printed when it started");
      return;
    case Access::kWrongToken:
      refuse(response, 403, "the token is not this station's");
      return;
  }
  const auto body = nlohmann::json::parse(request.body, nullptr, false);
  if (!body.is_object()) {
    refuse(response, 400, "an answer is a JSON object");
    return;
  }
  const auto text_field = [&](const char* name, bool required, std::string* out) {
    const auto it = body.find(name);
    if (it == body.end() && !required) return true;
    if (it == body.end() || !it->is_string()) {
      refuse(response, 400, std::string("\"") + name + "\" must be a text");
      return false;
    }
    *out = it->get<std::string>();
    return true;
  };
  std::string slot, value, badge;
  if (!text_field("slot", true, &slot) || !text_field("value", true, &value) ||
      !text_field("badge", false, &badge))
    return;
  const auto id = body.find("question");
  if (id == body.end() || !id->is_number_unsigned() || id->get<std::uint64_t>() == 0) {
    refuse(response, 400, "\"question\" must be the open question's id (a whole number above 0)");
    return;
  }
  badge = std::string(trimmed(badge));
  if (badge.size() > kMaxBadge || !printable(badge)) {
    refuse(
        response, 400,
        "a badge is at most " + std::to_string(kMaxBadge) + " printable characters, without control bytes");
    return;
  }
  const AnswerResult result = desk_.answer(slot, id->get<std::uint64_t>(), value,
                                           badge.empty() ? config_.operator_name : badge, kChannelWeb);
  if (!result) {
    refuse(response, 409, result.refusal);
    return;
  }
  response.set_content(R"({"accepted":true})", kJsonType);
}

}  // namespace ftmd::station
