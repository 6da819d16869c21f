#include "view_browser.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace ftmd::station::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Chromium takes a few seconds to start on a loaded machine; generous.
constexpr auto kStartDeadline = 60s;
constexpr auto kCallDeadline = 30s;
constexpr auto kCloseDeadline = 10s;
constexpr auto kPollInterval = 50ms;
// The DevTools pipe's fds in the browser.
constexpr int kBrowserReadFd = 3;
constexpr int kBrowserWriteFd = 4;
// Our ends are moved above the fds the browser is given, so dup2 onto 3 and
// 4 never meets an fd that is already there.
constexpr int kHighFd = 10;

int milliseconds_left(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

UniqueFd raise_fd(int fd) {
  UniqueFd original(fd);
  return UniqueFd(fcntl(original.get(), F_DUPFD_CLOEXEC, kHighFd));
}

// Waits until `pid` has exited, leaving it unreaped (so its process group id
// cannot be reused yet); false on time-out.
bool wait_exit_unreaped(pid_t pid, std::chrono::milliseconds deadline_in) {
  const auto deadline = Clock::now() + deadline_in;
  for (;;) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid) {
      return true;
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
}

}  // namespace

std::vector<std::string> headless_chromium_flags(const std::filesystem::path& profile_dir) {
  return {"--headless",
          "--no-sandbox",
          "--disable-gpu",
          "--disable-quic",
          "--no-first-run",
          "--disable-background-networking",
          "--disable-component-update",
          "--disable-sync",
          "--disable-dev-shm-usage",
          "--disable-crash-reporter",
          "--disable-breakpad",
          "--user-data-dir=" + profile_dir.string()};
}

std::optional<HeadlessChromium> HeadlessChromium::open(const std::string& url, int width, int height,
                                                       std::string* error, int netns_fd) {
  HeadlessChromium browser;
  char dir_template[] = "/tmp/ftm-chromium-XXXXXX";
  if (!mkdtemp(dir_template)) {
    *error = std::string("mkdtemp: ") + std::strerror(errno);
    return std::nullopt;
  }
  browser.dir_ = dir_template;

  int to_pipe[2];
  int from_pipe[2];
  if (pipe2(to_pipe, O_CLOEXEC) != 0) {
    *error = std::string("pipe2: ") + std::strerror(errno);
    return std::nullopt;
  }
  UniqueFd browser_reads = raise_fd(to_pipe[0]);
  browser.to_browser_ = raise_fd(to_pipe[1]);
  if (pipe2(from_pipe, O_CLOEXEC) != 0) {
    *error = std::string("pipe2: ") + std::strerror(errno);
    return std::nullopt;
  }
  browser.from_browser_ = raise_fd(from_pipe[0]);
  UniqueFd browser_writes = raise_fd(from_pipe[1]);
  if (!browser_reads || !browser.to_browser_ || !browser.from_browser_ || !browser_writes) {
    *error = "cannot set up the DevTools pipe";
    return std::nullopt;
  }
  // A browser that dies must not kill the test with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);

  std::vector<std::string> args = {kChromiumPath};
  for (auto& flag : headless_chromium_flags(browser.dir_ / "profile")) args.push_back(std::move(flag));
  args.push_back("--remote-debugging-pipe");
  args.push_back("--window-size=" + std::to_string(width) + "," + std::to_string(height));
  args.push_back(url);
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  // Everything the child needs is made before fork(): after it, only
  // async-signal-safe calls.
  const std::string log_path = (browser.dir_ / "chromium.log").string();
  UniqueFd log_fd(::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  UniqueFd null_fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!log_fd || !null_fd) {
    *error = "cannot open chromium's log or /dev/null";
    return std::nullopt;
  }
  browser.pid_ = ::fork();
  if (browser.pid_ == 0) {
    // A process group of its own, so every chromium process can be killed at once.
    ::setpgid(0, 0);
    if (netns_fd >= 0 && ::setns(netns_fd, CLONE_NEWNET) != 0) _exit(126);
    if (::dup2(null_fd.get(), STDIN_FILENO) < 0 || ::dup2(log_fd.get(), STDOUT_FILENO) < 0 ||
        ::dup2(log_fd.get(), STDERR_FILENO) < 0 || ::dup2(browser_reads.get(), kBrowserReadFd) < 0 ||
        ::dup2(browser_writes.get(), kBrowserWriteFd) < 0) {
      _exit(126);
    }
    ::execve(kChromiumPath, argv.data(), environ);
    _exit(127);
  }
  if (browser.pid_ < 0) {
    *error = std::string("cannot start chromium: ") + std::strerror(errno);
    return std::nullopt;
  }
  // Also here, so a kill of the group right after fork() cannot miss it.
  ::setpgid(browser.pid_, browser.pid_);
  // Only the browser holds its ends now, so its exit shows as EOF here.
  browser_reads.reset();
  browser_writes.reset();

  // The page given on the command line is the first "page" target.
  const auto deadline = Clock::now() + kStartDeadline;
  std::string target_id;
  while (target_id.empty()) {
    const auto targets = browser.call("Target.getTargets", nlohmann::json::object(), false, error);
    if (!targets) return std::nullopt;
    for (const auto& info : (*targets)["targetInfos"]) {
      if (info.value("type", "") == "page") target_id = info.value("targetId", "");
    }
    if (target_id.empty()) {
      if (Clock::now() >= deadline) {
        *error = "chromium opened no page";
        return std::nullopt;
      }
      std::this_thread::sleep_for(kPollInterval);
    }
  }
  const auto attached =
      browser.call("Target.attachToTarget", {{"targetId", target_id}, {"flatten", true}}, false, error);
  if (!attached) return std::nullopt;
  browser.session_ = (*attached).value("sessionId", "");
  // The viewport exactly as asked, whatever the window's frame takes.
  if (!browser.call("Emulation.setDeviceMetricsOverride",
                    {{"width", width}, {"height", height}, {"deviceScaleFactor", 1}, {"mobile", false}}, true,
                    error)) {
    return std::nullopt;
  }
  return browser;
}

