#include "vboard/launcher.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

extern char** environ;

namespace vboard {
namespace {

// The caller's environment with `extra` ("NAME=value") set on top.
std::vector<std::string> environment_with(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    std::string_view entry(*e);
    bool replaced = false;
    for (const auto& x : extra) {
      auto name = x.substr(0, x.find('=') + 1);
      replaced = replaced || entry.starts_with(name);
    }
    if (!replaced) env.emplace_back(entry);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  out.reserve(texts.size() + 1);
  for (auto& t : texts) out.push_back(t.data());
  out.push_back(nullptr);
  return out;
}

// Says why the child gives up and exits; write(2) only, nothing allocated.
[[noreturn]] void child_exit(int code, const char* what, const char* why) {
  char line[512];
  int n = std::snprintf(line, sizeof(line), "vboard: %s: %s\n", what, why);
  if (n > 0) [[maybe_unused]]
    ssize_t w = ::write(2, line, std::min(static_cast<std::size_t>(n), sizeof(line) - 1));
  _exit(code);
}

}  // namespace

pid_t launch(const Launch& what) {
  if (what.argv.empty()) {
    errno = EINVAL;
    return -1;
  }
  std::vector<std::string> args = what.argv;
  std::vector<char*> argv = pointers(args);
  std::vector<std::string> env_texts;
  std::vector<char*> envp;
  if (!what.env.empty()) {
    env_texts = environment_with(what.env);
    envp = pointers(env_texts);
  }
  const char* program = what.program.empty() ? argv[0] : what.program.c_str();
  const std::string cannot_run = std::string("cannot run ") + program;

  pid_t pid = ::fork();
  if (pid != 0) return pid;

  if (what.prepare) {
    ftmd::Status prepared = what.prepare();
    if (!prepared) child_exit(126, cannot_run.c_str(), prepared.message().c_str());
  }
  if (what.netns >= 0 && ::setns(what.netns, CLONE_NEWNET) != 0)
    child_exit(126, "cannot enter the test PC's network", std::strerror(errno));
  if (what.new_session) ::setsid();
  if (what.in >= 0) ::dup2(what.in, 0);
  if (what.out >= 0) ::dup2(what.out, 1);
  if (what.err >= 0) ::dup2(what.err, 2);
  ::close_range(3, ~0U, 0);
  for (int sig = 1; sig < NSIG; ++sig) ::signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  char** env = envp.empty() ? environ : envp.data();
  if (what.program.empty())
    ::execvpe(program, argv.data(), env);
  else
    ::execve(program, argv.data(), env);
  child_exit(127, cannot_run.c_str(), std::strerror(errno));
}

int exit_code(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return 255;
}

int wait_exit(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return 255;
  }
  return exit_code(status);
}

Pipe Pipe::make() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {};
  return {ftmd::UniqueFd(fds[0]), ftmd::UniqueFd(fds[1])};
}

std::string feed_and_collect(ftmd::UniqueFd in, const ftmd::UniqueFd& out, const std::string& input,
                             const ftmd::Deadline& deadline) {
  if (!input.empty()) [[maybe_unused]]
    ssize_t n = ::write(in.get(), input.data(), input.size());
  in.reset();
  std::string output;
  char buf[4096];
  for (;;) {
    pollfd p{out.get(), POLLIN, 0};
    int ready = ::poll(&p, 1, deadline.poll_ms());
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    ssize_t n = ::read(out.get(), buf, sizeof(buf));
    if (n <= 0) break;
    output.append(buf, static_cast<std::size_t>(n));
  }
  return output;
}

RunResult run_collecting(Launch what, std::chrono::milliseconds within, const std::string& input) {
  RunResult result;
  Pipe out = Pipe::make(), in = Pipe::make();
  if (!out.read || !in.read) return result;
  what.in = in.read.get();
  what.out = what.err = out.write.get();
  const ftmd::Deadline deadline(within);
  pid_t pid = launch(what);
  if (pid < 0) return result;
  in.read.reset();
  out.write.reset();
  result.output = feed_and_collect(std::move(in.write), out.read, input, deadline);
  // The output may close before the program ends: wait for its end, up to
  // the deadline.
  ftmd::UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  pollfd p{pidfd.get(), POLLIN, 0};
  bool late = !pidfd || ::poll(&p, 1, deadline.poll_ms()) <= 0;
  if (late) ::kill(pid, SIGKILL);
  int status = wait_exit(pid);
  result.status = late ? -1 : status;
  return result;
}

}  // namespace vboard
