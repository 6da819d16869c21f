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

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vboard/launcher.h"

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
  if (n < 0) return false;
  // Descriptors first: whatever else is wrong, none of them may leak.
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t i = 0; i < count; ++i) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
      out.fds.emplace_back(fd);
    }
  }
  if (n < static_cast<ssize_t>(sizeof(InitHeader))) return false;
  std::memcpy(&out.header, buf, sizeof(InitHeader));
  out.payload.assign(buf + sizeof(InitHeader), static_cast<std::size_t>(n) - sizeof(InitHeader));
  return true;
}

namespace {

// The child runs in a copy of a possibly multi-threaded test process: it
// keeps to system calls and the strings the plan already holds.

[[noreturn]] void fail(int ctl, const std::string& what, int err) {
  send_init_msg(ctl, {InitMsg::kFailed}, what + ": " + std::strerror(err));
  _exit(1);
}

[[noreturn]] void fail(int ctl, const char* what) {
  send_init_msg(ctl, {InitMsg::kFailed}, what);
  _exit(1);
}

void send_fd(int ctl, InitMsg type, const ftmd::UniqueFd& fd) {
  const int raw = fd.get();
  if (!send_init_msg(ctl, {type}, {}, std::span<const int>(&raw, 1))) fail(ctl, "send a descriptor", errno);
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
      fail(ctl, "bind mount " + b.source + " on " + b.target, errno);
    if (b.read_only &&
        ::mount(nullptr, b.target.c_str(), nullptr,
                MS_BIND | MS_REMOUNT | MS_RDONLY | locked_flags(b.target.c_str()), nullptr) != 0)
      fail(ctl, "read-only remount of " + b.target, errno);
  }
}

// Runs the host's `ip -batch FILE` ("-": stdin from `in`); true when it succeeded.
bool run_ip_batch(const InitPlan& plan, const std::string& batch, int in = -1) {
  pid_t pid = launch({.argv = {"ip", "-batch", batch}, .program = plan.ip_binary, .in = in});
  return pid > 0 && wait_exit(pid) == 0;
}

// The test PC's end of the network: a namespace of its own, held by a
// process that does nothing else, with the interfaces' veth peers moved into
// it (the board's /sys/class/net then shows only its own interfaces) and
// configured by the PC's batch file. Its namespace descriptor goes to the
// test process, which runs PC-side programs in it.
void set_up_pc_network(int ctl, const InitPlan& plan) {
  if (plan.pc_links.empty()) return;
  Pipe up = Pipe::make(), go = Pipe::make();
  if (!up.read || !go.read) fail(ctl, "pipe", errno);
  pid_t pc = ::fork();
  if (pc < 0) fail(ctl, "fork the PC's network holder", errno);
  if (pc == 0) {
    char c = ::unshare(CLONE_NEWNET) == 0 ? 'y' : 'n';
    if (c == 'y')
      send_fd(ctl, InitMsg::kPcNetFd, ftmd::UniqueFd(::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC)));
    [[maybe_unused]] ssize_t w = ::write(up.write.get(), &c, 1);
    if (c != 'y' || ::read(go.read.get(), &c, 1) != 1) _exit(1);
    c = run_ip_batch(plan, plan.pc_batch) ? 'y' : 'n';
    w = ::write(up.write.get(), &c, 1);
    ::close_range(0, ~0U, 0);
    for (;;) ::pause();
  }
  char c = 'n';
  if (::read(up.read.get(), &c, 1) != 1 || c != 'y') fail(ctl, "the PC's network namespace", EPERM);
  // The peers move into the holder's namespace, named by its pid. (The
  // holder must not hold the batch's write end: ip reads to its end.)
  Pipe batch = Pipe::make();
  if (!batch.read) fail(ctl, "pipe", errno);
  pid_t ip = launch({.argv = {"ip", "-batch", "-"}, .program = plan.ip_binary, .in = batch.read.get()});
  batch.read.reset();
  for (const auto& link : plan.pc_links) {
    std::string line = "link set " + link + " netns " + std::to_string(pc) + "\n";
    [[maybe_unused]] ssize_t n = ::write(batch.write.get(), line.data(), line.size());
  }
  batch.write.reset();
  const bool moved = ip > 0 && wait_exit(ip) == 0;
  [[maybe_unused]] ssize_t w = ::write(go.write.get(), "y", 1);
  if (!moved || ::read(up.read.get(), &c, 1) != 1 || c != 'y')
    fail(ctl, "setting up the test PC's end of the network failed");
}

