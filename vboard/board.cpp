#include "vboard/board.h"
#include "vboard/emulation.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "vboard/board_init.h"
#include "vboard/fuse_server.h"

namespace vboard {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Board paths of the board's own state.
constexpr char kStateBoardDir[] = "/run/vboard";
constexpr char kRebootRecord[] = "reboot.log";  // in kStateBoardDir, written by the stand-in
constexpr char kEmulatorBoardDir[] = "/run/vboard/emulator";
constexpr char kHwBoardDir[] = "/run/vboard/hw";
constexpr char kNetSysBoardDir[] = "/run/vboard/netsys";
constexpr char kDaemonBoardPath[] = "/usr/local/sbin/ftmd";
constexpr char kDaemonOutput[] = "/run/vboard/ftmd.out";
constexpr char kEnvImage[] = "/run/vboard/uboot-env.bin";
constexpr char kOsReleaseTarget[] = "/run/vboard/os-release";
constexpr char kActivationDir[] = "/data/dante_data/activation/";
constexpr char kHostPort[] = "/dev/ttyGS0";
constexpr char kRpmsgPort[] = "/dev/ttyRPMSG30";
constexpr char kLogicPort[] = "/dev/ttymxc2";
constexpr char kKeyDevice[] = "/dev/input/by-path/platform-keys-event";
constexpr char kPath[] =
    "PATH=/usr/local/vboard/bin:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

// Host files the board's /etc gets a copy of (when the host has them).
constexpr const char* kEtcCopies[] = {"passwd",        "group",       "hosts",
                                      "nsswitch.conf", "ld.so.cache", "localtime"};
// Host device nodes bound into the board's /dev.
constexpr const char* kDevices[] = {"null", "zero", "full", "random", "urandom", "tty"};

std::string find_tool(const std::string& name) {
  for (const char* dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
    std::string p = std::string(dir) + "/" + name;
    if (::access(p.c_str(), X_OK) == 0) return p;
  }
  return {};
}

void write_text(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw BoardError("vboard: cannot write " + path);
}

void touch(const std::string& path) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::app);
}

ino_t ns_inode(pid_t pid, const char* ns) {
  struct stat st {};
  std::string p = "/proc/" + std::to_string(pid) + "/ns/" + ns;
  return ::stat(p.c_str(), &st) == 0 ? st.st_ino : 0;
}

int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// A child's stdout (out_r/out_w) and stdin (in_r/in_w) pipes, close-on-exec.
struct ChildPipes {
  ftmd::UniqueFd out_r, out_w, in_r, in_w;
};

std::optional<ChildPipes> make_child_pipes() {
  int out[2], in[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
  ChildPipes p{ftmd::UniqueFd(out[0]), ftmd::UniqueFd(out[1]), {}, {}};
  if (::pipe2(in, O_CLOEXEC) != 0) return std::nullopt;
  p.in_r.reset(in[0]);
  p.in_w.reset(in[1]);
  return p;
}

// Writes `input` to a child's stdin and closes it, then collects the child's
// output until it closes its end or the deadline passes.
std::string feed_and_collect(ftmd::UniqueFd in_w, const ftmd::UniqueFd& out_r, const std::string& input,
                             Clock::time_point deadline) {
  if (!input.empty()) [[maybe_unused]]
    ssize_t n = ::write(in_w.get(), input.data(), input.size());
  in_w.reset();
  std::string output;
  char buf[4096];
  for (;;) {
    pollfd p{out_r.get(), POLLIN, 0};
    if (::poll(&p, 1, remaining_ms(deadline)) <= 0) break;
    ssize_t n = ::read(out_r.get(), buf, sizeof(buf));
    if (n <= 0) break;
    output.append(buf, static_cast<std::size_t>(n));
  }
  return output;
}

}  // namespace

