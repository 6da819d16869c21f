#include "vboard/board_processes.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "common/deadline.h"
#include "vboard/board.h"

namespace vboard {
namespace {

using namespace std::chrono_literals;

ftmd::UniqueFd pidfd_of(pid_t pid) {
  return ftmd::UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

// Waits until the process behind `pidfd` has ended; false at the deadline.
bool wait_gone(const ftmd::UniqueFd& pidfd, const ftmd::Deadline& deadline) {
  pollfd p{pidfd.get(), POLLIN, 0};
  for (;;) {
    int ready = ::poll(&p, 1, deadline.poll_ms());
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0;
  }
}

}  // namespace

BoardProcesses::BoardProcesses(const InitPlan& plan, const FdHandler& on_fd) {
  try {
    boot(plan, on_fd);
  } catch (...) {
    shut_down();
    throw;
  }
}

void BoardProcesses::boot(const InitPlan& plan, const FdHandler& on_fd) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
    throw BoardError(std::string("vboard: socketpair: ") + std::strerror(errno));
  ctl_.reset(pair[0]);
  ftmd::UniqueFd theirs(pair[1]);
  if (!wake_.valid()) throw BoardError("vboard: no eventfd for the board's control thread");

  pid_t pid = ::fork();
  if (pid < 0) throw BoardError(std::string("vboard: fork: ") + std::strerror(errno));
  if (pid == 0) run_namespace_child(plan, theirs.get());
  child_pid_ = pid;
  theirs.reset();