void set_up_root(int ctl, const InitPlan& plan) {
  // Nothing mounted here may reach the host.
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) fail(ctl, "make / private", errno);
  bind_all(ctl, plan.binds);

  ftmd::UniqueFd fuse(::open("/dev/fuse", O_RDWR | O_CLOEXEC));
  if (!fuse) fail(ctl, "open /dev/fuse", errno);
  const std::string options = "fd=" + std::to_string(fuse.get()) + ",rootmode=40000,user_id=0,group_id=0";
  if (::mount("vboard", plan.fuse_mountpoint.c_str(), "fuse.vboard", MS_NOSUID | MS_NODEV, options.c_str()) !=
      0)
    fail(ctl, "mount the hardware tree (fuse)", errno);
  // The test process serves the tree from here on; nothing below may touch
  // it before this message is out.
  send_fd(ctl, InitMsg::kFuseFd, fuse);
  fuse.reset();

  // The interfaces, with the host's ip(8) before the chroot.
  if (!run_ip_batch(plan, plan.net_batch))
    fail(ctl, "setting up the board's interfaces with ip -batch failed");
  set_up_pc_network(ctl, plan);
  if (::mount("sysfs", plan.net_sysfs.c_str(), "sysfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
    fail(ctl, "mount sysfs", errno);
  bind_all(ctl, plan.late_binds);

  ftmd::UniqueFd uevent(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT));
  if (!uevent) fail(ctl, "uevent socket", errno);
  sockaddr_nl addr{};
  addr.nl_family = AF_NETLINK;
  if (::bind(uevent.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
    fail(ctl, "bind uevent socket", errno);
  send_fd(ctl, InitMsg::kUeventFd, uevent);

  if (::chroot(plan.root.c_str()) != 0 || ::chdir("/") != 0) fail(ctl, "chroot", errno);
  if (::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
    fail(ctl, "mount /proc", errno);
  ::sethostname(plan.hostname.data(), plan.hostname.size());
  ::clearenv();
  for (const auto& e : plan.env) ::putenv(const_cast<char*>(e.c_str()));
}

// How pid 1 starts the daemon: as a service manager does, in a session of
// its own. A daemon for another machine runs under qemu-user, with argv[0]
// kept "ftmd".
Launch daemon_launch(const InitPlan& plan) {
  if (plan.daemon_emulator.empty())
    return {.argv = {"ftmd"}, .program = plan.daemon_path, .new_session = true};
  return {
      .argv = {"ftmd", "-0", "ftmd", plan.daemon_path}, .program = plan.daemon_emulator, .new_session = true};
}

// A board process pid 1 started for the test process, by its token.
struct Child {
  pid_t pid = 0;
  int token = 0;
};

// pid 1 of the board: starts the daemon and commands on request, reaps every
// process (orphans land here) and reports the ones it started. When the test
// process goes away (end of file on the control socket) it exits, and the
// kernel kills everything else in the board.
[[noreturn]] void serve(int ctl, const InitPlan& plan) {
  sigset_t chld;
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  ftmd::UniqueFd sfd(::signalfd(-1, &chld, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!sfd) fail(ctl, "signalfd", errno);
  const Launch daemon = daemon_launch(plan);
  send_init_msg(ctl, {InitMsg::kReady});

  std::array<Child, 64> children{};
  // Tells the test process whether the child for `token` started (and tracks it).
  auto report_start = [&](pid_t pid, int token) {
    if (pid <= 0) {
      send_init_msg(ctl, {InitMsg::kExited, token, 127});
      return;
    }
    auto free = std::find_if(children.begin(), children.end(), [](const Child& c) { return c.pid == 0; });
    if (free != children.end()) *free = {pid, token};
    send_init_msg(ctl, {InitMsg::kStarted, token, pid});
  };

  for (;;) {
    pollfd fds[2] = {{ctl, POLLIN, 0}, {sfd.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      _exit(1);
    }
    if (fds[1].revents & POLLIN) {
      signalfd_siginfo info;
      while (::read(sfd.get(), &info, sizeof(info)) > 0) {
      }
      int status = 0;
      for (pid_t pid; (pid = ::waitpid(-1, &status, WNOHANG)) > 0;) {
        for (auto& c : children)
          if (c.pid == pid) {
            send_init_msg(ctl, {InitMsg::kExited, c.token, exit_code(status)});
            c = {};
          }
      }
    }
    if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    InitMessage m;
    if (!recv_init_msg(ctl, m)) _exit(0);
    auto fd = [&](std::size_t i) { return i < m.fds.size() ? m.fds[i].get() : -1; };
    switch (m.header.type) {
      case InitMsg::kStartDaemon: {
        ftmd::UniqueFd in(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        ftmd::UniqueFd out(
            ::open(plan.daemon_output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        Launch start = daemon;
        start.in = in.get();
        start.out = start.err = out.get();
        report_start(in && out ? launch(start) : -1, m.header.a);
        break;
      }
      case InitMsg::kExec: {
        Launch command{.in = fd(0), .out = fd(1), .err = fd(2)};
        for (std::size_t start = 0; start < m.payload.size();) {
          std::size_t end = std::min(m.payload.find('\0', start), m.payload.size());
          command.argv.emplace_back(m.payload.substr(start, end - start));
          start = end + 1;
        }
        report_start(launch(command), m.header.a);
        break;
      }
      case InitMsg::kSignal:
        for (auto& c : children)
          if (c.pid != 0 && c.token == m.header.a) ::kill(c.pid, m.header.b);
        break;
      default:
        break;
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

  // pid 1 takes SIGCHLD through a signalfd; the programs it launches start
  // with no signal blocked.
  sigset_t chld;
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  ::sigprocmask(SIG_SETMASK, &chld, nullptr);

  pid_t init = ::fork();
  if (init < 0) fail(ctl, "fork the board's init", errno);
  if (init == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    set_up_root(ctl, plan);
    serve(ctl, plan);
  }
  send_init_msg(ctl, {InitMsg::kInitPid, init});
  ::close(ctl);
  wait_exit(init);
  _exit(0);
}

}  // namespace vboard