namespace {

// "pid starttime" of a process, from /proc/<pid>/stat; empty if it is gone.
std::string process_identity(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return {};
  // Fields count from after the command name's ')': 3 is the state, 22 the
  // start time. A zombie has ended.
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  std::string field, state;
  for (int i = 3; i <= 22 && rest >> field; ++i)
    if (i == 3) state = field;
  if (state == "Z" || state == "X") return {};
  return std::to_string(pid) + " " + field;
}

constexpr char kOwnerFile[] = "/owner";

// A board whose process was killed outright (SIGKILL) cannot remove its
// directory; its processes, mounts and interfaces are gone with it. The next
// board removes such directories: those whose owner no longer runs.
void remove_stale_state_dirs(const std::string& parent) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(parent, ec)) {
    if (!entry.path().filename().string().starts_with("vboard-")) continue;
    std::ifstream in(entry.path().string() + kOwnerFile);
    std::string pid, start;
    if (!(in >> pid >> start)) continue;
    if (process_identity(static_cast<pid_t>(std::atoi(pid.c_str()))) == pid + " " + start) continue;
    fs::remove_all(entry.path(), ec);
  }
}

}  // namespace

std::string Board::make_state_dir(std::string parent) {
  if (parent.empty()) parent = ::access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
  remove_stale_state_dirs(parent);
  std::string tmpl = parent + "/vboard-XXXXXX";
  if (::mkdtemp(tmpl.data()) == nullptr)
    throw BoardError("vboard: cannot make a board directory in " + parent + ": " + std::strerror(errno));
  std::ofstream(tmpl + kOwnerFile) << process_identity(::getpid()) << "\n";
  return tmpl;
}

Board::Board(BoardOptions options)
    : options_(std::move(options)),
      state_dir_(make_state_dir(options_.state_parent)),
      root_(state_dir_ + "/root"),
      gpio_(hw_),
      leds_(hw_),
      triggers_(hw_, gpio_),
      usb_host_(root_ + kHostPort),
      audio_mcu_(root_ + kRpmsgPort, gpio_),
      logic_mcu_(root_ + kLogicPort),
      uboot_env_(root_ + kEnvImage, kEnvImage),
      standins_([this](const std::string& p) { return host_path(p); }) {
  auto start = Clock::now();
  try {
    if (!options_.ftmd.empty()) options_.ftmd = fs::absolute(options_.ftmd).string();
    check_prerequisites();
    build_root();
    spawn();
  } catch (...) {
    teardown();
    throw;
  }
  setup_time_ = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
  reenumerate_ = options_.reboot_reenumerates;
  boot_time_ = options_.boot_time;
  reboot_watch_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  reboot_wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!reboot_watch_ || !reboot_wake_ ||
      ::inotify_add_watch(reboot_watch_.get(), host_path(kStateBoardDir).c_str(),
                          IN_CLOSE_WRITE | IN_MODIFY) < 0) {
    teardown();
    throw BoardError(std::string("vboard: cannot watch the board's reboot record: ") + std::strerror(errno));
  }
  reboot_thread_ = std::jthread([this](std::stop_token st) { reboot_loop(st); });
  if (options_.web_server)
    start_service("httpd", {"busybox", "httpd", "-f", "-p", "80", "-h", "/var/www/html"});
  if (options_.start_daemon) start_daemon();
}

Board::~Board() { teardown(); }

void Board::check_prerequisites() const {
  if (options_.ftmd.empty()) throw BoardError("vboard: no ftmd binary given");
  if (::access(options_.ftmd.c_str(), X_OK) != 0)
    throw BoardError("vboard: cannot find the ftmd binary " + options_.ftmd + ": " + std::strerror(errno));
  if (!fs::is_regular_file(options_.ftmd))
    throw BoardError("vboard: " + options_.ftmd + " is not a program file");
  // A daemon for another machine needs its qemu-user (throws when missing).
  (void)emulator_for(options_.ftmd);
  for (const char* tool : {"ip", "fw_printenv", "fw_setenv", "sh", "awk"})
    if (find_tool(tool).empty())
      throw BoardError(std::string("vboard: missing tool ") + tool + " (run tools/install-deps)");
  if (options_.web_server && find_tool("busybox").empty())
    throw BoardError("vboard: missing tool busybox, the web server (run tools/install-deps)");
  if (::access("/dev/fuse", R_OK | W_OK) != 0)
    throw BoardError(std::string("vboard: cannot use /dev/fuse: ") + std::strerror(errno));
}

std::string Board::host_path(std::string_view board_path) const {
  std::string p(board_path);
  if (p == "/usr/local" || p.starts_with("/usr/local/")) return state_dir_ + "/usrlocal" + p.substr(10);
  return root_ + p;
}

