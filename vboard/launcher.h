#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "common/deadline.h"
#include "common/status.h"
#include "common/unique_fd.h"

namespace vboard {

// How to start one program, on the host or inside the board: what it runs,
// where its standard streams go, which network it joins.
struct Launch {
  std::vector<std::string> argv;  // argv[0] is searched on PATH unless `program` is given
  std::string program;            // the file to execute; empty: argv[0]
  // Borrowed descriptors for stdin, stdout and stderr; -1 keeps the caller's.
  int in = -1, out = -1, err = -1;
  int netns = -1;                // a network namespace to enter first; -1: stay
  bool new_session = false;      // setsid(), as a service manager starts a daemon
  std::vector<std::string> env;  // "NAME=value" set on top of the caller's environment
  // Runs in the child just before it enters the network and executes (so it
  // may allocate: keep it for programs the test PC runs). A failure is
  // written to stderr and the child exits with 126.
  std::function<ftmd::Status()> prepare;
};

// Forks and executes `what`: the child gets the streams, every other
// descriptor closed, default signal dispositions and an empty signal mask
// (whatever the caller blocks). Returns the child's pid, or -1 when fork
// failed (errno set). The caller reaps it (wait_exit). A child that cannot
// execute exits with 127.
//
// Apart from `prepare`, the child only makes system calls on what was built
// before the fork, so it is safe from a process with other threads.
pid_t launch(const Launch& what);

// Waits for `pid` and returns its exit status, 128 + the signal when it was
// killed.
int wait_exit(pid_t pid);
// The same for a status from waitpid().
int exit_code(int wait_status);

// A program's output, collected while it runs.
struct RunResult {
  int status = -1;     // exit status, 128 + signal, or -1 when the deadline passed first
  std::string output;  // stdout and stderr together
};

// Launches `what` with `input` on its stdin and a pipe on stdout and stderr,
// collects the output until the program closes it, and reaps the program;
// it is killed when `within` passes first. Its in/out/err are replaced.
RunResult run_collecting(Launch what, std::chrono::milliseconds within, const std::string& input = {});

// Writes `input` into `in` and closes it, then reads `out` until the writer
// closes it or `deadline` passes. For programs whose streams are pipes.
std::string feed_and_collect(ftmd::UniqueFd in, const ftmd::UniqueFd& out, const std::string& input,
                             const ftmd::Deadline& deadline);

// A close-on-exec pipe; both ends invalid when the kernel gave none.
struct Pipe {
  ftmd::UniqueFd read, write;
  static Pipe make();
};

}  // namespace vboard
