#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace ftmd::station {

// What the station is doing right now, as the terminal, the station's web
// view and (later) the line database show it: one entry per test slot, and
// the station around them. The slots' runners and the station's main thread
// write it; readers take a copy. Times are milliseconds.
enum class StepState { kPending, kRunning, kPassed, kFailed, kSkipped, kAborted };
// "pending", "running", "passed", "failed", "skipped", "aborted"
const char* step_state_name(StepState state);

struct StepView {
  std::string name;     // the plan's step name
  std::string command;  // the command text sent (variables filled in), "handover devlic", or ""
  StepState state = StepState::kPending;
  int attempt = 0;              // 1-based while running or after it ran; 0 before
  int attempts = 1;             // how many tries the plan allows
  std::int64_t elapsed_ms = 0;  // of what the clock runs for now (see timeout_ms)
  // What the clock runs against: the reply time-out; while a rebooting
  // device is awaited, the step's reconnect_within (the clock then restarts
  // at 0); while an operator question is open, 0 (no limit).
  std::int64_t timeout_ms = 0;
  std::string reply;    // the last reply text, as the device sent it
  std::string message;  // why it failed, or what it waits for
  std::string kind;     // "send", "handover", "judge", "scan"
  std::string fixture;  // the shared fixture the step uses ("" none)
  // The operator's answer once given (judge: "pass"/"fail", confirm:
  // "yes"/"no", scan: the text) and who gave it.
  std::string answer;
  std::string answered_by;
};

// A measured step's value with its unit and limits ("50 raw (limits 20 ..
// 80)"), once read, and whether it is within them.
struct MeasuredView {
  std::size_t step = 0;  // index into the unit's steps
  std::string text;
  bool passed = false;
};

struct UnitView {
  std::string serial;   // the unit's serial number ("" before a unit starts)
  std::string hwid;     // with the line database: the unit's hardware id
  std::string plan;     // the plan's name
  int index = 0;        // 1-based unit number in the station's run
  int count = 0;        // units in the run (0: open-ended)
  std::string verdict;  // "", "running", "passed", "failed", "aborted"
  std::vector<StepView> steps;
};

// A question open to the operator: answered from the web view, the terminal
// or the operator hook through OperatorDesk::answer with this id.
struct QuestionView {
  std::uint64_t id = 0;  // 0: no question open
  std::string kind;      // "confirm", "judge", "scan"
  std::string text;      // what is asked ("Is the LED red?")
  std::string pattern;   // scan: the regular expression the whole value must match
  std::string step;      // the step that asks
};

struct SlotView {
  std::string name;    // the slot's name ("a", "left", "1")
  std::string port;    // the port as named, for the operator
  std::string status;  // one line: "running", "waiting for the device on ...", "stopped: ..."
  std::string prompt;  // an operator prompt shown now that is not a question ("" none)
  QuestionView question;
  std::string waiting_for_fixture;     // the fixture it waits for ("" none)
  std::string fixture_holder;          // the slot using that fixture now
  bool stopped = false;                // the slot takes no more units
  UnitView unit;                       // the current (or last) unit
  std::vector<MeasuredView> measured;  // its measured steps, in the order they ran
  int passed = 0;                      // units of this slot so far
  int failed = 0;
  int aborted = 0;
};

struct StationSnapshot {
  std::uint64_t version = 0;        // bumped on every change
  std::string station;              // station name (host name unless given)
  std::string operator_name;        // who runs the station
  std::string status;               // one line: "starting", "running", "finished", ...
  bool ended = false;               // the station has finished; nothing changes any more
  bool answer_needs_token = false;  // the web view takes answers only with the token printed at start
  std::vector<SlotView> slots;      // in the order the station names them
};

// The shared snapshot. Thread-safe: writers call update(), any number of
// readers call snapshot() or wait_newer().
class LiveState {
 public:
  // Applies `change` under the lock and bumps the version.
  void update(const std::function<void(StationSnapshot&)>& change);
  // The same for slot `slot` (an index into slots; nothing when out of range).
  void update_slot(std::size_t slot, const std::function<void(SlotView&)>& change);
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