void Board::build_root() {
  // Directories of the board, and the mount points of what the board's pid 1
  // mounts or binds there.
  for (const char* dir : {"/usr", "/proc", "/sys", "/dev/pts", "/dev/shm", "/dev/input/by-path",
                          "/etc/systemd/network", "/tmp", "/root", "/var/lock", "/var/log", "/var/www/html",
                          "/data/dante_data/activation", kStateBoardDir, kHwBoardDir, kNetSysBoardDir})
    fs::create_directories(root_ + dir);
  fs::permissions(root_ + "/tmp", fs::perms::all | fs::perms::sticky_bit);
  for (const char* link : {"bin", "lib", "lib64", "sbin"})
    if (fs::exists(std::string("/usr/") + link))
      fs::create_symlink(std::string("usr/") + link, root_ + "/" + link);
  for (const char* dev : kDevices) touch(root_ + "/dev/" + dev);
  fs::create_symlink("/proc/self/fd", root_ + "/dev/fd");
  fs::create_symlink("/proc/self/fd/0", root_ + "/dev/stdin");
  fs::create_symlink("/proc/self/fd/1", root_ + "/dev/stdout");
  fs::create_symlink("/proc/self/fd/2", root_ + "/dev/stderr");
  fs::create_symlink(std::string(kHwBoardDir) + "/dev/triggerout", root_ + Triggers::kDevice);

  for (const char* f : kEtcCopies) {
    std::error_code ec;
    fs::copy_file(std::string("/etc/") + f, root_ + "/etc/" + f, ec);
  }
  // Debian reaches awk and others through /etc/alternatives (bound in).
  fs::create_directories(root_ + "/etc/alternatives");
  write_text(root_ + kOsReleaseTarget, options_.os_release);
  fs::create_symlink(std::string("..") + kOsReleaseTarget, root_ + "/etc/os-release");
  uboot_env_.set_redundant(options_.redundant_env);
  write_text(root_ + "/etc/fw_env.config", uboot_env_.config_line());
  uboot_env_.write(options_.boot_env);
  write_text(root_ + "/run/vboard/net.batch", Network::boot_batch(options_.interfaces));
  if (!options_.pc_address.empty())
    write_text(root_ + "/run/vboard/pc.batch", Network::pc_batch(options_.interfaces, options_.pc_address));
  for (const auto& [name, content] : options_.activation_files)
    write_text(root_ + kActivationDir + name, content);

  fs::create_directories(host_path("/usr/local/sbin"));
  touch(host_path(kDaemonBoardPath));
  standins_.install();
  standins_.set_container_status(options_.container_status);

  hw_.add_dir("/sys", true);
  hw_.add_dir("/sys/class/net", true);
  hw_.add_dir("/sys/devices/virtual/net", true);
  hw_.add_value("/sys/devices/soc0/soc_uid", options_.soc_uid, false);

  syslog_ = std::make_unique<SyslogCapture>(root_ + "/dev/log");
  if (options_.host_port) usb_host_.connect();
  if (options_.rpmsg_port) audio_mcu_.connect();
  if (options_.logic_port) logic_mcu_.connect();
  keypad_ = std::make_unique<Keypad>(root_ + kKeyDevice);
  if (!options_.key_device) keypad_->set_present(false);
}

