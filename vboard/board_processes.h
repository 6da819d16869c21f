#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "common/event_fd.h"
#include "common/unique_fd.h"
#include "vboard/board_init.h"
#include "vboard/launcher.h"

namespace vboard {

// The board's processes as the test process sees them: the host side of the
// init protocol (board_init.h). The constructor boots the board (the
// namespace child, the id maps, the board's pid 1 setting up the root); from
// then on pid 1 starts, signals and reaps programs inside the board on
// request, and this object tracks each by a token until it has ended.
//
// The destructor kills pid 1 (and so every board process), reaps the
// namespace child and waits until pid 1 is gone. Thread-safe.
class BoardProcesses {
 public:
  // Called during the boot for each descriptor the board sends (kFuseFd,
  // kUeventFd, kPcNetFd), on the constructing thread.
  using FdHandler = std::function<void(InitMsg type, ftmd::UniqueFd fd)>;

  // Boots; throws BoardError with one line saying why the board did not come up.
  BoardProcesses(const InitPlan& plan, const FdHandler& on_fd);
  BoardProcesses(const BoardProcesses&) = delete;
  BoardProcesses& operator=(const BoardProcesses&) = delete;
  ~BoardProcesses();

  // The board's pid 1 as the host sees it.
  pid_t init_pid() const { return init_pid_; }

  // ---- Programs inside the board (PATH search, as root, in /) -------------
  // Starts argv with the given stdin, stdout and stderr (borrowed); returns
  // its token. A program that cannot start ends at once with status 127.
  int start(const std::vector<std::string>& argv, std::span<const int, 3> fds);
  // Runs argv with `input` on stdin, collecting stdout and stderr until it
  // ends or `within` passes (then it is killed: status -1).
  RunResult run(const std::vector<std::string>& argv, std::chrono::milliseconds within,
                const std::string& input = {});
  void signal(int token, int sig);
  // The exit status of the program (128 + signal), once it has ended;
  // nothing when it still runs after `within`.
  std::optional<int> wait_exit(int token, std::chrono::milliseconds within) const;
  bool running(int token) const;

  // ---- The daemon -----------------------------------------------------------
  // Starts ftmd (again, killing a running instance first).
  void start_daemon();
  void kill_daemon(int sig);
  std::optional<int> wait_daemon_exit(std::chrono::milliseconds within) const;
  bool daemon_running() const;

 private:
  struct Pending {
    pid_t pid = 0;
    std::optional<int> status;
  };

  void boot(const InitPlan& plan, const FdHandler& on_fd);
  void shut_down() noexcept;
  void control_loop(const std::stop_token& stop);
  int new_token();
  bool send(InitHeader header, std::string_view payload = {}, std::span<const int> fds = {});

  pid_t child_pid_ = -1;  // the namespace child (host pid namespace)
  pid_t init_pid_ = -1;   // the board's pid 1 (host pid)
  ftmd::UniqueFd init_pidfd_;
  ftmd::UniqueFd ctl_;
  std::mutex send_mutex_;  // one message at a time on ctl_

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  // All guarded by mutex_:
  bool alive_ = false;
  int last_token_ = 0;
  int daemon_token_ = 0;
  std::map<int, Pending> pending_;

  ftmd::EventFd wake_;
  std::jthread control_thread_;  // last: stops first
};

}  // namespace vboard
