#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "console.h"
#include "fixtures.h"
#include "live_state.h"
#include "operator.h"
#include "pc/handover.h"
#include "plan.h"
#include "records.h"
#include "transport.h"
#include "units.h"

namespace ftmd::station {

// The command sent after a reconnect to see that the device serves again.
inline constexpr char kReconnectProbe[] = "at+ftm,ftmver=?";
// How often the running step's clock is refreshed.
inline constexpr std::chrono::milliseconds kTickInterval{100};
// A step shows a progress line on the terminal once it has run this long.
inline constexpr std::chrono::milliseconds kProgressAfter{500};

struct RunnerConfig {
  std::string station;    // the station's name, for records
  std::string port;       // the port as the operator named it, for records
  std::string slot_name;  // the slot, for records and fixtures
  std::size_t slot = 0;   // the slot's index in the live state
  std::string prefix;     // before each console line: "" or "[a] "
};

// What the runner needs from outside besides the link; each has a working
// default except `op` and `console`.
struct RunnerServices {
  Operator* op = nullptr;
  Console* console = nullptr;
  // The station's shared fixtures; null: steps' fixtures are not shared.
  FixtureBench* fixtures = nullptr;
  // After a reboot step: the device's port again, once it is back (within
  // the time given), or nothing and why.
  std::function<std::unique_ptr<Transport>(std::chrono::milliseconds within, std::string* error)> reconnect;
  // The activation download.
  std::function<pc::HttpFetch(const pc::HttpUrl&, std::chrono::milliseconds)> http_get = pc::http_get;
  // Set (from a signal handler) when the operator stops the station: the
  // step under way ends, the rest of the unit is skipped and recorded.
  const std::atomic<bool>* interrupted = nullptr;
};

// Runs a plan on one slot's units, one at a time, and writes what it does
// into the slot's entry of the live state. One run_unit at a time;
// abort_record() may be called from any thread meanwhile.
class Runner {
 public:
  Runner(const Plan& plan, RunnerConfig config, RunnerServices services, LiveState& state)
      : plan_(plan), config_(std::move(config)), services_(std::move(services)), state_(state) {}

  // Runs every step of the plan on one (checked) unit over `link`, which a
  // reboot step replaces (null afterwards if the device did not come back).
  // Prints the unit's one-line summary and returns its record. `count` 0:
  // the run's length is open.
  UnitRecord run_unit(const Unit& unit, int index, int count, std::unique_ptr<Transport>& link);

  // For a station quitting at once: the unit under way as its record says
  // now, the step under way (with the request in flight, if any) and the
  // steps after it marked aborted with `why`. Nothing when no unit runs.
  std::optional<UnitRecord> abort_record(const std::string& why) const;

  // The summary line of a finished unit, as printed.
  static std::string summary_line(const UnitRecord& record);

 private:
  struct Outcome {
    bool passed = false;
    bool transport = false;
    std::string message;
    bool aborted = false;  // the station stopped while the step waited
  };
  bool interrupted() const { return services_.interrupted && services_.interrupted->load(); }
  void say(const std::string& text) const { services_.console->line(config_.prefix + text); }
  StepRecord run_step(std::size_t i, const PlanStep& step, Values& values, std::unique_ptr<Transport>& link,
                      bool& transport_failed);
  Outcome run_attempts(std::size_t i, const PlanStep& step, StepRecord& record,
                       std::unique_ptr<Transport>& link);
  Outcome ask(std::size_t i, const PlanStep& step, QuestionKind kind, const std::string& text,
              const std::string& pattern, StepRecord& record);
  bool take_fixture(std::size_t i, const PlanStep& step, StepRecord& record);
  void give_back_fixture();
  Outcome attempt_send(const PlanStep& step, StepRecord& record, Transport& link, AttemptRecord& attempt);
  Outcome attempt_handover(const PlanStep& step, Transport& link, AttemptRecord& attempt);
  Outcome reconnect(std::size_t i, const PlanStep& step, std::unique_ptr<Transport>& link,
                    AttemptRecord& attempt);
  ExchangeRecord exchange(Transport& link, const std::string& command, std::chrono::milliseconds timeout,
                          AttemptRecord& attempt);
  void set_step(std::size_t i, const std::function<void(StepView&)>& change);
  // The step's clock starts again at 0 against `limit_ms` (0: none); the
  // progress line shows `note` after it.
  void restart_clock(std::size_t i, std::int64_t limit_ms, std::string note);
  void tick(std::size_t i, const PlanStep& step);

  const Plan& plan_;
  RunnerConfig config_;
  RunnerServices services_;
  LiveState& state_;
  std::string held_fixture_;  // the fixture this slot holds between steps

  // The unit under way, for abort_record(): what the record says so far,
  // the step under way and its attempts so far, the request in flight.
  mutable std::mutex progress_mutex_;  // guards the four below
  std::optional<UnitRecord> progress_;
  std::optional<StepRecord> step_progress_;
  std::optional<AttemptRecord> attempt_progress_;
  std::optional<ExchangeRecord> in_flight_;

  // The clock of the step under way.
  mutable std::mutex clock_mutex_;  // guards the three below
  std::chrono::steady_clock::time_point clock_base_;
  std::int64_t clock_limit_ms_ = 0;
  std::string clock_note_;
};

// Why a reply is not the expected one, or "" when it is: `expected` is the
// exact text, `pattern` the regular expression (values already escaped).
std::string check_reply(const std::string& reply, const std::optional<std::string>& expected,
                        const std::optional<std::string>& pattern);

}  // namespace ftmd::station
