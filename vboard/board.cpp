#include "vboard/board.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "vboard/board_processes.h"
#include "vboard/fuse_server.h"
#include "vboard/reboots.h"

namespace vboard {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

ino_t ns_inode(pid_t pid, const char* ns) {
  struct stat st {};
  std::string p = "/proc/" + std::to_string(pid) + "/ns/" + ns;
  return ::stat(p.c_str(), &st) == 0 ? st.st_ino : 0;
}

}  // namespace

BoardOptions Board::with_absolute_daemon(BoardOptions options) {
  if (!options.ftmd.empty()) options.ftmd = fs::absolute(options.ftmd).string();
  return options;
}

Board::Board(BoardOptions options)
    : options_(with_absolute_daemon(std::move(options))),
      root_(options_.state_parent),
      gpio_(hw_),
      leds_(hw_),
      triggers_(hw_, gpio_),
      usb_host_(root_.host_path(board_path::kHostPort)),
      audio_mcu_(root_.host_path(board_path::kRpmsgPort), gpio_),
      logic_mcu_(root_.host_path(board_path::kLogicPort)),
      uboot_env_(root_.host_path(board_path::kEnvImage), board_path::kEnvImage),
      standins_([this](const std::string& p) { return host_path(p); }) {
  const auto start = Clock::now();
  BoardRoot::check_host(options_);
  root_.lay_out(options_);
  set_up_simulators();
  processes_ = std::make_unique<BoardProcesses>(
      root_.init_plan(options_),
      [this](InitMsg type, ftmd::UniqueFd fd) { take_board_fd(type, std::move(fd)); });
  init_pid_ = processes_->init_pid();
  namespaces_ = {ns_inode(init_pid_, "user"), ns_inode(init_pid_, "mnt"), ns_inode(init_pid_, "net"),
                 ns_inode(init_pid_, "pid")};
  // The board's own sysfs is a mount inside the board: reach it through its
  // pid 1's root.
  network_ =
      std::make_unique<Network>([this](const std::vector<std::string>& argv) { return exec(argv).status; },
                                "/proc/" + std::to_string(init_pid_) + "/root" + board_path::kNetSysDir);
  setup_time_ = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
  reboots_ = std::make_unique<Reboots>(*this, root_.host_path(board_path::kState),
                                       options_.reboot_reenumerates, options_.boot_time);
  if (options_.web_server)
    start_service("httpd", {"busybox", "httpd", "-f", "-p", "80", "-h", "/var/www/html"});
  if (options_.start_daemon) start_daemon();
}

Board::~Board() = default;

void Board::set_up_simulators() {
  standins_.install();
  standins_.set_container_status(options_.container_status);
  uboot_env_.set_redundant(options_.redundant_env);
  root_.write_file("/etc/fw_env.config", uboot_env_.config_line());
  uboot_env_.write(options_.boot_env);

  hw_.add_dir("/sys", true);
  hw_.add_dir("/sys/class/net", true);
  hw_.add_dir("/sys/devices/virtual/net", true);
  hw_.add_value(board_path::kSocUid, options_.soc_uid, false);

  syslog_ = std::make_unique<SyslogCapture>(root_.host_path(board_path::kLog));
  if (options_.host_port) usb_host_.connect();
  if (options_.rpmsg_port) audio_mcu_.connect();
  if (options_.logic_port) logic_mcu_.connect();
  keypad_ = std::make_unique<Keypad>(root_.host_path(board_path::kKeyDevice));
  if (!options_.key_device) keypad_->set_present(false);
}

// The descriptors the board's side opens inside its namespaces.
void Board::take_board_fd(InitMsg type, ftmd::UniqueFd fd) {
  switch (type) {
    case InitMsg::kFuseFd:
      fuse_ = std::make_unique<FuseServer>(hw_, std::move(fd));
      break;
    case InitMsg::kPcNetFd:
      pc_netns_ = std::move(fd);
      break;
    case InitMsg::kUeventFd:
      uevents_.attach(std::move(fd));
      break;
    default:
      break;
  }
}