HeadlessChromium::HeadlessChromium(HeadlessChromium&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      to_browser_(std::move(other.to_browser_)),
      from_browser_(std::move(other.from_browser_)),
      pending_(std::move(other.pending_)),
      session_(std::move(other.session_)),
      next_id_(other.next_id_),
      dir_(std::exchange(other.dir_, {})) {}

HeadlessChromium& HeadlessChromium::operator=(HeadlessChromium&& other) noexcept {
  if (this != &other) {
    close();
    pid_ = std::exchange(other.pid_, -1);
    to_browser_ = std::move(other.to_browser_);
    from_browser_ = std::move(other.from_browser_);
    pending_ = std::move(other.pending_);
    session_ = std::move(other.session_);
    next_id_ = other.next_id_;
    dir_ = std::exchange(other.dir_, {});
  }
  return *this;
}

HeadlessChromium::~HeadlessChromium() { close(); }

void HeadlessChromium::close() {
  if (pid_ > 0) {
    // Ask politely, then make sure: the whole group (renderer, GPU and
    // zygote processes included) is killed before the leader is reaped.
    std::string ignored;
    if (to_browser_) {
      const std::string message = nlohmann::json{{"id", next_id_++}, {"method", "Browser.close"}}.dump();
      [[maybe_unused]] const auto written = ::write(to_browser_.get(), message.c_str(), message.size() + 1);
    }
    if (!wait_exit_unreaped(pid_, kCloseDeadline)) kill(pid_, SIGKILL);
    kill(-pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }
  to_browser_.reset();
  from_browser_.reset();
  if (!dir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    dir_.clear();
  }
}

std::optional<nlohmann::json> HeadlessChromium::call(const std::string& method, const nlohmann::json& params,
                                                     bool in_page, std::string* error) {
  const std::int64_t id = next_id_++;
  nlohmann::json message = {{"id", id}, {"method", method}, {"params", params}};
  if (in_page) message["sessionId"] = session_;
  const std::string text = message.dump();
  // The NUL that ends the message goes with it.
  std::size_t sent = 0;
  while (sent < text.size() + 1) {
    const ssize_t n = ::write(to_browser_.get(), text.c_str() + sent, text.size() + 1 - sent);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = method + ": cannot write to chromium: " + std::strerror(errno) + "\n" + log();
      return std::nullopt;
    }
    sent += static_cast<std::size_t>(n);
  }
  const auto deadline = Clock::now() + kCallDeadline;
  for (;;) {
    for (std::size_t end = pending_.find('\0'); end != std::string::npos; end = pending_.find('\0')) {
      const std::string whole = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      auto reply = nlohmann::json::parse(whole, nullptr, false);
      if (reply.is_discarded() || reply.value("id", std::int64_t{-1}) != id) continue;  // events, old replies
      if (reply.contains("error")) {
        *error = method + ": " + reply["error"].dump();
        return std::nullopt;
      }
      return reply.value("result", nlohmann::json::object());
    }
    pollfd readable{from_browser_.get(), POLLIN, 0};
    const int ready = ::poll(&readable, 1, milliseconds_left(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      *error = method + ": chromium did not answer in time\n" + log();
      return std::nullopt;
    }
    char buffer[65536];
    const ssize_t n = ::read(from_browser_.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = method + ": chromium closed the DevTools pipe\n" + log();
      return std::nullopt;
    }
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
}

std::optional<nlohmann::json> HeadlessChromium::evaluate(const std::string& expression, std::string* error) {
  const auto result =
      call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}}, true, error);
  if (!result) return std::nullopt;
  if (result->contains("exceptionDetails")) {
    *error = "the page threw: " + (*result)["exceptionDetails"].dump();
    return std::nullopt;
  }
  return (*result)["result"].value("value", nlohmann::json());
}

