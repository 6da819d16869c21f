#include "vboard/board_init.h"

#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vboard {

bool send_init_msg(int sock, InitHeader header, std::string_view payload, std::span<const int> fds) {
  iovec iov[2] = {{&header, sizeof(header)}, {const_cast<char*>(payload.data()), payload.size()}};
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = payload.empty() ? 1 : 2;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)] = {};
  if (!fds.empty()) {
    if (fds.size() > 4) return false;
    msg.msg_control = control;
    msg.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
    cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
    cmsg->cmsg_level = SOL_SOCKET;
    cmsg->cmsg_type = SCM_RIGHTS;
    cmsg->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    std::memcpy(CMSG_DATA(cmsg), fds.data(), sizeof(int) * fds.size());
  }
  for (;;) {
    ssize_t n = ::sendmsg(sock, &msg, MSG_NOSIGNAL);
    if (n >= 0) return true;
    if (errno != EINTR) return false;
  }
}

bool recv_init_msg(int sock, InitMessage& out) {
  out = InitMessage{};
  char buf[8192];
  iovec iov{buf, sizeof(buf)};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
  msg.msg_control = control;
  msg.msg_controllen = sizeof(control);
  ssize_t n;
  do {
    n = ::recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
  } while (n < 0 && errno == EINTR);
  if (n < static_cast<ssize_t>(sizeof(InitHeader))) return false;
  std::memcpy(&out.header, buf, sizeof(InitHeader));
  out.payload.assign(buf + sizeof(InitHeader), static_cast<std::size_t>(n) - sizeof(InitHeader));
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t i = 0; i < count; ++i) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
      out.fds.push_back(fd);
    }
  }
  return true;
}