void Board::start_daemon() { processes_->start_daemon(); }
void Board::kill_daemon(int signal) { processes_->kill_daemon(signal); }
bool Board::daemon_running() const { return processes_->daemon_running(); }
std::optional<int> Board::wait_daemon_exit(std::chrono::milliseconds timeout) const {
  return processes_->wait_daemon_exit(timeout);
}

bool Board::wait_serving(std::chrono::milliseconds timeout, std::size_t since) const {
  return syslog_->wait_exact(kServingLine, 6, timeout, since).has_value();
}

std::string Board::daemon_output() const { return read_file(board_path::kDaemonOutput).value_or(""); }

void Board::set_reboot_reenumerates(bool on, std::chrono::milliseconds boot_time) {
  reboots_->set_reenumerates(on, boot_time);
}
int Board::reboots_done() const { return reboots_->done(); }
bool Board::wait_rebooted(int count, std::chrono::milliseconds timeout) const {
  return reboots_->wait_done(count, timeout);
}

Board::ExecResult Board::exec(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                              const std::string& input) {
  return processes_->run(argv, timeout, input);
}

int Board::start_service(const std::string& name, const std::vector<std::string>& argv) {
  ftmd::UniqueFd log(::open(host_path("/run/vboard/" + name + ".log").c_str(),
                            O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  ftmd::UniqueFd null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  const int fds[3] = {null.get(), log.get(), log.get()};
  return processes_->start(argv, fds);
}

void Board::stop_service(int handle, int signal) { processes_->signal(handle, signal); }

Board::ExecResult Board::run_on_pc(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                                   const std::string& input) {
  return run_collecting({.argv = argv, .netns = pc_netns_.get()}, timeout, input);
}

pid_t Board::pc_pid() const {
  struct stat want {};
  if (!pc_netns_ || ::fstat(pc_netns_.get(), &want) != 0) return 0;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    struct stat st {};
    if (::stat((entry.path() / "ns/net").c_str(), &st) == 0 && st.st_ino == want.st_ino &&
        st.st_dev == want.st_dev)
      return static_cast<pid_t>(std::stol(name));
  }
  return 0;
}

std::string Board::host_path(std::string_view board_path) const { return root_.host_path(board_path); }

std::optional<std::string> Board::read_file(std::string_view board_path) const {
  return root_.read_file(board_path);
}

void Board::write_file(std::string_view board_path, const std::string& content) {
  root_.write_file(board_path, content);
}

void Board::set_os_release(const std::string& content) { root_.write_file(board_path::kOsRelease, content); }

void Board::set_activation_file(const std::string& name, const std::optional<std::string>& content) {
  const std::string path = std::string(board_path::kActivationDir) + name;
  if (content) {
    root_.write_file(path, *content);
  } else {
    std::error_code ec;
    fs::remove(host_path(path), ec);
  }
}

void Board::set_soc_uid(const std::string& content) { hw_.set_value(board_path::kSocUid, content); }

void Board::swap_unit(const std::string& soc_uid) {
  reboots_->swap_unit([&] {
    set_soc_uid(soc_uid);
    uboot_env_.write(options_.boot_env);
    std::error_code ec;
    for (const auto& unit_file : fs::directory_iterator(host_path(Network::kUnitDir), ec))
      fs::remove(unit_file.path(), ec);
    for (const auto& i : options_.interfaces) network().set_mac(i.name, i.mac);
  });
}

std::optional<std::string> Board::next_soc_uid() const {
  std::string uid = hw_.read(board_path::kSocUid).value_or("");
  if (uid.ends_with('\n')) uid.pop_back();
  if (!uid.starts_with("0x") || uid.size() < 3 || uid.size() > 18 ||
      uid.find_first_not_of("0123456789abcdefABCDEF", 2) != std::string::npos)
    return std::nullopt;
  unsigned long long next = std::stoull(uid.substr(2), nullptr, 16) + 1;
  char text[32];
  std::snprintf(text, sizeof text, "0x%0*llx\n", static_cast<int>(uid.size() - 2), next);
  return text;
}

}  // namespace vboard
