#include "vboard/board_root.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/atomic_file.h"
#include "vboard/board.h"
#include "vboard/emulation.h"
#include "vboard/standins.h"

namespace vboard {
namespace fs = std::filesystem;

namespace {

constexpr char kOwnerFile[] = "/owner";
constexpr char kPath[] =
    "PATH=/usr/local/vboard/bin:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
// Host files the board's /etc gets a copy of (when the host has them).
constexpr const char* kEtcCopies[] = {"passwd",        "group",       "hosts",
                                      "nsswitch.conf", "ld.so.cache", "localtime"};
// Host device nodes bound into the board's /dev.
constexpr const char* kDevices[] = {"null", "zero", "full", "random", "urandom", "tty"};
// Host tools the board's side and its shell commands need.
constexpr const char* kTools[] = {"ip", "fw_printenv", "fw_setenv", "sh", "awk"};

std::string find_tool(const std::string& name) {
  for (const char* dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
    std::string p = std::string(dir) + "/" + name;
    if (::access(p.c_str(), X_OK) == 0) return p;
  }
  return {};
}

void touch(const std::string& path) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::app);
}

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

// Removes the board directories in `parent` whose owner no longer runs.
void remove_stale_state_dirs(const std::string& parent) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(parent, ec)) {
    if (!entry.path().filename().string().starts_with("vboard-")) continue;
    std::ifstream in(entry.path().string() + kOwnerFile);
    std::string pid, start;
    if (!(in >> pid >> start)) continue;
    if (process_identity(static_cast<pid_t>(std::atoi(pid.c_str()))) ==
        std::string(pid).append(" ").append(start))
      continue;
    fs::remove_all(entry.path(), ec);
  }
}

}  // namespace

BoardRoot::BoardRoot(std::string parent) {
  if (parent.empty()) parent = ::access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
  remove_stale_state_dirs(parent);
  std::string dir = parent + "/vboard-XXXXXX";
  if (::mkdtemp(dir.data()) == nullptr)
    throw BoardError("vboard: cannot make a board directory in " + parent + ": " + std::strerror(errno));
  std::ofstream(dir + kOwnerFile) << process_identity(::getpid()) << "\n";
  state_dir_ = dir;
  root_ = dir + "/root";
}

BoardRoot::~BoardRoot() {
  std::error_code ec;
  fs::remove_all(state_dir_, ec);
}

void BoardRoot::check_host(const BoardOptions& options) {
  if (options.ftmd.empty()) throw BoardError("vboard: no ftmd binary given");
  if (::access(options.ftmd.c_str(), X_OK) != 0)
    throw BoardError("vboard: cannot find the ftmd binary " + options.ftmd + ": " + std::strerror(errno));
  if (!fs::is_regular_file(options.ftmd))
    throw BoardError("vboard: " + options.ftmd + " is not a program file");
  // A daemon for another machine needs its qemu-user (throws when missing).
  (void)emulator_for(options.ftmd);
  for (const char* tool : kTools)
    if (find_tool(tool).empty())
      throw BoardError(std::string("vboard: missing tool ") + tool + " (run tools/install-deps)");
  if (options.web_server && find_tool("busybox").empty())
    throw BoardError("vboard: missing tool busybox, the web server (run tools/install-deps)");
  if (::access("/dev/fuse", R_OK | W_OK) != 0)
    throw BoardError(std::string("vboard: cannot use /dev/fuse: ") + std::strerror(errno));
}

std::string BoardRoot::host_path(std::string_view board_path) const {
  std::string p(board_path);
  // /usr/local is a directory of its own beside the root, bound over the
  // host's /usr (read-only) inside the board.
  if (p == "/usr/local" || p.starts_with("/usr/local/")) return state_dir_ + "/usrlocal" + p.substr(10);
  return root_ + p;
}

