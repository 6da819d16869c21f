#include "operator.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <thread>

#include "common/deadline.h"
#include "common/unique_fd.h"
#include "pc/text.h"

extern char** environ;

namespace ftmd::station {
namespace {

constexpr std::size_t kMaxHookOutput = 4096;

std::string seconds_text(std::chrono::milliseconds ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms.count()) / 1000.0);
  return text;
}

}  // namespace

std::string HookResult::failure() const {
  if (!problem.empty()) return problem;
  return exit_status == 0 ? std::string() : "exit status " + std::to_string(exit_status);
}

HookResult run_hook(const std::string& program, const HookCall& call, std::chrono::milliseconds timeout) {
  HookResult result;
  // Everything the child needs is ready before fork: after it only
  // async-signal-safe calls run (other threads may hold locks).
  std::vector<std::string> strings{program};
  strings.insert(strings.end(), call.args.begin(), call.args.end());
  std::vector<char*> argv;
  argv.reserve(strings.size() + 1);
  for (auto& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_strings = call.env;
  std::vector<char*> envp;
  envp.reserve(env_strings.size() + 1);
  for (auto& s : env_strings) envp.push_back(s.data());
  for (char** e = environ; e && *e; ++e) {
    const char* eq = std::strchr(*e, '=');
    const std::size_t name_length = eq ? static_cast<std::size_t>(eq - *e) + 1 : std::strlen(*e);
    bool replaced = false;
    for (const auto& s : env_strings) replaced |= s.compare(0, name_length, *e, name_length) == 0;
    if (!replaced) envp.push_back(*e);
  }
  envp.push_back(nullptr);

  int report[2], output[2] = {-1, -1};
  if (::pipe2(report, O_CLOEXEC) != 0) {
    result.problem = std::string("cannot run: ") + std::strerror(errno);
    return result;
  }
  UniqueFd report_read(report[0]), report_write(report[1]);
  if (call.capture && ::pipe2(output, O_CLOEXEC) != 0) {
    result.problem = std::string("cannot run: ") + std::strerror(errno);
    return result;
  }
  UniqueFd output_read(output[0]), output_write(output[1]);
  // The station's end never blocks: what the hook wrote before it ended is
  // read out to the end after it has ended.
  if (output_read) ::fcntl(output_read.get(), F_SETFL, O_NONBLOCK);

  pid_t pid = ::fork();
  if (pid < 0) {
    result.problem = std::string("cannot run: ") + std::strerror(errno);
    return result;
  }
  if (pid == 0) {
    // A group of its own, so that a hook killed at its deadline takes the
    // programs it started along.
    ::setpgid(0, 0);
    int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0) ::dup2(null, STDIN_FILENO);
    if (output_write) ::dup2(output_write.get(), STDOUT_FILENO);
    if (output_write && call.capture_stderr) ::dup2(output_write.get(), STDERR_FILENO);
    // Only stdin, stdout and stderr go to the hook: descriptors the station
    // or its libraries opened without O_CLOEXEC (the web view's accepted
    // connections) would otherwise stay open for as long as the hook runs.
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    ::execve(program.c_str(), argv.data(), envp.data());
    int err = errno;
    ssize_t ignored = ::write(report_write.get(), &err, sizeof err);
    (void)ignored;
    ::_exit(127);
  }
  ::setpgid(pid, pid);  // either side may get there first
  report_write.reset();
  output_write.reset();
  int exec_errno = 0;
  ssize_t got;
  do {
    got = ::read(report_read.get(), &exec_errno, sizeof exec_errno);
  } while (got < 0 && errno == EINTR);

  auto read_output = [&] {
    char buffer[512];
    ssize_t n = 0;
    while ((n = ::read(output_read.get(), buffer, sizeof buffer)) > 0) {
      if (result.output.size() < kMaxHookOutput)
        result.output.append(buffer, std::min<std::size_t>(static_cast<std::size_t>(n),
                                                           kMaxHookOutput - result.output.size()));
    }
    if (n == 0) output_read.reset();
  };
  const Deadline deadline(timeout);
  UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  const int watch_errno = pidfd ? 0 : errno;
  bool timed_out = false, cancelled = false;
  if (!pidfd) {
    // A hook that cannot be watched against its deadline does not run on.
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
  } else {
    bool done = false;
    while (!done) {
      std::vector<pollfd> fds{{pidfd.get(), POLLIN, 0}};
      if (output_read) fds.push_back({output_read.get(), POLLIN, 0});
      const std::size_t cancel_at = fds.size();
      for (int fd : {call.cancel_fd, call.stop_fd})
        if (fd >= 0) fds.push_back({fd, POLLIN, 0});
      int ready = ::poll(fds.data(), fds.size(), deadline.poll_ms());
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) {
        timed_out = true;
        break;
      }
      for (std::size_t i = cancel_at; i < fds.size(); ++i) cancelled |= (fds[i].revents & POLLIN) != 0;
      if (cancelled) break;
      if (output_read && (fds[1].revents & (POLLIN | POLLHUP))) read_output();
      done = fds[0].revents & POLLIN;
    }
    if (done && output_read) read_output();
    if (timed_out || cancelled) {
      ::kill(-pid, SIGKILL);
      ::kill(pid, SIGKILL);
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (got == static_cast<ssize_t>(sizeof exec_errno)) {
    result.problem = std::string("cannot run: ") + std::strerror(exec_errno);
  } else if (!pidfd) {
    result.problem = std::string("cannot watch it, so it was stopped: ") + std::strerror(watch_errno);
  } else if (cancelled) {
    result.problem = "stopped";
  } else if (timed_out) {
    result.problem = "killed after " + seconds_text(timeout);
    if (result.problem.ends_with(".0 s")) result.problem.erase(result.problem.size() - 4, 2);
  } else if (WIFEXITED(status)) {
    result.exit_status = WEXITSTATUS(status);
  } else {
    result.problem = std::string("killed by signal ") + std::to_string(WTERMSIG(status));
  }
  return result;
}

std::vector<std::string> SlotOperator::hook_env(const char* kind, const Question* question) const {
  std::vector<std::string> env{"FTMSTATION_STATION=" + setup_.station, "FTMSTATION_SLOT=" + slot_.name,
                               "FTMSTATION_PORT=" + slot_.port, std::string("FTMSTATION_QUESTION=") + kind};
  if (question && question->kind == QuestionKind::kScan)
    env.push_back("FTMSTATION_PATTERN=" + question->pattern);
  return env;
}

void SlotOperator::tell(const std::string& action, const std::string& text) {
  say("  >> " + text);
  if (setup_.hook.empty()) return;
  const HookCounted running(setup_.hooks_running);
  HookResult result = run_hook(setup_.hook,
                               {{action, text},
                                hook_env("prompt", nullptr),
                                false,
                                -1,
                                setup_.stop_hooks ? setup_.stop_hooks->fd() : -1,
                                false},
                               kHookTimeout);
  if (std::string why = result.failure(); !why.empty())
    say("  operator hook " + setup_.hook + " " + action + ": " + why);
}

std::optional<Answer> SlotOperator::ask(const Question& question) {
  const auto kind = question_kind_name(question.kind);
  if (question.kind == QuestionKind::kConfirm && setup_.yes) {
    tell(question.action, question.text);
    Answer yes;
    yes.value = "yes";
    yes.who = setup_.operator_name;
    yes.channel = kChannelYesOption;
    yes.asked_at = yes.answered_at = std::chrono::system_clock::now();
    return yes;
  }
  // The hook runs beside the other channels; once the question closes, a
  // hook still running is stopped.
  EventFd closed;
  std::optional<std::jthread> hook;
  auto opened = [&](const OpenQuestion& open) {
    state_.update_slot(slot_.index, [&](SlotView& s) {
      s.question = {open.id, kind, question.text, question.pattern, question.step};
    });
    say("  ?? " + question.text);
    if (setup_.hook.empty()) return;
    hook.emplace([this, &question, &closed, id = open.id] {
      const HookCounted running(setup_.hooks_running);
      HookCall call{{question.action, question.text},
                    hook_env(question_kind_name(question.kind), &question),
                    question.kind == QuestionKind::kScan,
                    closed.fd(),
                    setup_.stop_hooks ? setup_.stop_hooks->fd() : -1,
                    false};
      HookResult result = run_hook(setup_.hook, call, kHookTimeout);
      std::optional<std::string> value;
      if (question.kind == QuestionKind::kScan && result.exited(kHookYes)) {
        value = result.output.substr(0, result.output.find('\n'));
      } else if (question.kind != QuestionKind::kScan &&
                 (result.exited(kHookYes) || result.exited(kHookNo))) {
        value = result.exit_status == kHookYes ? "yes" : "no";
      } else if (!result.exited(kHookNoAnswer) && !result.exited(kHookNo) && result.problem != "stopped") {
        say("  operator hook " + setup_.hook + " " + question.action + ": " + result.failure() +
            " (no answer)");
      }
      if (!value) return;
      AnswerResult taken = desk_.answer(slot_.name, id, *value, setup_.operator_name, kChannelHook);
      if (!taken && taken.refusal.find("no open question") == std::string::npos)
        say("  operator hook's answer not taken: " + taken.refusal);
    });
  };
  std::optional<Answer> answer = desk_.ask(slot_.name, question, opened);
  closed.signal();
  hook.reset();  // joins: the hook is stopped and reaped
  state_.update_slot(slot_.index, [](SlotView& s) { s.question = {}; });
  if (!answer) {
    say("     not answered: the station is stopping");
    return answer;
  }
  std::string value =
      question.kind == QuestionKind::kScan ? "\"" + pc::escape_reply(answer->value) + "\"" : answer->value;
  say("     " + value + " (" + answer->who + ", " + answer->channel + ", " + seconds_text(answer->took) +
      ")");
  return answer;
}

}  // namespace ftmd::station
