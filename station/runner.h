#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

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
// How often the running step's elapsed time is refreshed.
inline constexpr std::chrono::milliseconds kTickInterval{100};
// A step shows a progress line on the terminal once it has run this long.
inline constexpr std::chrono::milliseconds kProgressAfter{500};

struct RunnerConfig {
  std::string station;         // the station's name, for records
  std::string port;            // the port as the operator named it, for records
  bool progress_line = false;  // a "\r" progress line on `out` (a terminal)
  std::FILE* out = stdout;     // prompts, failures and the unit summary
};

// What the runner needs from outside besides the link; each has a working
// default except `op`.
struct RunnerServices {
  Operator* op = nullptr;
  // After a reboot step: the device's port again, once it is back (within
  // the time given), or nothing and why.
  std::function<std::unique_ptr<Transport>(std::chrono::milliseconds within, std::string* error)> reconnect;
  // The activation download.
  std::function<pc::HttpFetch(const pc::HttpUrl&, std::chrono::milliseconds)> http_get = pc::http_get;
  // Set (from a signal handler) when the operator interrupts the run: the
  // step under way ends, the rest of the unit is skipped and recorded.
  const std::atomic<bool>* interrupted = nullptr;
};

// Runs a plan on units, one at a time, and writes what it does into the
// live state (the only writer). Not thread-safe; one run_unit at a time.
class Runner {
 public:
  Runner(const Plan& plan, RunnerConfig config, RunnerServices services, LiveState& state)
      : plan_(plan), config_(std::move(config)), services_(std::move(services)), state_(state) {}

  // Runs every step of the plan on one (checked) unit over `link`, which a
  // reboot step replaces (null afterwards if the device did not come back).
  // Prints the unit's one-line summary and returns its record. `count` 0:
  // the run's length is open.
  UnitRecord run_unit(const Unit& unit, int index, int count, std::unique_ptr<Transport>& link);

  // The summary line of a finished unit, as printed.
  static std::string summary_line(const UnitRecord& record);

 private:
  struct Outcome {
    bool passed = false;
    bool transport = false;
    std::string message;
  };
  bool interrupted() const { return services_.interrupted && services_.interrupted->load(); }
  StepRecord run_step(std::size_t i, const PlanStep& step, const Values& values,
                      std::unique_ptr<Transport>& link, bool& transport_failed);
  Outcome attempt_send(const PlanStep& step, const StepRecord& record, Transport& link,
                       AttemptRecord& attempt);
  Outcome attempt_handover(const PlanStep& step, Transport& link, AttemptRecord& attempt);
  Outcome reconnect(const PlanStep& step, std::unique_ptr<Transport>& link, AttemptRecord& attempt);
  ExchangeRecord exchange(Transport& link, const std::string& command, std::chrono::milliseconds timeout);
  void set_step(std::size_t i, const std::function<void(StepView&)>& change);

  const Plan& plan_;
  RunnerConfig config_;
  RunnerServices services_;
  LiveState& state_;
};

// Why a reply is not the expected one, or "" when it is: `expected` is the
// exact text, `pattern` the regular expression (values already escaped).
std::string check_reply(const std::string& reply, const std::optional<std::string>& expected,
                        const std::optional<std::string>& pattern);

}  // namespace ftmd::station
