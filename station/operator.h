#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "common/event_fd.h"
#include "console.h"
#include "live_state.h"
#include "operator_desk.h"

namespace ftmd::station {

// The person at the station, as one slot's runner sees them.
class Operator {
 public:
  virtual ~Operator() = default;
  // Shows `text` (a step's prompt) and runs the operator hook with `action`
  // ("" for none); returns once the hook is done.
  virtual void tell(const std::string& action, const std::string& text) = 0;
  // Asks `question` and waits for the answer; nothing when the question was
  // withdrawn (the station is stopping).
  virtual std::optional<Answer> ask(const Question& question) = 0;
};

// How long an operator hook may take before it is killed.
inline constexpr std::chrono::milliseconds kHookTimeout{30'000};

// What an operator hook's exit status says to a question: 0 yes (pass), 1
// no (fail), 2 nothing (the hook only showed it: the operator answers).
inline constexpr int kHookYes = 0;
inline constexpr int kHookNo = 1;
inline constexpr int kHookNoAnswer = 2;

struct HookCall {
  std::vector<std::string> args;  // argv[1..]
  std::vector<std::string> env;   // "NAME=value", added to the station's environment
  bool capture = false;           // its standard output into `output` rather than the station's
  // Once either is readable, the hook is killed (-1: none): the question
  // closed, or the station is quitting.
  int cancel_fd = -1;
  int stop_fd = -1;
  bool capture_stderr = false;  // its standard error into `output` too (with capture)
};
struct HookResult {
  int exit_status = -1;  // when it exited
  std::string output;    // captured standard output (at most 4 KiB)
  // "" when it exited; else what happened: "killed after 30 s", "stopped:
  // the question was answered", "killed by signal 9", "cannot run: ...".
  std::string problem;
  bool exited(int status) const { return problem.empty() && exit_status == status; }
  // "" on exit status 0, else what happened ("exit status 3", ...).
  std::string failure() const;
};

// Runs `program` with `call.args`, stdin /dev/null, only the standard
// descriptors, in a process group of its own, and waits at most `timeout`
// (or until `call.cancel_fd` or `call.stop_fd` is readable); a hook still running then is
// killed with its group. Always reaped.
HookResult run_hook(const std::string& program, const HookCall& call, std::chrono::milliseconds timeout);

// Counts a hook for as long as it lives, so a quitting station can wait
// until every hook it killed is reaped.
class HookCounted {
 public:
  explicit HookCounted(std::atomic<int>* count) : count_(count) {
    if (count_) ++*count_;
  }
  ~HookCounted() {
    if (count_) --*count_;
  }
  HookCounted(const HookCounted&) = delete;
  HookCounted& operator=(const HookCounted&) = delete;

 private:
  std::atomic<int>* count_;
};

// What every slot's operator shares: the hook, who the operator is, and a
// switch that stops every running hook (the station is quitting).
struct OperatorSetup {
  std::string hook;           // "" none
  bool yes = false;           // confirm questions are answered yes at once (--yes)
  std::string operator_name;  // who answers at the terminal and through the hook
  std::string station;        // for the hook's environment
  const EventFd* stop_hooks = nullptr;
  std::atomic<int>* hooks_running = nullptr;  // counts hooks between start and reaping
};

// One slot's operator at a real station: prompts and questions go to the
// console (prefixed with the slot's name when the station has several), the
// live state (the web view) and the operator hook; questions wait on the
// desk for the first answer from any channel, the hook's exit status
// included (kHookYes, kHookNo; for a scan its first output line with exit
// status 0).
class SlotOperator : public Operator {
 public:
  struct Slot {
    std::size_t index = 0;  // in the live state
    std::string name;
    std::string port;    // as named, for the hook's environment
    std::string prefix;  // "" or "[a] ", before each console line
  };
  SlotOperator(const OperatorSetup& setup, Slot slot, OperatorDesk& desk, Console& console, LiveState& state)
      : setup_(setup), slot_(std::move(slot)), desk_(desk), console_(console), state_(state) {}

  void tell(const std::string& action, const std::string& text) override;
  std::optional<Answer> ask(const Question& question) override;

 private:
  std::vector<std::string> hook_env(const char* kind, const Question* question) const;
  void say(const std::string& text) { console_.line(slot_.prefix + text); }

  const OperatorSetup& setup_;
  Slot slot_;
  OperatorDesk& desk_;
  Console& console_;
  LiveState& state_;
};

// The channel name recorded for confirms that --yes answered.
inline constexpr char kChannelYesOption[] = "yes-option";

}  // namespace ftmd::station