namespace {

// The child runs in a copy of a possibly multi-threaded test process: it
// keeps to system calls and the strings the plan already holds.

[[noreturn]] void fail(int ctl, const char* what, int err) {
  char line[512];
  std::snprintf(line, sizeof(line), "%s: %s", what, std::strerror(err));
  send_init_msg(ctl, {InitMsg::kFailed}, line);
  _exit(1);
}

[[noreturn]] void fail_path(int ctl, const char* what, const std::string& path, int err) {
  char line[768];
  std::snprintf(line, sizeof(line), "%s %s: %s", what, path.c_str(), std::strerror(err));
  send_init_msg(ctl, {InitMsg::kFailed}, line);
  _exit(1);
}

unsigned long locked_flags(const char* path) {
  struct statvfs st {};
  if (::statvfs(path, &st) != 0) return 0;
  unsigned long flags = 0;
  if (st.f_flag & ST_NOSUID) flags |= MS_NOSUID;
  if (st.f_flag & ST_NODEV) flags |= MS_NODEV;
  if (st.f_flag & ST_NOEXEC) flags |= MS_NOEXEC;
  if (st.f_flag & ST_NOATIME) flags |= MS_NOATIME;
  if (st.f_flag & ST_NODIRATIME) flags |= MS_NODIRATIME;
  if (st.f_flag & ST_RELATIME) flags |= MS_RELATIME;
  return flags;
}

void bind_all(int ctl, const std::vector<InitPlan::Bind>& binds) {
  for (const auto& b : binds) {
    if (::mount(b.source.c_str(), b.target.c_str(), nullptr, MS_BIND, nullptr) != 0)
      fail_path(ctl, "bind mount", b.source + " on " + b.target, errno);
    if (b.read_only &&
        ::mount(nullptr, b.target.c_str(), nullptr,
                MS_BIND | MS_REMOUNT | MS_RDONLY | locked_flags(b.target.c_str()), nullptr) != 0)
      fail_path(ctl, "read-only remount of", b.target, errno);
  }
}

void set_environment(const InitPlan& plan) {
  ::clearenv();
  for (const auto& e : plan.env) ::putenv(const_cast<char*>(e.c_str()));
}

// Runs `ip -batch file` and waits; true when it succeeded.
bool run_ip_batch(const InitPlan& plan, const std::string& batch) {
  pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    const char* argv[] = {plan.ip_binary.c_str(), "-batch", batch.c_str(), nullptr};
    ::execv(argv[0], const_cast<char* const*>(argv));
    _exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The test PC's end of the network: a namespace of its own, held by a
// process that does nothing else, with the interfaces' veth peers moved into
// it (the board's /sys/class/net then shows only its own interfaces) and
// configured by the PC's batch file. Its namespace descriptor goes to the
// test process, which runs PC-side programs in it.
void set_up_pc_network(int ctl, const InitPlan& plan) {
  if (plan.pc_links.empty()) return;
  int up[2], go[2];
  if (::pipe2(up, O_CLOEXEC) != 0 || ::pipe2(go, O_CLOEXEC) != 0) fail(ctl, "pipe", errno);
  pid_t pc = ::fork();
  if (pc < 0) fail(ctl, "fork the PC's network holder", errno);
  if (pc == 0) {
    char c = ::unshare(CLONE_NEWNET) == 0 ? 'y' : 'n';
    if (c == 'y') {
      int netns = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
      send_init_msg(ctl, {InitMsg::kPcNetFd}, {}, std::span<const int>(&netns, 1));
      ::close(netns);
    }
    [[maybe_unused]] ssize_t w = ::write(up[1], &c, 1);
    if (c != 'y' || ::read(go[0], &c, 1) != 1) _exit(1);
    c = run_ip_batch(plan, plan.pc_batch) ? 'y' : 'n';
    w = ::write(up[1], &c, 1);
    ::close_range(0, ~0U, 0);
    for (;;) ::pause();
  }
  char c = 'n';
  if (::read(up[0], &c, 1) != 1 || c != 'y') fail(ctl, "the PC's network namespace", EPERM);
  char pid_text[16];
  std::snprintf(pid_text, sizeof(pid_text), "%d", pc);
  int batch[2];
  if (::pipe2(batch, O_CLOEXEC) != 0) fail(ctl, "pipe", errno);
  pid_t ip = ::fork();
  if (ip == 0) {
    ::dup2(batch[0], 0);
    const char* argv[] = {plan.ip_binary.c_str(), "-batch", "-", nullptr};
    ::execv(argv[0], const_cast<char* const*>(argv));
    _exit(127);
  }
  ::close(batch[0]);
  for (const auto& link : plan.pc_links) {
    std::string line = "link set " + link + " netns " + pid_text + "\n";
    [[maybe_unused]] ssize_t n = ::write(batch[1], line.data(), line.size());
  }
  ::close(batch[1]);
  int status = 0;
  while (::waitpid(ip, &status, 0) < 0 && errno == EINTR) {
  }
  c = 'y';
  [[maybe_unused]] ssize_t w = ::write(go[1], &c, 1);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || ::read(up[0], &c, 1) != 1 || c != 'y') {
    send_init_msg(ctl, {InitMsg::kFailed}, "setting up the test PC's end of the network failed");
    _exit(1);
  }
  for (int fd : {up[0], up[1], go[0], go[1]}) ::close(fd);
}

void set_up_root(int ctl, const InitPlan& plan) {
  // Nothing mounted here may reach the host.
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) fail(ctl, "make / private", errno);
  bind_all(ctl, plan.binds);