bool HeadlessChromium::wait_until(const std::string& expression, std::chrono::milliseconds deadline_in,
                                  std::string* error) {
  const auto deadline = Clock::now() + deadline_in;
  for (;;) {
    const auto value = evaluate(expression, error);
    if (!value) return false;
    if (*value == true) return true;
    if (Clock::now() >= deadline) {
      *error = "still not true: " + expression;
      return false;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
}

std::optional<std::string> HeadlessChromium::screenshot_png(std::string* error) {
  const auto result = call("Page.captureScreenshot", {{"format", "png"}}, true, error);
  if (!result) return std::nullopt;
  const std::string base64 = result->value("data", "");
  // Standard base64, as DevTools sends it.
  std::string png;
  png.reserve(base64.size() * 3 / 4);
  std::uint32_t bits = 0;
  int count = 0;
  for (const char c : base64) {
    int value;
    if (c >= 'A' && c <= 'Z')
      value = c - 'A';
    else if (c >= 'a' && c <= 'z')
      value = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      value = c - '0' + 52;
    else if (c == '+')
      value = 62;
    else if (c == '/')
      value = 63;
    else
      continue;  // '=' padding
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      png += static_cast<char>((bits >> count) & 0xff);
    }
  }
  return png;
}

std::string HeadlessChromium::log() const {
  std::ifstream in(dir_ / "chromium.log");
  std::stringstream text;
  text << in.rdbuf();
  std::string all = text.str();
  constexpr std::size_t kTail = 2000;
  return all.size() > kTail ? all.substr(all.size() - kTail) : all;
}

int processes_mentioning(const std::string& text) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream cmdline(entry.path() / "cmdline", std::ios::binary);
    const std::string args((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
    if (args.find(text) == std::string::npos) continue;
    std::ifstream stat_file(entry.path() / "stat");
    std::string stat_line;
    std::getline(stat_file, stat_line);
    const auto paren = stat_line.rfind(')');
    if (paren != std::string::npos && paren + 2 < stat_line.size() && stat_line[paren + 2] == 'Z') continue;
    ++count;
  }
  return count;
}

bool is_png_of_size(const std::string& png, std::uint32_t width, std::uint32_t height) {
  static constexpr char kSignature[] = "\x89PNG\r\n\x1a\n";
  if (png.size() < 24 || png.compare(0, 8, kSignature, 8) != 0 || png.compare(12, 4, "IHDR") != 0)
    return false;
  const auto be32 = [&](std::size_t at) {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(png[at])) << 24) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(png[at + 1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(png[at + 2])) << 8) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(png[at + 3]));
  };
  return be32(16) == width && be32(20) == height;
}

}  // namespace ftmd::station::testing