void Board::spawn() {
  InitPlan plan;
  plan.root = root_;
  plan.binds.push_back({"/usr", root_ + "/usr", true});
  plan.binds.push_back({"/etc/alternatives", root_ + "/etc/alternatives", true});
  plan.binds.push_back({state_dir_ + "/usrlocal", root_ + "/usr/local", false});
  plan.binds.push_back({options_.ftmd, root_ + kDaemonBoardPath, true});
  for (const char* dev : kDevices)
    plan.binds.push_back({std::string("/dev/") + dev, root_ + "/dev/" + dev, false});
  plan.binds.push_back({"/dev/pts", root_ + "/dev/pts", false});
  plan.fuse_mountpoint = root_ + kHwBoardDir;
  plan.net_sysfs = root_ + kNetSysBoardDir;
  plan.late_binds.push_back({root_ + kHwBoardDir + "/sys", root_ + "/sys", false});
  plan.late_binds.push_back({root_ + kNetSysBoardDir + "/class/net", root_ + "/sys/class/net", false});
  plan.late_binds.push_back(
      {root_ + kNetSysBoardDir + "/devices/virtual/net", root_ + "/sys/devices/virtual/net", false});
  plan.ip_binary = find_tool("ip");
  plan.net_batch = root_ + "/run/vboard/net.batch";
  if (!options_.pc_address.empty()) {
    for (const auto& i : options_.interfaces) plan.pc_links.push_back(Network::peer_of(i.name));
    plan.pc_batch = root_ + "/run/vboard/pc.batch";
  }
  plan.daemon_path = kDaemonBoardPath;
  if (std::string emulator = emulator_for(options_.ftmd); !emulator.empty()) {
    // qemu-user started through a link named ftmd: the process is "ftmd" in
    // /proc/<pid>/comm, as the native daemon is, for tools and tests that
    // look for it by name.
    fs::create_directories(host_path(kEmulatorBoardDir));
    fs::create_symlink(emulator, host_path(std::string(kEmulatorBoardDir) + "/ftmd"));
    plan.daemon_emulator = std::string(kEmulatorBoardDir) + "/ftmd";
  }
  plan.daemon_output = kDaemonOutput;
  plan.hostname = "vboard";
  plan.env = {kPath, "HOME=/root", "LANG=C", "TERM=dumb"};
  // A daemon built with a sanitizer takes its options from the caller.
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"})
    if (const char* value = std::getenv(name)) plan.env.push_back(std::string(name) + "=" + value);

  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
    throw BoardError(std::string("vboard: socketpair: ") + std::strerror(errno));
  ctl_.reset(pair[0]);
  ftmd::UniqueFd theirs(pair[1]);
  ctl_wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));

  pid_t pid = ::fork();
  if (pid < 0) throw BoardError(std::string("vboard: fork: ") + std::strerror(errno));
  if (pid == 0) run_namespace_child(plan, theirs.get());
  child_pid_ = pid;
  theirs.reset();

  auto deadline = Clock::now() + 20s;
  for (bool ready = false; !ready;) {
    pollfd p{ctl_.get(), POLLIN, 0};
    if (::poll(&p, 1, remaining_ms(deadline)) <= 0)
      throw BoardError("vboard: the board did not come up within 20 s");
    InitMessage m;
    if (!recv_init_msg(ctl_.get(), m)) throw BoardError("vboard: the board died while booting");
    switch (m.header.type) {
      case InitMsg::kNamespaces: {
        for (const char* map : {"uid_map", "gid_map"}) {
          std::string path = "/proc/" + std::to_string(child_pid_) + "/" + map;
          std::ofstream out(path);
          out << "0 0 4294967295\n";
          out.flush();
          if (!out) throw BoardError("vboard: cannot write " + path);
        }
        send_init_msg(ctl_.get(), {InitMsg::kMapped});
        break;
      }
      case InitMsg::kInitPid:
        init_pid_ = m.header.a;
        init_pidfd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, init_pid_, 0)));
        break;
      case InitMsg::kFuseFd:
        if (m.fds.empty()) throw BoardError("vboard: no /dev/fuse descriptor from the board");
        fuse_ = std::make_unique<FuseServer>(hw_, ftmd::UniqueFd(m.fds[0]));
        m.fds.clear();
        break;
      case InitMsg::kPcNetFd:
        if (!m.fds.empty()) pc_netns_.reset(m.fds[0]);
        m.fds.clear();
        break;
      case InitMsg::kUeventFd:
        if (!m.fds.empty()) uevents_.attach(ftmd::UniqueFd(m.fds[0]));
        m.fds.clear();
        break;
      case InitMsg::kFailed:
        throw BoardError("vboard: " + m.payload);
      case InitMsg::kReady:
        ready = true;
        break;
      default:
        break;
    }
    for (int fd : m.fds) ::close(fd);
  }
  namespaces_ = {ns_inode(init_pid_, "user"), ns_inode(init_pid_, "mnt"), ns_inode(init_pid_, "net"),
                 ns_inode(init_pid_, "pid")};
  {
    std::lock_guard lock(mutex_);
    alive_ = true;
  }
  control_thread_ = std::jthread([this](std::stop_token st) { control_loop(st); });
  // The board's own sysfs is a mount inside the board: reach it through its
  // pid 1's root.
  network_ =
      std::make_unique<Network>([this](const std::vector<std::string>& argv) { return exec(argv).status; },
                                "/proc/" + std::to_string(init_pid_) + "/root" + kNetSysBoardDir);
}