  int fuse = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fuse < 0) fail(ctl, "open /dev/fuse", errno);
  char options[128];
  std::snprintf(options, sizeof(options), "fd=%d,rootmode=40000,user_id=0,group_id=0", fuse);
  if (::mount("vboard", plan.fuse_mountpoint.c_str(), "fuse.vboard", MS_NOSUID | MS_NODEV, options) != 0)
    fail(ctl, "mount the hardware tree (fuse)", errno);
  // The test process serves the tree from here on; nothing below may touch
  // it before this message is out.
  if (!send_init_msg(ctl, {InitMsg::kFuseFd}, {}, std::span<const int>(&fuse, 1)))
    fail(ctl, "send fuse fd", errno);
  ::close(fuse);

  // The interfaces, with the host's ip(8) before the chroot.
  if (!run_ip_batch(plan, plan.net_batch)) {
    send_init_msg(ctl, {InitMsg::kFailed}, "setting up the board's interfaces with ip -batch failed");
    _exit(1);
  }
  set_up_pc_network(ctl, plan);
  if (::mount("sysfs", plan.net_sysfs.c_str(), "sysfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
    fail(ctl, "mount sysfs", errno);
  bind_all(ctl, plan.late_binds);

  int uevent = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  if (uevent < 0) fail(ctl, "uevent socket", errno);
  sockaddr_nl addr{};
  addr.nl_family = AF_NETLINK;
  if (::bind(uevent, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
    fail(ctl, "bind uevent socket", errno);
  send_init_msg(ctl, {InitMsg::kUeventFd}, {}, std::span<const int>(&uevent, 1));
  ::close(uevent);

  if (::chroot(plan.root.c_str()) != 0 || ::chdir("/") != 0) fail(ctl, "chroot", errno);
  if (::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
    fail(ctl, "mount /proc", errno);
  ::sethostname(plan.hostname.data(), plan.hostname.size());
  set_environment(plan);
}

// Puts the child's standard descriptors in place, closes every other one,
// clears the signal mask (as a service manager does) and executes argv. Only
// returns on failure.
void exec_child(const sigset_t& mask, int in, int out, int err, char* const* argv) {
  if (in >= 0) ::dup2(in, 0);
  if (out >= 0) ::dup2(out, 1);
  if (err >= 0) ::dup2(err, 2);
  ::close_range(3, ~0U, 0);
  for (int sig = 1; sig < NSIG; ++sig) ::signal(sig, SIG_DFL);
  ::sigprocmask(SIG_SETMASK, &mask, nullptr);
  ::execvp(argv[0], argv);
}

int wait_status_code(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 255;
}

struct Child {
  pid_t pid = 0;
  int token = 0;
};

// pid 1 of the board: starts the daemon and commands on request, reaps every
// process (orphans land here) and reports the ones it started. When the test
// process goes away (end of file on the control socket) it exits, and the
// kernel kills everything else in the board.
[[noreturn]] void serve(int ctl, const InitPlan& plan, const sigset_t& old_mask) {
  sigset_t chld;
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  int sfd = ::signalfd(-1, &chld, SFD_CLOEXEC | SFD_NONBLOCK);
  if (sfd < 0) fail(ctl, "signalfd", errno);
  send_init_msg(ctl, {InitMsg::kReady});

  std::array<Child, 64> children{};
  auto remember = [&](pid_t pid, int token) {
    for (auto& c : children)
      if (c.pid == 0) {
        c = {pid, token};
        return;
      }
  };
  // Tells the board whether the child for `token` started (and tracks it).
  auto report_start = [&](pid_t pid, int token) {
    if (pid > 0) {
      remember(pid, token);
      send_init_msg(ctl, {InitMsg::kStarted, token, pid});
    } else {
      send_init_msg(ctl, {InitMsg::kExited, token, 127});
    }
  };

  for (;;) {
    pollfd fds[2] = {{ctl, POLLIN, 0}, {sfd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      _exit(1);
    }
    if (fds[1].revents & POLLIN) {
      signalfd_siginfo info;
      while (::read(sfd, &info, sizeof(info)) > 0) {
      }
      int status = 0;
      pid_t pid;
      while ((pid = ::waitpid(-1, &status, WNOHANG)) > 0) {
        for (auto& c : children)
          if (c.pid == pid) {
            send_init_msg(ctl, {InitMsg::kExited, c.token, wait_status_code(status)});
            c = {};
          }
      }
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      InitMessage m;
      if (!recv_init_msg(ctl, m)) _exit(0);
      switch (m.header.type) {
        case InitMsg::kStartDaemon: {
          pid_t pid = ::fork();
          if (pid == 0) {
            ::setsid();  // as a service manager starts it
            int in = ::open("/dev/null", O_RDONLY);
            int out = ::open(plan.daemon_output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            char* argv[] = {const_cast<char*>("ftmd"), nullptr};
            // A daemon for another machine: qemu-user, with argv[0] kept "ftmd".
            char* emulated_argv[] = {const_cast<char*>("ftmd"), const_cast<char*>("-0"),
                                     const_cast<char*>("ftmd"), const_cast<char*>(plan.daemon_path.c_str()),
                                     nullptr};
            if (in >= 0 && out >= 0) {
              if (in >= 0) ::dup2(in, 0);
              ::dup2(out, 1);
              ::dup2(out, 2);
              ::close_range(3, ~0U, 0);
              for (int sig = 1; sig < NSIG; ++sig) ::signal(sig, SIG_DFL);
              ::sigprocmask(SIG_SETMASK, &old_mask, nullptr);
              if (plan.daemon_emulator.empty())
                ::execv(plan.daemon_path.c_str(), argv);
              else
                ::execv(plan.daemon_emulator.c_str(), emulated_argv);
            }
            _exit(127);
          }
          report_start(pid, m.header.a);
          break;
        }
        case InitMsg::kExec: {
          std::vector<std::string> args;
          for (std::size_t start = 0; start < m.payload.size();) {
            std::size_t end = m.payload.find('\0', start);
            if (end == std::string::npos) end = m.payload.size();
            args.emplace_back(m.payload.substr(start, end - start));
            start = end + 1;
          }
          std::vector<char*> argv;
          for (auto& a : args) argv.push_back(a.data());
          argv.push_back(nullptr);
          pid_t pid = args.empty() ? -1 : ::fork();
          if (pid == 0) {
            auto fd = [&](std::size_t i) { return i < m.fds.size() ? m.fds[i] : -1; };
            exec_child(old_mask, fd(0), fd(1), fd(2), argv.data());
            _exit(127);
          }
          report_start(pid, m.header.a);
          break;
        }
        case InitMsg::kSignal:
          for (auto& c : children)
            if (c.pid != 0 && c.token == m.header.a) ::kill(c.pid, m.header.b);
          break;
        default:
          break;
      }
      for (int fd : m.fds) ::close(fd);
    }
  }
}

}  // namespace

[[noreturn]] void run_namespace_child(const InitPlan& plan, int ctl) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  // Out of the terminal's process group: a Ctrl-C meant for a client must
  // not take the board down behind the test's back.
  ::setsid();
  // Descriptors of the test process (other boards' ptys and hardware trees
  // among them) must not live on in this board.
  if (ctl != 3) {
    ::dup2(ctl, 3);
    ctl = 3;
  }
  ::close_range(4, ~0U, 0);
  if (::unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWPID | CLONE_NEWIPC | CLONE_NEWUTS) != 0)
    fail(ctl, "cannot create the board's namespaces (unshare)", errno);
  send_init_msg(ctl, {InitMsg::kNamespaces});
  InitMessage m;
  if (!recv_init_msg(ctl, m) || m.header.type != InitMsg::kMapped) _exit(1);

  // Board processes start with no signal blocked, whatever the test
  // process blocks; pid 1 takes SIGCHLD through a signalfd.
  sigset_t chld, old_mask;
  sigemptyset(&old_mask);
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  ::sigprocmask(SIG_SETMASK, &chld, nullptr);

  pid_t init = ::fork();
  if (init < 0) fail(ctl, "fork the board's init", errno);
  if (init == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    set_up_root(ctl, plan);
    serve(ctl, plan, old_mask);
  }
  send_init_msg(ctl, {InitMsg::kInitPid, init});
  ::close(ctl);
  int status = 0;
  while (::waitpid(init, &status, 0) < 0 && errno == EINTR) {
  }
  _exit(0);
}

}  // namespace vboard
