#include "line/line_view.h"

#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <set>

#include <nlohmann/json.hpp>

#include "common/c_handle.h"
#include "common/deadline.h"
#include "line/line_export.h"

namespace ftmd::line {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::ordered_json;

// How long GET /api/live?since=V waits for a newer state before it answers
// with the current one; the page simply asks again.
constexpr auto kLongPollWait = 10s;
// A waiting request looks this often whether the server is being stopped.
constexpr auto kStopCheck = 50ms;
// Request threads: each open page holds one for its long-poll.
constexpr std::size_t kWorkerThreads = 16;
// An idle connection is kept this long for the browser's next request; the
// server looks whether it is being stopped only between these waits.
constexpr time_t kKeepAliveSeconds = 1;
constexpr auto kStopRetry = 10ms;
// The stations' follower: how long one wait for a publish lasts (so silence
// is seen this promptly), how often the stations are read anyway, and how
// long it waits before trying a database that failed again.
constexpr auto kWatchStep = 250ms;
constexpr auto kRereadEvery = 5s;
constexpr auto kRetryPause = 1s;
// Failed runs listed for one failure.
constexpr std::size_t kFailedRunsShown = 200;

constexpr char kHtmlType[] = "text/html; charset=utf-8";
constexpr char kJsonType[] = "application/json; charset=utf-8";
constexpr char kTextType[] = "text/plain; charset=utf-8";

void no_store(httplib::Response& response) { response.set_header("Cache-Control", "no-store"); }

// Device and database texts may hold any byte: what is not UTF-8 becomes
// U+FFFD instead of making dump() throw.
std::string text(const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

std::string error_json(const std::string& message) { return text(Json{{"error", message}}); }

class Watching {
 public:
  explicit Watching(std::atomic<int>& count) : count_(count) { ++count_; }
  ~Watching() { --count_; }
  Watching(const Watching&) = delete;
  Watching& operator=(const Watching&) = delete;

 private:
  std::atomic<int>& count_;
};

// Sleeps `how_long`, or less when a stop is requested.
void pause(const std::stop_token& stop, std::chrono::milliseconds how_long) {
  const Deadline deadline(how_long);
  while (!stop.stop_requested() && !deadline.passed())
    std::this_thread::sleep_for(std::min<Deadline::Clock::duration>(kStopCheck, deadline.left()));
}

Json counts_json(const YieldCounts& c) {
  return {{"units", c.units},
          {"first_pass", c.first_pass},
          {"final_pass", c.final_pass},
          {"retests", c.retests},
          {"aborted", c.aborted}};
}

Json groups_json(const std::vector<YieldGroup>& groups) {
  Json out = Json::array();
  for (const auto& g : groups) out.push_back({{"name", g.name}, {"counts", counts_json(g.counts)}});
  return out;
}

Json unit_json(const UnitReport& u) {
  Json runs = Json::array();
  for (const auto& r : u.runs)
    runs.push_back({{"run_id", r.run_id},
                    {"verdict", r.verdict},
                    {"plan_name", r.plan_name},
                    {"station", r.station},
                    {"operator", r.operator_name},
                    {"started_at", r.started_at},
                    {"ended_at", r.ended_at}});
  const Identity& id = u.identity;
  return {{"identity",
           {{"hwid", id.hwid},
            {"sn", id.sn},
            {"csn", id.csn},
            {"lan4_mac", id.lan4_mac},
            {"lan3_mac", id.lan3_mac}}},
          {"state", u.state},
          {"assigned_at", u.assigned_at},
          {"assigned_station", u.assigned_station},
          {"assigned_operator", u.assigned_operator},
          {"provisioned_at", u.provisioned_at},
          {"voided_at", u.voided_at},
          {"void_reason", u.void_reason},
          {"runs", std::move(runs)}};
}

// A failure of the database as an HTTP answer: 400 for what the request
// got wrong, 503 while the database cannot be used, else 500.
int status_of(const Error& error) {
  if (error.kind == ErrorKind::kRefused) return 400;
  if (error.unavailable()) return 503;
  return 500;
}

std::string local_text(const std::string& utc) {
  if (utc.empty()) return "now";
  std::tm tm{};
  if (!strptime(utc.c_str(), "%Y-%m-%dT%H:%M:%S", &tm)) return utc;
  std::time_t when = timegm(&tm);
  localtime_r(&when, &tm);
  char out[32];
  std::strftime(out, sizeof out, "%Y-%m-%d %H:%M", &tm);
  return out;
}

}  // namespace

std::unique_ptr<LineView> LineView::start(const LineViewOptions& options, std::string* error) {
  if (options.port < 0 || options.port > 65535) {
    *error = "the line view's port must be 0 to 65535, not " + std::to_string(options.port);
    return nullptr;
  }
  if (options.shifts.empty()) {
    *error = "the line view needs at least one shift start";
    return nullptr;
  }
  auto db = open_line_db(options.db_url, options.retry_within, Access::kReadOnly);
  if (!db) {
    *error = db.error().message;
    return nullptr;
  }
  auto view = std::make_unique<LineView>(options);
  view->shown_db_ = (*db)->describe();
  view->query_db_ = std::move(*db);
  if (!view->listen(error)) return nullptr;
  view->follower_ = std::jthread([v = view.get()](const std::stop_token& stop) { v->follow_stations(stop); });
  return view;
}

LineView::~LineView() {
  stopping_ = true;
  if (follower_.joinable()) {
    follower_.request_stop();
    follower_.join();
  }
  if (!serving_.joinable()) return;
  std::unique_lock lock(finished_mutex_);
  while (!finished_) {
    server_.stop();
    finished_changed_.wait_for(lock, kStopRetry, [this] { return finished_; });
  }
  lock.unlock();
  serving_.join();
}

bool LineView::listen(std::string* error) {
  server_.new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
  server_.set_keep_alive_timeout(kKeepAliveSeconds);
  // No SO_REUSEPORT: a second view on the same port is refused. Close-on-exec.
  server_.set_socket_options([](int sock) {
    const int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    fcntl(sock, F_SETFD, FD_CLOEXEC);
  });
  server_.Get("/", [](const httplib::Request&, httplib::Response& response) {
    no_store(response);
    response.set_content(std::string(line_view_page()), kHtmlType);
  });
  server_.Get("/api/live", [this](const httplib::Request& q, httplib::Response& r) { serve_live(q, r); });
  server_.Get("/api/summary", [this](const httplib::Request& q, httplib::Response& r) {
    serve_query(q, r, &LineView::summary);
  });
  server_.Get("/api/failures", [this](const httplib::Request& q, httplib::Response& r) {
    serve_query(q, r, &LineView::failures);
  });
  server_.Get("/api/unit", [this](const httplib::Request& q, httplib::Response& r) {
    serve_query(q, r, &LineView::unit);
  });
  server_.Get("/api/run",
              [this](const httplib::Request& q, httplib::Response& r) { serve_query(q, r, &LineView::run); });
  // The view only reads.
  auto refuse = [](const httplib::Request&, httplib::Response& response) {
    response.status = 405;
    response.set_header("Allow", "GET, HEAD");
    response.set_content("the line view only reads: GET\n", kTextType);
  };
  server_.Post(".*", refuse);
  server_.Put(".*", refuse);
  server_.Patch(".*", refuse);
  server_.Delete(".*", refuse);
  server_.Options(".*", refuse);
  server_.set_error_handler([](const httplib::Request&, httplib::Response& response) {
    if (!response.body.empty()) return;
    response.set_content(response.status == 404 ? std::string("not found\n")
                                                : "HTTP error " + std::to_string(response.status) + "\n",
                         kTextType);
  });

  const std::string& address = options_.address;
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const int looked_up = getaddrinfo(address.c_str(), nullptr, &hints, &found);
  const CHandle<addrinfo, freeaddrinfo> addresses(found);
  if (looked_up != 0) {
    *error =
        "cannot listen on " + address + ":" + std::to_string(options_.port) + ": " + gai_strerror(looked_up);
    return false;
  }
  errno = 0;
  const int bound = options_.port == 0 ? server_.bind_to_any_port(address)
                                       : (server_.bind_to_port(address, options_.port) ? options_.port : -1);
  if (bound <= 0) {
    *error = "cannot listen on " + address + ":" + std::to_string(options_.port);
    if (errno != 0) *error += std::string(": ") + std::strerror(errno);
    return false;
  }
  port_ = bound;
  serving_ = std::thread([this] {
    server_.listen_after_bind();
    {
      std::lock_guard lock(finished_mutex_);
      finished_ = true;
    }
    finished_changed_.notify_all();
  });
  return true;
}

// Follows what the stations publish and keeps the live JSON: on PostgreSQL
// woken by the stations' NOTIFY, on SQLite by the file's changes; every
// kRereadEvery anyway. A station's silence is seen here, from its age at the
// last read and the time since, so it shows without any publish.
void LineView::follow_stations(const std::stop_token& stop) {
  auto opened = open_line_db(options_.db_url, std::chrono::milliseconds(0), Access::kReadOnly);
  std::unique_ptr<LineDb> db = opened ? std::move(*opened) : nullptr;
  std::vector<StationState> stations;
  Deadline::Clock::time_point read_at{};
  std::string error, last_signature;
  bool ever_read = false, shown = false;
  while (!stop.stop_requested()) {
    bool read = false;
    if (db) {
      auto changed = db->watch_stations(kWatchStep);
      read = !changed || *changed || !ever_read || Deadline::Clock::now() - read_at > kRereadEvery;
      if (read) {
        auto got = db->stations();
        if (got) {
          stations = std::move(*got);
          read_at = Deadline::Clock::now();
          ever_read = true;
          error.clear();
        } else {
          error = got.error().message;
        }
      }
    } else {
      error = opened.error().message;
    }
    const auto since_read =
        std::chrono::duration_cast<std::chrono::milliseconds>(Deadline::Clock::now() - read_at);
    Json list = Json::array();
    std::string signature = error;
    for (const auto& s : stations) {
      bool silent = s.age_ms + since_read.count() > std::chrono::milliseconds(kStationSilentAfter).count();
      Json slots = Json::array();
      for (const auto& slot : s.status.slots) slots.push_back(slot_json(slot));
      list.push_back({{"name", s.status.station},
                      {"host", s.status.host},
                      {"published_at", s.published_at},
                      {"age_ms", s.age_ms + since_read.count()},
                      {"silent", silent},
                      {"outbox_waiting", s.status.outbox_waiting},
                      {"slots", slots}});
      signature += "\n" + s.status.station + " " + s.published_at + (silent ? " silent " : " ") +
                   std::to_string(s.status.outbox_waiting) + " " + text(slots);
    }
    if (signature != last_signature || !shown) {
      last_signature = signature;
      shown = true;
      std::lock_guard lock(live_mutex_);
      ++live_version_;
      live_json_ = text(Json{{"version", live_version_},
                             {"database", shown_db_},
                             {"error", error},
                             {"silent_after_ms", std::chrono::milliseconds(kStationSilentAfter).count()},
                             {"stations", std::move(list)}});
      live_changed_.notify_all();
    }
    if (!error.empty()) pause(stop, kRetryPause);
  }
}

void LineView::serve_live(const httplib::Request& request, httplib::Response& response) {
  no_store(response);
  std::uint64_t since = 0;
  bool waits = request.has_param("since");
  if (waits) {
    const std::string since_text = request.get_param_value("since");
    const char* end = since_text.data() + since_text.size();
    const auto [stop, problem] = std::from_chars(since_text.data(), end, since);
    if (since_text.empty() || problem != std::errc() || stop != end) {
      response.status = 400;
      response.set_content(error_json("since must be a state version (a whole number)"), kJsonType);
      return;
    }
  }
  const Watching watching(watchers_);
  const Deadline deadline(kLongPollWait);
  std::unique_lock lock(live_mutex_);
  // Before the first read there is nothing to show: wait for it too.
  while ((live_version_ == 0 || (waits && live_version_ <= since)) && !stopping_ && !deadline.passed())
    live_changed_.wait_for(lock, kStopCheck);
  if (live_version_ == 0) {
    response.status = 503;
    response.set_content(error_json("the stations have not been read yet"), kJsonType);
    return;
  }
  response.set_content(live_json_, kJsonType);
}

void LineView::serve_query(const httplib::Request& request, httplib::Response& response,
                           std::string (LineView::*answer)(const httplib::Request&, int&)) {
  no_store(response);
  int status = 200;
  std::string body;
  {
    std::lock_guard lock(query_mutex_);
    body = (this->*answer)(request, status);
  }
  response.status = status;
  response.set_content(body, kJsonType);
}

namespace {

// The period a request asks for: ?period=NAME (default "shift"), or
// ?since= and ?until= (UTC times); ?plan= as given.
std::optional<Period> period_of(const httplib::Request& request, const Shifts& shifts, std::string& name,
                                std::string* why) {
  std::optional<Period> period;
  if (request.has_param("since") || request.has_param("until")) {
    period = Period{request.get_param_value("since"), request.get_param_value("until"), ""};
    name = "from";
  } else {
    name = request.has_param("period") ? request.get_param_value("period") : "shift";
    period = named_period(name, std::time(nullptr), shifts);
    if (!period) *why = "no period \"" + name + "\" (shift, last-shift, today, 24h, 7d)";
  }
  if (period) period->plan = request.get_param_value("plan");
  return period;
}

}  // namespace

std::string LineView::summary(const httplib::Request& request, int& status) {
  std::string name, why;
  auto period = period_of(request, options_.shifts, name, &why);
  if (!period) {
    status = 400;
    return error_json(why);
  }
  auto fail = [&](const Error& error) {
    status = status_of(error);
    return error_json(error.message);
  };
  // Every plan's yield rows: the plans of the period are the choice the page offers.
  auto rows = query_db_->yield_rows({period->since, period->until, ""});
  if (!rows) return fail(rows.error());
  std::set<std::string> plans;
  std::vector<YieldRow> chosen;
  for (const auto& r : *rows) {
    plans.insert(r.plan);
    if (period->plan.empty() || r.plan == period->plan) chosen.push_back(r);
  }
  YieldTables tables = yield_tables(chosen, options_.shifts);
  auto steps = query_db_->failures(*period, false);
  if (!steps) return fail(steps.error());
  auto replies = query_db_->failures(*period, true);
  if (!replies) return fail(replies.error());
  auto measurements = query_db_->measurement_stats(*period);
  if (!measurements) return fail(measurements.error());
  auto levels = query_db_->pool_levels();
  if (!levels) return fail(levels.error());

  std::int64_t failed = 0;
  Json step_rows = Json::array(), reply_rows = Json::array();
  for (const auto& f : *steps) {
    failed += f.runs;
    step_rows.push_back({{"step", f.step}, {"runs", f.runs}});
  }
  for (const auto& f : *replies)
    reply_rows.push_back({{"step", f.step}, {"reply", f.reply}, {"runs", f.runs}});
  Json measured = Json::array();
  for (const auto& m : *measurements)
    measured.push_back({{"plan", m.plan},
                        {"name", m.name},
                        {"unit", m.unit},
                        {"low", m.low ? Json(*m.low) : Json()},
                        {"high", m.high ? Json(*m.high) : Json()},
                        {"count", m.count},
                        {"mean", m.mean},
                        {"min", m.min},
                        {"max", m.max},
                        {"outside", m.outside}});
  Json pools = Json::array();
  for (const auto& l : *levels)
    pools.push_back({{"pool", l.pool},
                     {"imported", l.imported},
                     {"assigned", l.assigned},
                     {"void", l.voided},
                     {"left", l.left},
                     {"low", l.left < options_.low_water}});
  return text(Json{
      {"period",
       {{"name", name},
        {"since", period->since},
        {"until", period->until},
        {"text", local_text(period->since) + " to " + local_text(period->until)}}},
      {"plans", plans},
      {"yield",
       {{"total", counts_json(tables.total)},
        {"plans", groups_json(tables.plans)},
        {"stations", groups_json(tables.stations)},
        {"hours", groups_json(tables.hours)},
        {"shifts", groups_json(tables.shifts)}}},
      {"pareto", {{"failed", failed}, {"steps", step_rows}, {"replies", reply_rows}}},
      {"measurements", measured},
      {"pools", {{"low", options_.low_water}, {"levels", pools}}},
  });
}

std::string LineView::failures(const httplib::Request& request, int& status) {
  std::string name, why;
  auto period = period_of(request, options_.shifts, name, &why);
  if (!period || !request.has_param("step")) {
    status = 400;
    return error_json(period ? "which failure: ?step= is missing" : why);
  }
  std::optional<std::string> reply;
  if (request.has_param("reply")) reply = request.get_param_value("reply");
  auto runs = query_db_->failed_runs(*period, request.get_param_value("step"), reply, kFailedRunsShown);
  if (!runs) {
    status = status_of(runs.error());
    return error_json(runs.error().message);
  }
  Json list = Json::array();
  for (const auto& r : *runs) list.push_back(run_fields(r));
  return text(Json{{"runs", list}});
}

std::string LineView::unit(const httplib::Request& request, int& status) {
  const std::string key = request.get_param_value("key");
  auto units = query_db_->find_units(key);
  if (!units) {
    status = status_of(units.error());
    return error_json(units.error().message);
  }
  Json list = Json::array(), values = Json::array();
  for (const auto& u : *units) list.push_back(unit_json(u));
  if (units->empty()) {
    auto found = query_db_->find_values(key);
    if (found)
      for (const auto& v : *found)
        values.push_back({{"pool", v.pool}, {"value", v.value}, {"state", v.state}, {"hwid", v.hwid}});
  }
  return text(Json{{"units", list}, {"values", values}});
}

std::string LineView::run(const httplib::Request& request, int& status) {
  auto found = query_db_->run(request.get_param_value("id"));
  if (!found) {
    status = status_of(found.error());
    return error_json(found.error().message);
  }
  if (!*found) {
    status = 404;
    return error_json("no run " + request.get_param_value("id"));
  }
  const RunRow& r = **found;
  auto record = nlohmann::ordered_json::parse(r.record_json, nullptr, false);
  return text(Json{{"run", run_fields(r)}, {"record", record.is_discarded() ? Json(r.record_json) : record}});
}

}  // namespace ftmd::line