void Board::control_loop(std::stop_token stop) {
  while (!stop.stop_requested()) {
    pollfd p[2] = {{ctl_.get(), POLLIN, 0}, {ctl_wake_.get(), POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) continue;
    if (p[1].revents) break;
    InitMessage m;
    bool ok = recv_init_msg(ctl_.get(), m);
    for (int fd : m.fds) ::close(fd);
    std::lock_guard lock(mutex_);
    if (!ok) {
      alive_ = false;
      for (auto& [token, pending] : pending_)
        if (!pending.status) pending.status = 137;
      changed_.notify_all();
      break;
    }
    if (m.header.type == InitMsg::kStarted) {
      pending_[m.header.a].pid = m.header.b;
    } else if (m.header.type == InitMsg::kExited) {
      pending_[m.header.a].status = m.header.b;
    }
    changed_.notify_all();
  }
}

// The stand-in `reboot` appends a line to its record; each new line is one
// reboot to carry out (when they re-enumerate).
void Board::reboot_loop(std::stop_token stop) {
  alignas(inotify_event) char buf[4096];
  while (!stop.stop_requested()) {
    pollfd p[2] = {{reboot_watch_.get(), POLLIN, 0}, {reboot_wake_.get(), POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) continue;
    if (p[1].revents || stop.stop_requested()) break;
    bool record_changed = false;
    for (ssize_t n; (n = ::read(reboot_watch_.get(), buf, sizeof(buf))) > 0;) {
      for (char* at = buf; at < buf + n;) {
        auto* event = reinterpret_cast<inotify_event*>(at);
        if (event->len > 0 && std::strcmp(event->name, kRebootRecord) == 0) record_changed = true;
        at += sizeof(inotify_event) + event->len;
      }
    }
    if (!record_changed) continue;
    const int seen = standins_.reboot_count();
    bool act = false;
    {
      std::lock_guard lock(mutex_);
      act = reenumerate_ && seen > reboots_seen_;
      reboots_seen_ = std::max(reboots_seen_, seen);
    }
    if (!act) continue;
    try {
      reboot(stop);
    } catch (const std::exception& e) {
      // A board that cannot come back is like a device that does not boot:
      // the test PC sees no port; say why on the tool's stderr.
      std::fprintf(stderr, "vboard: the reboot failed: %s\n", e.what());
    }
  }
}

// What the test PC sees of a reboot: ftmd stops, the device's USB port goes
// (its names first, as udev removes them), the board boots for a while, the
// port comes back as a new tty at the same path and ftmd starts again.
void Board::reboot(std::stop_token stop) {
  std::chrono::milliseconds boot_time;
  {
    std::lock_guard lock(mutex_);
    boot_time = boot_time_;
  }
  kill_daemon(SIGTERM);
  if (!wait_daemon_exit(3s)) {
    kill_daemon(SIGKILL);
    wait_daemon_exit(3s);
  }
  const std::string cable = usb_host_.cable_path();
  usb_host_.detach_cable();
  if (options_.host_port) usb_host_.unplug();
  // The Ethernet links drop while the board is down: the PC's side sees the
  // carrier go and forgets the board's MAC (its neighbour entry), so a unit
  // that comes back with another MAC is reached at once.
  for (const auto& i : options_.interfaces) network_->set_up(i.name, false);
  pollfd p{reboot_wake_.get(), POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(boot_time.count())) != 0 || stop.stop_requested()) return;
  for (const auto& i : options_.interfaces) network_->set_up(i.name, true);
  if (options_.host_port) usb_host_.connect();
  // The port is there before ftmd has opened its tty: what the PC sends
  // until then is lost, as on the device.
  usb_host_.set_accepting(false);
  if (!cable.empty()) usb_host_.attach_cable(cable);
  const std::size_t mark = syslog_->mark();
  start_daemon();
  for (auto deadline = Clock::now() + 30s; !stop.stop_requested() && Clock::now() < deadline;)
    if (wait_serving(100ms, mark)) break;
  usb_host_.set_accepting(true);
  std::lock_guard lock(mutex_);
  ++reboots_done_;
  changed_.notify_all();
}

void Board::stop_reboot_watch() {
  if (!reboot_thread_.joinable()) return;
  reboot_thread_.request_stop();
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(reboot_wake_.get(), &one, sizeof(one));
  reboot_thread_.join();
}

void Board::set_reboot_reenumerates(bool on, std::chrono::milliseconds boot_time) {
  std::lock_guard lock(mutex_);
  reenumerate_ = on;
  boot_time_ = boot_time;
  // Reboots recorded before are not carried out now.
  reboots_seen_ = std::max(reboots_seen_, standins_.reboot_count());
}

int Board::reboots_done() const {
  std::lock_guard lock(mutex_);
  return reboots_done_;
}

bool Board::wait_rebooted(int count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return reboots_done_ >= count; });
}