std::optional<std::string> BoardRoot::read_file(std::string_view board_path) const {
  std::ifstream in(host_path(board_path), std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void BoardRoot::write_file(std::string_view board_path, const std::string& content) const {
  const std::string path = host_path(board_path);
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  if (ftmd::Status written = ftmd::write_file_atomic(path, content); !written)
    throw BoardError("vboard: " + written.message());
}

void BoardRoot::lay_out(const BoardOptions& options) const {
  // Directories of the board, and the mount points of what the board's pid 1
  // mounts or binds there.
  for (const char* dir :
       {"/usr", "/proc", "/sys", "/dev/pts", "/dev/shm", "/dev/input/by-path", "/etc/systemd/network",
        "/etc/alternatives", "/tmp", "/root", "/var/lock", "/var/log", "/var/www/html",
        board_path::kActivationDir, board_path::kState, board_path::kHwDir, board_path::kNetSysDir})
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
  fs::create_symlink(std::string(board_path::kHwDir) + Triggers::kDevice, root_ + Triggers::kDevice);

  for (const char* f : kEtcCopies) {
    std::error_code ec;
    fs::copy_file(std::string("/etc/") + f, root_ + "/etc/" + f, ec);
  }
  write_file(board_path::kOsRelease, options.os_release);
  fs::create_symlink(std::string("..") + board_path::kOsRelease, root_ + "/etc/os-release");
  write_file("/run/vboard/net.batch", Network::boot_batch(options.interfaces));
  if (!options.pc_address.empty())
    write_file("/run/vboard/pc.batch", Network::pc_batch(options.interfaces, options.pc_address));
  for (const auto& [name, content] : options.activation_files)
    write_file(std::string(board_path::kActivationDir) + name, content);
  touch(host_path(board_path::kDaemon));
}

InitPlan BoardRoot::init_plan(const BoardOptions& options) const {
  InitPlan plan;
  plan.root = root_;
  plan.binds = {{"/usr", root_ + "/usr", true},
                {"/etc/alternatives", root_ + "/etc/alternatives", true},  // Debian reaches awk through it
                {state_dir_ + "/usrlocal", root_ + "/usr/local", false},
                {options.ftmd, root_ + board_path::kDaemon, true}};
  for (const char* dev : kDevices)
    plan.binds.push_back({std::string("/dev/") + dev, root_ + "/dev/" + dev, false});
  plan.binds.push_back({"/dev/pts", root_ + "/dev/pts", false});
  plan.fuse_mountpoint = root_ + board_path::kHwDir;
  plan.net_sysfs = root_ + board_path::kNetSysDir;
  plan.late_binds = {
      {root_ + board_path::kHwDir + "/sys", root_ + "/sys", false},
      {root_ + board_path::kNetSysDir + "/class/net", root_ + "/sys/class/net", false},
      {root_ + board_path::kNetSysDir + "/devices/virtual/net", root_ + "/sys/devices/virtual/net", false}};
  plan.ip_binary = find_tool("ip");
  plan.net_batch = root_ + "/run/vboard/net.batch";
  if (!options.pc_address.empty()) {
    for (const auto& i : options.interfaces) plan.pc_links.push_back(Network::peer_of(i.name));
    plan.pc_batch = root_ + "/run/vboard/pc.batch";
  }
  plan.daemon_path = board_path::kDaemon;
  if (std::string emulator = emulator_for(options.ftmd); !emulator.empty()) {
    // qemu-user started through a link named ftmd: the process is "ftmd" in
    // /proc/<pid>/comm, as the native daemon is, for tools and tests that
    // look for it by name.
    fs::create_directories(host_path(board_path::kEmulatorDir));
    fs::create_symlink(emulator, host_path(std::string(board_path::kEmulatorDir) + "/ftmd"));
    plan.daemon_emulator = std::string(board_path::kEmulatorDir) + "/ftmd";
  }
  plan.daemon_output = board_path::kDaemonOutput;
  plan.hostname = "vboard";
  plan.env = {kPath, "HOME=/root", "LANG=C", "TERM=dumb"};
  // A daemon built with a sanitizer takes its options from the caller.
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"})
    if (const char* value = std::getenv(name)) plan.env.push_back(std::string(name) + "=" + value);
  return plan;
}

}  // namespace vboard
