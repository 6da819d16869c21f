#include "pty_sandbox.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "core/host_frame.h"

extern char** environ;

namespace ftmd::test {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

void write_file(const fs::path& path, const std::string& content, fs::perms perms = fs::perms::owner_read |
                                                                                 fs::perms::owner_write) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << content;
  fs::permissions(path, perms);
}

int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

PtySandbox::PtySandbox(Options options) {
  char tmpl[] = "/tmp/ftmd-e2e-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
  state_dir_ = tmpl;
  fs::path dir(state_dir_);
  for (const char* led : {"red", "green", "blue"}) write_file(dir / "sys/class/leds" / led / "brightness", "0");
  fs::create_directories(dir / "tmp");
  write_file(dir / "bin/reboot", "#!/bin/sh\necho reboot >> /run/board/reboot.log\n", fs::perms::owner_all);

  log_socket_.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string log_path = (dir / "log").string();
  log_path.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
  if (::bind(log_socket_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
    throw std::runtime_error("bind log socket");
  log_reader_ = std::jthread([this](std::stop_token stop) { collect_logs(stop); });

  int master = -1, slave = -1;
  char slave_name[64] = {};
  if (openpty(&master, &slave, slave_name, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
  master_.reset(master);
  // Keeping a slave fd open stops the master from seeing EIO while the daemon
  // has the port closed.
  slave_.reset(slave);

  std::vector<std::string> args = {"bwrap",          "--bind",          "/",      "/",
                                   "--dev",          "/dev",            "--bind", log_path,
                                   "/dev/log",       "--bind",          (dir / "sys").string(), "/sys",
                                   "--bind",         (dir / "tmp").string(), "/tmp", "--bind",
                                   state_dir_,       "/run/board",      "--unshare-pid", "--unshare-net",
                                   "--unshare-ipc",  "--die-with-parent", "--setenv", "PATH",
                                   "/run/board/bin:/usr/sbin:/usr/bin:/sbin:/bin"};
  if (options.with_host_port) {
    args.insert(args.end(), {"--dev-bind", slave_name, "/dev/ttyGS0"});
  }
  // The checkout may itself live under /tmp, which the board hides: the
  // binary is bound at a fixed place inside.
  args.insert(args.end(), {"--ro-bind", FTMD_BINARY, "/run/ftmd"});
  args.emplace_back("/run/ftmd");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (posix_spawnp(&pid_, "bwrap", nullptr, nullptr, argv.data(), environ) != 0)
    throw std::runtime_error("spawn bwrap");
}

PtySandbox::~PtySandbox() {
  if (pid_ > 0 && !exit_status_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  std::error_code ec;
  fs::remove_all(state_dir_, ec);
}

void PtySandbox::collect_logs(std::stop_token stop) {
  while (!stop.stop_requested()) {
    pollfd p{log_socket_.get(), POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    char buf[4096];
    ssize_t n = ::recv(log_socket_.get(), buf, sizeof(buf) - 1, 0);
    if (n <= 0) continue;
    std::string msg(buf, static_cast<std::size_t>(n));
    // "<PRI>Mmm dd hh:mm:ss ident: text"
    int pri = std::atoi(msg.c_str() + 1);
    std::size_t colon = msg.find(": ", msg.find('>') + 16);
    std::lock_guard lock(log_mutex_);
    logs_.push_back({pri & 7, colon == std::string::npos ? msg : msg.substr(colon + 2)});
    log_cv_.notify_all();
  }
}

std::vector<LogLine> PtySandbox::logs() {
  std::lock_guard lock(log_mutex_);
  return logs_;
}

std::size_t PtySandbox::log_mark() {
  std::lock_guard lock(log_mutex_);
  return logs_.size();
}

bool PtySandbox::wait_log(const std::string& text, std::chrono::milliseconds timeout, std::size_t since) {
  std::unique_lock lock(log_mutex_);
  std::size_t seen = since;
  return log_cv_.wait_for(lock, timeout, [&] {
    for (; seen < logs_.size(); ++seen)
      if (logs_[seen].text.find(text) != std::string::npos) return true;
    return false;
  });
}

bool PtySandbox::wait_serving(std::chrono::milliseconds timeout) {
  return wait_log("try to read for 2048 bytes...", timeout);
}

void PtySandbox::send(const Bytes& bytes) {
  if (::write(master_.get(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
    throw std::runtime_error("write to pty master");
}

Bytes PtySandbox::read_available(std::chrono::milliseconds timeout) {
  Bytes out;
  pollfd p{master_.get(), POLLIN, 0};
  int wait = static_cast<int>(timeout.count());
  while (::poll(&p, 1, wait) > 0 && (p.revents & POLLIN)) {
    std::uint8_t buf[2048];
    ssize_t n = ::read(master_.get(), buf, sizeof(buf));
    if (n <= 0) break;
    out.insert(out.end(), buf, buf + n);
    wait = 50;
  }
  return out;
}

std::optional<Bytes> PtySandbox::read_frame(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  Bytes frame;
  std::size_t want = kHostBodyOffset;
  while (frame.size() < want) {
    pollfd p{master_.get(), POLLIN, 0};
    if (::poll(&p, 1, remaining_ms(deadline)) <= 0 || !(p.revents & POLLIN)) return std::nullopt;
    std::uint8_t byte[1024];
    ssize_t n = ::read(master_.get(), byte, want - frame.size());
    if (n <= 0) return std::nullopt;
    frame.insert(frame.end(), byte, byte + n);
    if (frame.size() == kHostBodyOffset && want == kHostBodyOffset)
      want = kHostBodyOffset + frame[7] + 256u * frame[8] + 1;
  }
  return frame;
}

void PtySandbox::hang_up() { ::ioctl(slave_.get(), TIOCVHANGUP); }

std::optional<int> PtySandbox::wait_exit(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (!exit_status_) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (Clock::now() >= deadline) break;
    std::this_thread::sleep_for(20ms);
  }
  return exit_status_;
}

int PtySandbox::reboot_count() const {
  std::ifstream in(state_dir_ + "/reboot.log");
  int n = 0;
  for (std::string line; std::getline(in, line);) ++n;
  return n;
}

Bytes make_request(const std::string& text, Bytes header) {
  header.resize(kHostHeaderSize);
  header.push_back(static_cast<std::uint8_t>(text.size() & 0xff));
  header.push_back(static_cast<std::uint8_t>(text.size() >> 8));
  header.insert(header.end(), text.begin(), text.end());
  return header;
}

Bytes expected_reply(const std::string& text, Bytes header) {
  header.resize(kHostReplyFrameMax);
  Bytes out(kHostReplyFrameMax);
  out.resize(host_reply_encode(header, text.c_str(), out));
  return out;
}

}  // namespace ftmd::test
