#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace ftmd::station {

// What the station is doing right now, as the terminal progress line and the
// station's web view show it. The runner is the only writer; readers take a
// copy. Times are milliseconds since the step (or the unit) began.
enum class StepState { kPending, kRunning, kPassed, kFailed, kSkipped };
const char* step_state_name(StepState state);  // "pending", "running", "passed", "failed", "skipped"

struct StepView {
  std::string name;     // the plan's step name
  std::string command;  // the command text sent (variables filled in), or "handover devlic"
  StepState state = StepState::kPending;
  int attempt = 0;              // 1-based while running or after it ran; 0 before
  int attempts = 1;             // how many tries the plan allows
  std::int64_t elapsed_ms = 0;  // of the current (or last) attempt
  std::int64_t timeout_ms = 0;
  std::string reply;    // the last reply text, as the device sent it
  std::string message;  // why it failed, or what it waits for
};

struct UnitView {
  std::string serial;   // the unit's serial number (or "" before a unit starts)
  std::string plan;     // the plan's name
  int index = 0;        // 1-based unit number in this run
  int count = 0;        // units in this run (0: unknown)
  std::string verdict;  // "", "running", "passed", "failed"
  std::vector<StepView> steps;
};

struct StationSnapshot {
  std::uint64_t version = 0;  // bumped on every change
  std::string station;        // station name (host name unless given)
  std::string port;           // the port in use, or what is awaited
  std::string status;         // one line: "running", "waiting for the device on ...", "finished"
  std::string prompt;         // the operator prompt now shown ("" when none)
  UnitView unit;              // the current (or last) unit
  int passed = 0;             // units passed so far in this run
  int failed = 0;             // units failed so far
};

// The shared snapshot. Thread-safe: the runner calls update(), any number of
// readers call snapshot() or wait_newer().
class LiveState {
 public:
  // Applies `change` under the lock and bumps the version.
  void update(const std::function<void(StationSnapshot&)>& change);
  StationSnapshot snapshot() const;
  // Waits until the version is above `seen` or `timeout` passes; returns the
  // snapshot either way.
  StationSnapshot wait_newer(std::uint64_t seen, std::chrono::milliseconds timeout) const;

 private:
  mutable std::mutex mutex_;  // guards snapshot_
  mutable std::condition_variable changed_;
  StationSnapshot snapshot_;
};

}  // namespace ftmd::station
