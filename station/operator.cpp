#include "operator.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/deadline.h"
#include "common/unique_fd.h"

namespace ftmd::station {

std::string run_hook(const std::string& program, const std::vector<std::string>& args,
                     std::chrono::milliseconds timeout) {
  // Everything the child needs is ready before fork: after it only
  // async-signal-safe calls run (other threads may hold locks).
  std::vector<std::string> strings{program};
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(strings.size() + 1);
  for (auto& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return std::string("cannot run: ") + std::strerror(errno);
  UniqueFd report_read(report[0]), report_write(report[1]);

  pid_t pid = ::fork();
  if (pid < 0) return std::string("cannot run: ") + std::strerror(errno);
  if (pid == 0) {
    // A group of its own, so that a hook killed at its deadline takes the
    // programs it started along.
    ::setpgid(0, 0);
    int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0) ::dup2(null, STDIN_FILENO);
    // Only stdin, stdout and stderr go to the hook: descriptors the station
    // or its libraries opened without O_CLOEXEC (the web view's accepted
    // connections) would otherwise stay open for as long as the hook runs.
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    ::execv(program.c_str(), argv.data());
    int err = errno;
    ssize_t ignored = ::write(report_write.get(), &err, sizeof err);
    (void)ignored;
    ::_exit(127);
  }
  ::setpgid(pid, pid);  // either side may get there first
  report_write.reset();
  int exec_errno = 0;
  ssize_t got;
  do {
    got = ::read(report_read.get(), &exec_errno, sizeof exec_errno);
  } while (got < 0 && errno == EINTR);

  const Deadline deadline(timeout);
  UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  bool killed = false;
  if (pidfd) {
    pollfd p{pidfd.get(), POLLIN, 0};
    int ready;
    do {
      ready = ::poll(&p, 1, deadline.poll_ms());
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) {
      ::kill(-pid, SIGKILL);
      ::kill(pid, SIGKILL);
      killed = true;
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (got == static_cast<ssize_t>(sizeof exec_errno))
    return std::string("cannot run: ") + std::strerror(exec_errno);
  if (killed) {
    char after[48];
    std::snprintf(after, sizeof after, "killed after %g s", static_cast<double>(timeout.count()) / 1000.0);
    return after;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {};
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  return std::string("killed by signal ") + std::to_string(WTERMSIG(status));
}

void TerminalOperator::prompt(const std::string& action, const std::string& text, bool confirm) {
  std::fprintf(out_, "  >> %s\n", text.c_str());
  std::fflush(out_);
  if (!hook_.empty()) {
    std::string result = run_hook(hook_, {action, text}, kHookTimeout);
    if (!result.empty()) {
      std::fprintf(out_, "  operator hook %s %s: %s\n", hook_.c_str(), action.c_str(), result.c_str());
      std::fflush(out_);
    }
  }
  if (!confirm || yes_ || (interrupted_ && interrupted_->load())) return;
  // Keys typed before the prompt do not count as its confirmation.
  if (::isatty(in_fd_)) ::tcflush(in_fd_, TCIFLUSH);
  std::fprintf(out_, "     press Enter when done ");
  std::fflush(out_);
  char c = 0;
  for (;;) {
    ssize_t n = ::read(in_fd_, &c, 1);
    if (n < 0 && errno == EINTR && !(interrupted_ && interrupted_->load())) continue;
    if (n <= 0 || c == '\n') break;
  }
  if (!::isatty(in_fd_)) std::fprintf(out_, "\n");  // a terminal echoed the Enter
  std::fflush(out_);
}

}  // namespace ftmd::station
