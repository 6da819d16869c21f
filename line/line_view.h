#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include <httplib.h>

#include "line/line_db.h"
#include "line/line_stats.h"

namespace ftmd::line {

struct LineViewOptions {
  std::string db_url;
  std::string address = "127.0.0.1";
  int port = 0;  // 0: any free port
  Shifts shifts = {6 * 60, 14 * 60, 22 * 60};
  std::int64_t low_water = 100;  // a pool with fewer left is shown as low
  // How long a query is tried again while the database cannot be reached.
  std::chrono::milliseconds retry_within{2000};
};

// The line view: `ftmline serve`. An HTTP server on its own threads, reading
// the line database and never writing it (its connections are read-only):
//   GET /                  the page (line_view_page)
//   GET /api/live          every station as it last published, with
//                          ?since=V: the first state newer than V, or the
//                          current one after a bounded wait (a long-poll)
//   GET /api/summary       ?period=NAME or ?since=&until=, ?plan=: yield,
//                          failure Pareto, measurements, pool levels
//   GET /api/failures      ?period, ?plan, ?step=, ?reply=: the failed runs
//   GET /api/unit          ?key=: units by hardware id, serial number or MAC
//   GET /api/run           ?id=: one run with its whole record
// Any other method is refused (405), any other path is 404. A thread follows
// the stations: PostgreSQL's LISTEN, or polling SQLite, and marks a station
// silent once it has not published for kStationSilentAfter. The destructor
// stops the server and joins every thread, promptly even with long-polls
// open.
class LineView {
 public:
  // Listens on `options.address`:`options.port`; nothing, and why in
  // `error`, when that cannot be done or the URL cannot be read.
  static std::unique_ptr<LineView> start(const LineViewOptions& options, std::string* error);
  explicit LineView(LineViewOptions options) : options_(std::move(options)) {}
  LineView(const LineView&) = delete;
  LineView& operator=(const LineView&) = delete;
  ~LineView();

  int port() const { return port_; }
  // Long-polls waiting for a change right now: about one per open page.
  int watchers() const { return watchers_.load(); }

 private:
  bool listen(std::string* error);
  void follow_stations(const std::stop_token& stop);
  void serve_live(const httplib::Request& request, httplib::Response& response);
  void serve_query(const httplib::Request& request, httplib::Response& response,
                   std::string (LineView::*answer)(const httplib::Request&, int&));
  std::string summary(const httplib::Request& request, int& status);
  std::string failures(const httplib::Request& request, int& status);
  std::string unit(const httplib::Request& request, int& status);
  std::string run(const httplib::Request& request, int& status);

  const LineViewOptions options_;
  std::string shown_db_;  // the database as messages name it (no password)
  httplib::Server server_;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> watchers_{0};

  std::mutex query_mutex_;  // guards query_db_: one query at a time
  std::unique_ptr<LineDb> query_db_;

  mutable std::mutex live_mutex_;  // guards live_version_, live_json_
  std::condition_variable live_changed_;
  std::uint64_t live_version_ = 0;
  std::string live_json_;

  std::mutex finished_mutex_;  // guards finished_
  std::condition_variable finished_changed_;
  bool finished_ = false;  // the serving thread has left the server loop
  std::thread serving_;
  std::jthread follower_;
};

// The page, all of it (line_view_page.cpp).
std::string_view line_view_page();

}  // namespace ftmd::line