  const ftmd::Deadline deadline(20s);
  for (bool ready = false; !ready;) {
    pollfd p{ctl_.get(), POLLIN, 0};
    if (::poll(&p, 1, deadline.poll_ms()) <= 0)
      throw BoardError("vboard: the board did not come up within 20 s");
    InitMessage m;
    if (!recv_init_msg(ctl_.get(), m)) throw BoardError("vboard: the board died while booting");
    switch (m.header.type) {
      case InitMsg::kNamespaces:
        // Root in the board is root on the host: the board needs it for its
        // mounts, and its files stay the host's root's.
        for (const char* map : {"uid_map", "gid_map"}) {
          std::string path = "/proc/" + std::to_string(child_pid_) + "/" + map;
          std::ofstream out(path);
          out << "0 0 4294967295\n";
          out.flush();
          if (!out) throw BoardError("vboard: cannot write " + path);
        }
        send({InitMsg::kMapped});
        break;
      case InitMsg::kInitPid:
        init_pid_ = m.header.a;
        init_pidfd_ = pidfd_of(init_pid_);
        break;
      case InitMsg::kFuseFd:
      case InitMsg::kPcNetFd:
      case InitMsg::kUeventFd:
        if (m.fds.empty()) throw BoardError("vboard: a descriptor from the board did not arrive");
        on_fd(m.header.type, std::move(m.fds[0]));
        break;
      case InitMsg::kFailed:
        throw BoardError("vboard: " + m.payload);
      case InitMsg::kReady:
        ready = true;
        break;
      default:
        break;
    }
  }
  {
    std::lock_guard lock(mutex_);
    alive_ = true;
  }
  control_thread_ = std::jthread([this](const std::stop_token& st) { control_loop(st); });
}

BoardProcesses::~BoardProcesses() { shut_down(); }

void BoardProcesses::shut_down() noexcept {
  // Killing the board's pid 1 kills every process in the board; the mounts
  // and interfaces go with its namespaces. The namespace child reaps pid 1
  // and then exits by itself; it is killed only if it does not (pid 1 would
  // otherwise be left to the host's init).
  if (init_pid_ > 0) ::kill(init_pid_, SIGKILL);
  if (child_pid_ > 0) {
    if (init_pid_ <= 0) ::kill(child_pid_, SIGKILL);
    ftmd::UniqueFd pidfd = pidfd_of(child_pid_);
    if (!pidfd || !wait_gone(pidfd, ftmd::Deadline(10s))) ::kill(child_pid_, SIGKILL);
    vboard::wait_exit(child_pid_);
    child_pid_ = -1;
  }
  // pid 1 ends only after every other board process; its namespaces go then.
  if (init_pidfd_) wait_gone(init_pidfd_, ftmd::Deadline(10s));
  init_pid_ = -1;
  init_pidfd_.reset();
  if (control_thread_.joinable()) {
    control_thread_.request_stop();
    wake_.signal();
    control_thread_.join();
  }
}

bool BoardProcesses::send(InitHeader header, std::string_view payload, std::span<const int> fds) {
  std::lock_guard lock(send_mutex_);
  return send_init_msg(ctl_.get(), header, payload, fds);
}

void BoardProcesses::control_loop(const std::stop_token& stop) {
  while (!stop.stop_requested()) {
    pollfd p[2] = {{ctl_.get(), POLLIN, 0}, {wake_.fd(), POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) continue;
    if (p[1].revents) break;
    InitMessage m;
    bool ok = recv_init_msg(ctl_.get(), m);
    std::lock_guard lock(mutex_);
    if (!ok) {
      // The board is gone: so is everything that ran in it.
      alive_ = false;
      for (auto& [token, pending] : pending_)
        if (!pending.status) pending.status = 128 + SIGKILL;
      changed_.notify_all();
      break;
    }
    if (m.header.type == InitMsg::kStarted) pending_[m.header.a].pid = m.header.b;
    if (m.header.type == InitMsg::kExited) pending_[m.header.a].status = m.header.b;
    changed_.notify_all();
  }
}

int BoardProcesses::new_token() {
  std::lock_guard lock(mutex_);
  pending_[++last_token_] = {};
  return last_token_;
}

int BoardProcesses::start(const std::vector<std::string>& argv, std::span<const int, 3> fds) {
  std::string payload;
  for (const auto& a : argv) payload.append(a).push_back('\0');
  if (!payload.empty()) payload.pop_back();
  const int token = new_token();
  if (argv.empty() || !send({InitMsg::kExec, token}, payload, fds)) {
    std::lock_guard lock(mutex_);
    pending_[token].status = 127;
  }
  return token;
}

RunResult BoardProcesses::run(const std::vector<std::string>& argv, std::chrono::milliseconds within,
                              const std::string& input) {
  RunResult result;
  Pipe out = Pipe::make(), in = Pipe::make();
  if (!out.read || !in.read) return result;
  const ftmd::Deadline deadline(within);
  const int fds[3] = {in.read.get(), out.write.get(), out.write.get()};
  const int token = start(argv, fds);
  in.read.reset();
  out.write.reset();
  result.output = feed_and_collect(std::move(in.write), out.read, input, deadline);
  std::unique_lock lock(mutex_);
  if (changed_.wait_until(lock, deadline.when(), [&] { return pending_[token].status.has_value(); })) {
    result.status = *pending_[token].status;
    pending_.erase(token);
    return result;
  }
  lock.unlock();
  signal(token, SIGKILL);
  return result;
}

void BoardProcesses::signal(int token, int sig) { send({InitMsg::kSignal, token, sig}); }

std::optional<int> BoardProcesses::wait_exit(int token, std::chrono::milliseconds within) const {
  std::unique_lock lock(mutex_);
  std::optional<int> status;
  changed_.wait_for(lock, within, [&] {
    auto it = pending_.find(token);
    if (it != pending_.end()) status = it->second.status;
    return status.has_value();
  });
  return status;
}

bool BoardProcesses::running(int token) const {
  std::lock_guard lock(mutex_);
  auto it = pending_.find(token);
  return alive_ && it != pending_.end() && !it->second.status;
}

void BoardProcesses::start_daemon() {
  int old;
  {
    std::lock_guard lock(mutex_);
    old = daemon_token_;
  }
  if (old != 0 && running(old)) {
    signal(old, SIGKILL);
    wait_exit(old, 10s);
  }
  const int token = new_token();
  {
    std::lock_guard lock(mutex_);
    daemon_token_ = token;
  }
  send({InitMsg::kStartDaemon, token});
}

void BoardProcesses::kill_daemon(int sig) {
  int token;
  {
    std::lock_guard lock(mutex_);
    token = daemon_token_;
  }
  if (token != 0) signal(token, sig);
}

std::optional<int> BoardProcesses::wait_daemon_exit(std::chrono::milliseconds within) const {
  int token;
  {
    std::lock_guard lock(mutex_);
    token = daemon_token_;
  }
  return wait_exit(token, within);
}

bool BoardProcesses::daemon_running() const {
  int token;
  {
    std::lock_guard lock(mutex_);
    token = daemon_token_;
  }
  return running(token);
}

}  // namespace vboard
