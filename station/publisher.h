#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "line/line_db.h"
#include "live_state.h"

namespace ftmd::station {

// The station's state as the line view shows it: each slot's unit, step and
// what it waits for, from the live state. `ended`: the station has stopped,
// every slot is idle.
line::StationStatus station_status(const StationSnapshot& snapshot, const std::string& host,
                                   std::int64_t outbox_waiting, bool ended);

// How long one publish may try an unreachable database before it is given
// up until the next beat.
inline constexpr std::chrono::milliseconds kPublishRetryWithin{1500};

// Publishes the station's state to the line database on a thread of its own
// with a connection of its own: at every change that matters to the line
// view (a unit, a step, a verdict, a question, a fixture wait) and at least
// every line::kStationHeartbeat. The slots never wait for it: it reads the
// live state, and a database slower than the changes gets only the newest
// state. A failing database is said once on `err`, and once more when it
// takes the state again.
class StationPublisher {
 public:
  struct Config {
    std::string db_url;
    std::string host;
    std::string outbox_dir;  // the station's outbox folder, whose runs are counted
  };
  // Starts publishing; nothing when the database URL cannot be read (why in `error`).
  static std::unique_ptr<StationPublisher> start(const LiveState& state, Config config, std::FILE* err,
                                                 std::string* error);
  // Stops the thread and publishes the final state (every slot idle).
  ~StationPublisher();
  StationPublisher(const StationPublisher&) = delete;
  StationPublisher& operator=(const StationPublisher&) = delete;

  void finish();
  std::int64_t published() const { return published_.load(); }
  std::int64_t failures() const { return failures_.load(); }

 private:
  StationPublisher(const LiveState& state, Config config, std::unique_ptr<line::LineDb> db, std::FILE* err);
  void run(const std::stop_token& stop);
  bool publish(const line::StationStatus& status);

  const LiveState& state_;
  const Config config_;
  std::unique_ptr<line::LineDb> db_;  // the thread's alone until it has ended
  std::FILE* err_;
  std::atomic<std::int64_t> published_{0};
  std::atomic<std::int64_t> failures_{0};
  bool failing_ = false;  // the thread's
  std::mutex finish_mutex_;
  bool finished_ = false;
  std::jthread thread_;
};

}  // namespace ftmd::station