int Board::next_token() {
  std::lock_guard lock(mutex_);
  return ++last_token_;
}

void Board::start_daemon() {
  int old;
  {
    std::lock_guard lock(mutex_);
    old = daemon_token_;
  }
  if (old != 0 && daemon_running()) {
    kill_daemon(SIGKILL);
    wait_daemon_exit(10s);
  }
  int token = next_token();
  {
    std::lock_guard lock(mutex_);
    daemon_token_ = token;
    pending_[token] = {};
  }
  std::lock_guard send_lock(ctl_send_mutex_);
  send_init_msg(ctl_.get(), {InitMsg::kStartDaemon, token});
}

void Board::kill_daemon(int signal) {
  int token;
  {
    std::lock_guard lock(mutex_);
    token = daemon_token_;
  }
  if (token == 0) return;
  std::lock_guard send_lock(ctl_send_mutex_);
  send_init_msg(ctl_.get(), {InitMsg::kSignal, token, signal});
}

bool Board::wait_serving(std::chrono::milliseconds timeout, std::size_t since) const {
  return syslog_->wait_exact(kServingLine, 6, timeout, since).has_value();
}

std::optional<int> Board::wait_daemon_exit(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  std::optional<int> status;
  changed_.wait_for(lock, timeout, [&] {
    auto it = pending_.find(daemon_token_);
    if (it == pending_.end()) return false;
    status = it->second.status;
    return status.has_value();
  });
  return status;
}

bool Board::daemon_running() const {
  std::lock_guard lock(mutex_);
  auto it = pending_.find(daemon_token_);
  return alive_ && it != pending_.end() && !it->second.status;
}

std::string Board::daemon_output() const { return read_file(kDaemonOutput).value_or(""); }

Board::ExecResult Board::exec(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                              const std::string& input) {
  ExecResult result;
  if (argv.empty()) return result;
  auto pipes = make_child_pipes();
  if (!pipes) return result;
  auto& [out_r, out_w, in_r, in_w] = *pipes;
  std::string payload;
  for (const auto& a : argv) {
    payload += a;
    payload.push_back('\0');
  }
  payload.pop_back();
  int token = next_token();
  {
    std::lock_guard lock(mutex_);
    pending_[token] = {};
  }
  {
    int fds[3] = {in_r.get(), out_w.get(), out_w.get()};
    std::lock_guard send_lock(ctl_send_mutex_);
    if (!send_init_msg(ctl_.get(), {InitMsg::kExec, token}, payload, fds)) return result;
  }
  in_r.reset();
  out_w.reset();
  auto deadline = Clock::now() + timeout;
  result.output = feed_and_collect(std::move(in_w), out_r, input, deadline);
  std::unique_lock lock(mutex_);
  if (changed_.wait_until(lock, deadline, [&] { return pending_[token].status.has_value(); })) {
    result.status = *pending_[token].status;
    pending_.erase(token);
  } else {
    lock.unlock();
    std::lock_guard send_lock(ctl_send_mutex_);
    send_init_msg(ctl_.get(), {InitMsg::kSignal, token, SIGKILL});
  }
  return result;
}

