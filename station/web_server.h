#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <httplib.h>

#include "live_state.h"
#include "web_view.h"

namespace ftmd::station {

// The HTTP server behind WebView (what WebView::start returns):
//   GET /                    the page (web_page.h), the current state rendered in
//   GET /api/state           the snapshot as JSON, at once
//   GET /api/state?since=V   the first snapshot newer than V, or the current
//                            one after a bounded wait (a long-poll)
// Anything else is 404. Requests are served on a small pool of threads; the
// destructor stops the server and joins every thread, promptly even while
// long-polls are open.
class WebServer final : public WebView {
 public:
  // As WebView::start.
  static std::unique_ptr<WebServer> start(const LiveState& state, const std::string& address, int port,
                                          std::string* error);
  explicit WebServer(const LiveState& state) : state_(state) {}
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;
  ~WebServer() override;

  int port() const override { return port_; }
  // How many long-polls are waiting for a change right now: about one per
  // open page.
  int watchers() const { return watchers_.load(); }

 private:
  bool listen(const std::string& address, int port, std::string* error);
  void serve_state(const httplib::Request& request, httplib::Response& response);

  const LiveState& state_;
  httplib::Server server_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> watchers_{0};
  int port_ = 0;
  std::mutex mutex_;  // guards finished_
  std::condition_variable finished_changed_;
  bool finished_ = false;  // the serving thread has left the server loop
  std::thread thread_;
};

}  // namespace ftmd::station
