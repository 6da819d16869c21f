#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace ftmd::station {

// The person at the station. The runner shows a step's prompt through this
// before it sends the step's command.
class Operator {
 public:
  virtual ~Operator() = default;
  // Tells the operator `text` (and the hook `action`, "" for none); when
  // `confirm`, returns only once the operator says the action is done.
  virtual void prompt(const std::string& action, const std::string& text, bool confirm) = 0;
};

// How long an operator hook may take before it is killed.
inline constexpr std::chrono::milliseconds kHookTimeout{30'000};

// The terminal at the station: prints the prompt, runs the operator hook
// (`hook ACTION PROMPT-TEXT`, no shell, stdin /dev/null, output to the
// station's own) and waits for it, then for a confirm reads one line from
// `in_fd` (Enter; end of input also goes on) unless `yes`.
class TerminalOperator : public Operator {
 public:
  // `interrupted` (may be null) ends a wait for Enter.
  TerminalOperator(std::string hook, bool yes, std::FILE* out, int in_fd,
                   const std::atomic<bool>* interrupted = nullptr)
      : hook_(std::move(hook)), yes_(yes), out_(out), in_fd_(in_fd), interrupted_(interrupted) {}
  void prompt(const std::string& action, const std::string& text, bool confirm) override;

 private:
  std::string hook_;
  bool yes_;
  std::FILE* out_;
  int in_fd_;
  const std::atomic<bool>* interrupted_;
};

// Runs `program` with `args` (argv[1..]), stdin /dev/null, and waits at most
// `timeout`; a child still running then is killed. Always reaped. Returns
// "" on exit status 0, else what happened ("exit status 3", "killed after
// 30 s", "cannot run: No such file or directory").
std::string run_hook(const std::string& program, const std::vector<std::string>& args,
                     std::chrono::milliseconds timeout);

}  // namespace ftmd::station