int Board::start_service(const std::string& name, const std::vector<std::string>& argv) {
  if (argv.empty()) return 0;
  ftmd::UniqueFd log(::open(host_path("/run/vboard/" + name + ".log").c_str(),
                            O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  ftmd::UniqueFd null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  std::string payload;
  for (const auto& a : argv) payload += a + '\0';
  payload.pop_back();
  int token = next_token();
  {
    std::lock_guard lock(mutex_);
    pending_[token] = {};
  }
  int fds[3] = {null.get(), log.get(), log.get()};
  std::lock_guard send_lock(ctl_send_mutex_);
  send_init_msg(ctl_.get(), {InitMsg::kExec, token}, payload, fds);
  return token;
}

void Board::stop_service(int handle, int signal) {
  std::lock_guard send_lock(ctl_send_mutex_);
  send_init_msg(ctl_.get(), {InitMsg::kSignal, handle, signal});
}

Board::ExecResult Board::run_on_pc(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                                   const std::string& input) {
  ExecResult result;
  if (argv.empty()) return result;
  auto pipes = make_child_pipes();
  if (!pipes) return result;
  auto& [out_r, out_w, in_r, in_w] = *pipes;
  std::vector<std::string> args = argv;
  std::vector<char*> cargv;
  for (auto& a : args) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  int netns = pc_netns_.get();
  pid_t pid = ::fork();
  if (pid == 0) {
    if (netns >= 0 && ::setns(netns, CLONE_NEWNET) != 0) _exit(126);
    ::dup2(in_r.get(), 0);
    ::dup2(out_w.get(), 1);
    ::dup2(out_w.get(), 2);
    ::execvp(cargv[0], cargv.data());
    _exit(127);
  }
  if (pid < 0) return result;
  in_r.reset();
  out_w.reset();
  auto deadline = Clock::now() + timeout;
  result.output = feed_and_collect(std::move(in_w), out_r, input, deadline);
  ftmd::UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  pollfd p{pidfd.get(), POLLIN, 0};
  if (!pidfd || ::poll(&p, 1, remaining_ms(deadline)) <= 0) ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (Clock::now() >= deadline && WIFSIGNALED(status)) result.status = -1;
  return result;
}

std::optional<std::string> Board::read_file(std::string_view board_path) const {
  std::ifstream in(host_path(board_path), std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void Board::write_file(std::string_view board_path, const std::string& content) {
  write_text(host_path(board_path), content);
}

void Board::set_os_release(const std::string& content) { write_text(root_ + kOsReleaseTarget, content); }

void Board::set_activation_file(const std::string& name, const std::optional<std::string>& content) {
  std::string path = root_ + kActivationDir + name;
  if (content) {
    write_text(path, *content);
  } else {
    std::error_code ec;
    fs::remove(path, ec);
  }
}

void Board::set_soc_uid(const std::string& content) { hw_.set_value("/sys/devices/soc0/soc_uid", content); }

void Board::teardown() noexcept {
  stop_reboot_watch();
  // Killing the board's pid 1 kills every process in the board; the mounts
  // and interfaces go with its namespaces.
  // The namespace child reaps pid 1 and then exits by itself; it is killed
  // only if it does not (pid 1 would otherwise be left to the host's init).
  if (init_pid_ > 0) ::kill(init_pid_, SIGKILL);
  if (child_pid_ > 0) {
    if (init_pid_ <= 0) ::kill(child_pid_, SIGKILL);
    ftmd::UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, child_pid_, 0)));
    pollfd p{pidfd.get(), POLLIN, 0};
    if (!pidfd || ::poll(&p, 1, 10000) <= 0) ::kill(child_pid_, SIGKILL);
    while (::waitpid(child_pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    child_pid_ = -1;
  }
  // pid 1 ends only after every other board process; its namespaces go then.
  if (init_pidfd_) {
    pollfd p{init_pidfd_.get(), POLLIN, 0};
    while (::poll(&p, 1, 10000) < 0 && errno == EINTR) {
    }
    init_pidfd_.reset();
  }
  if (control_thread_.joinable()) {
    control_thread_.request_stop();
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(ctl_wake_.get(), &one, sizeof(one));
    control_thread_.join();
  }
  ctl_.reset();
  pc_netns_.reset();
  fuse_.reset();
  usb_host_.port().close_master();
  audio_mcu_.port().close_master();
  logic_mcu_.port().close_master();
  keypad_.reset();
  syslog_.reset();
  std::error_code ec;
  if (!state_dir_.empty()) fs::remove_all(state_dir_, ec);
}

}  // namespace vboard
