#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <httplib.h>

#include "live_state.h"
#include "operator_desk.h"
#include "web_page.h"
#include "web_view.h"

namespace ftmd::station {

// The HTTP server behind WebView (what WebView::start returns):
//   GET  /                   the page (web_page.h) with the current state in it;
//                            ?token=T tells it whether T lets it answer
//   GET  /api/state          the state as JSON, at once
//   GET  /api/state?since=V  the first state newer than V, or the current one
//                            after a bounded wait (a long-poll); &page=ID
//                            names the open page, for linger()
//   POST /api/answer         an answer to a slot's question (JSON, below)
// Anything else is 404. The API reads the token from the X-Answer-Token
// header. Requests are served on a small pool of threads; the destructor
// stops the server and joins every thread, promptly even while long-polls
// are open.
//
// POST /api/answer takes Content-Type application/json (anything else is
// 415, so a form on another site cannot post one) with
//   {"slot": "a", "question": 12, "value": "pass", "badge": "B-17"}
// ("badge" may be left out: the station's operator answers then) and says
//   200 {"accepted": true}
//   400 {"accepted": false, "refusal": "..."}  the request is not an answer
//   403 {"accepted": false, "refusal": "..."}  no token, or the wrong one
//   409 {"accepted": false, "refusal": "..."}  the desk refused it (no such
//       open question: answered already, or a stale click; a scan that does
//       not match its pattern; ...)
class WebServer final : public WebView {
 public:
  // As WebView::start.
  static std::unique_ptr<WebServer> start(const LiveState& state, OperatorDesk& desk,
                                          const WebViewConfig& config, std::string* error);
  WebServer(const LiveState& state, OperatorDesk& desk, WebViewConfig config);
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;
  ~WebServer() override;

  int port() const override { return port_; }
  std::string url() const override;
  void linger(std::chrono::milliseconds within) override;
  // How many long-polls are waiting for a change right now: about one per
  // open page.
  int watchers() const { return watchers_.load(); }

 private:
  using Clock = std::chrono::steady_clock;
  // A page that follows the state, as its long-polls show it.
  struct Page {
    int asking = 0;           // its requests being served now
    Clock::time_point last;   // when one of them last ended
    bool handed_end = false;  // it has been sent a state that says `ended`
  };

  bool listen(std::string* error);
  void serve_state(const httplib::Request& request, httplib::Response& response);
  void serve_answer(const httplib::Request& request, httplib::Response& response);
  // What `token` (as a request carried it) lets the page do.
  Access access(const std::string& token) const;
  // The state as JSON for a request that carried `token`.
  std::string state_json(const StationSnapshot& snapshot, const std::string& token);
  // "HH:MM" (local time) when the view first saw the station ended; "" before.
  std::string ended_at(const StationSnapshot& snapshot);
  void page_asks(const std::string& page);
  void page_answered(const std::string& page, bool ended);
  // Notes when the station ends even while no page is open.
  void watch(const std::stop_token& stop);

  const LiveState& state_;
  OperatorDesk& desk_;
  const WebViewConfig config_;  // with the token it uses (made when needed)
  httplib::Server server_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> watchers_{0};
  int port_ = 0;

  std::mutex mutex_;  // guards finished_, pages_ and ended_at_
  std::condition_variable changed_;
  bool finished_ = false;  // the serving thread has left the server loop
  std::map<std::string, Page> pages_;
  std::string ended_at_;
  std::thread thread_;
  std::jthread watcher_;
};

}  // namespace ftmd::station
