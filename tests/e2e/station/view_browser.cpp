#include "view_browser.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/deadline.h"
#include "wait_until.h"

extern char** environ;

namespace ftmd::station::testing {
namespace {

using namespace std::chrono_literals;

// Chromium takes a few seconds to start on a loaded machine; generous.
constexpr auto kStartDeadline = 60s;
constexpr auto kCallDeadline = 30s;
constexpr auto kPollInterval = 50ms;
// The DevTools pipe's fds in the browser. Our ends are moved above them, so
// dup2 onto 3 and 4 in the child never meets an fd that is already there.
constexpr int kBrowserReadFd = 3;
constexpr int kBrowserWriteFd = 4;
constexpr int kHighFd = 10;

UniqueFd raise_fd(int fd) {
  UniqueFd original(fd);
  return UniqueFd(fcntl(original.get(), F_DUPFD_CLOEXEC, kHighFd));
}

std::string slurp_tail(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  const std::string all = text.str();
  return all.size() > 2000 ? all.substr(all.size() - 2000) : all;
}

}  // namespace

std::unique_ptr<HeadlessChromium> HeadlessChromium::open(const std::string& url, int width, int height,
                                                         std::string* error, int netns_fd) {
  auto browser = std::make_unique<HeadlessChromium>(Key{});
  char dir_template[] = "/tmp/ftm-chromium-XXXXXX";
  int to_pipe[2], from_pipe[2];
  if (!mkdtemp(dir_template) || pipe2(to_pipe, O_CLOEXEC) != 0 || pipe2(from_pipe, O_CLOEXEC) != 0) {
    *error = std::string("cannot set up: ") + std::strerror(errno);
    return nullptr;
  }
  browser->dir_ = dir_template;
  UniqueFd browser_reads = raise_fd(to_pipe[0]);
  browser->to_browser_ = raise_fd(to_pipe[1]);
  browser->from_browser_ = raise_fd(from_pipe[0]);
  UniqueFd browser_writes = raise_fd(from_pipe[1]);
  UniqueFd log_fd(::open((browser->dir_ / "chromium.log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  UniqueFd null_fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!browser_reads || !browser->to_browser_ || !browser->from_browser_ || !browser_writes || !log_fd ||
      !null_fd) {
    *error = "cannot set up the DevTools pipe and chromium's log";
    return nullptr;
  }
  // A browser that dies must not kill the test with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);

  // Talks to nothing but the page: no sandbox (tests run as root), GPU,
  // QUIC, first-run, background, update or sync traffic.
  std::vector<std::string> args = {kChromiumPath};
  args.reserve(16);
  std::istringstream flags(
      "--headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking "
      "--disable-component-update --disable-sync --disable-dev-shm-usage --disable-crash-reporter "
      "--disable-breakpad --remote-debugging-pipe");
  for (std::string flag; flags >> flag;) args.push_back(flag);
  args.push_back("--user-data-dir=" + (browser->dir_ / "profile").string());
  args.push_back("--window-size=" + std::to_string(width) + "," + std::to_string(height));
  args.push_back(url);
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  // Everything the child needs is made before fork(): after it, only
  // async-signal-safe calls.
  browser->pid_ = ::fork();
  if (browser->pid_ == 0) {
    // A process group of its own, so every chromium process can be killed at once.
    ::setpgid(0, 0);
    if (netns_fd >= 0 && ::setns(netns_fd, CLONE_NEWNET) != 0) _exit(126);
    if (::dup2(null_fd.get(), STDIN_FILENO) < 0 || ::dup2(log_fd.get(), STDOUT_FILENO) < 0 ||
        ::dup2(log_fd.get(), STDERR_FILENO) < 0 || ::dup2(browser_reads.get(), kBrowserReadFd) < 0 ||
        ::dup2(browser_writes.get(), kBrowserWriteFd) < 0)
      _exit(126);
    ::execve(kChromiumPath, argv.data(), environ);
    _exit(127);
  }
  if (browser->pid_ < 0) {
    *error = std::string("cannot start chromium: ") + std::strerror(errno);
    return nullptr;
  }
  // Also here, so a kill of the group right after fork() cannot miss it.
  ::setpgid(browser->pid_, browser->pid_);
  // Only the browser holds its ends now, so its exit shows as EOF here.
  browser_reads.reset();
  browser_writes.reset();

  // The page given on the command line is the first "page" target.
  std::string target_id;
  bool answered = true;
  ftmd::test::wait_until(
      [&] {
        const auto targets = browser->call("Target.getTargets", nlohmann::json::object(), false, error);
        answered = targets.has_value();
        for (const auto& info : answered ? (*targets)["targetInfos"] : nlohmann::json::array())
          if (info.value("type", "") == "page") target_id = info.value("targetId", "");
        return !answered || !target_id.empty();
      },
      kStartDeadline, kPollInterval);
  if (!answered) return nullptr;
  if (target_id.empty()) {
    *error = "chromium opened no page";
    return nullptr;
  }
  const auto attached =
      browser->call("Target.attachToTarget", {{"targetId", target_id}, {"flatten", true}}, false, error);
  if (!attached) return nullptr;
  browser->session_ = attached->value("sessionId", "");
  browser->width_ = width;
  browser->height_ = height;
  // The viewport exactly as asked, whatever the window's frame takes.
  if (!browser->call("Emulation.setDeviceMetricsOverride",
                     {{"width", width}, {"height", height}, {"deviceScaleFactor", 1}, {"mobile", false}},
                     true, error))
    return nullptr;
  return browser;
}

HeadlessChromium::~HeadlessChromium() {
  if (pid_ > 0) {
    // The whole group (renderer, GPU and zygote processes included) is
    // killed while its leader is still unreaped, so that the group id cannot
    // have been taken by another process.
    kill(-pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  std::error_code ignored;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

std::optional<nlohmann::json> HeadlessChromium::call(const std::string& method, const nlohmann::json& params,
                                                     bool in_page, std::string* error) {
  const std::int64_t id = next_id_++;
  nlohmann::json message = {{"id", id}, {"method", method}, {"params", params}};
  if (in_page) message["sessionId"] = session_;
  const std::string text = message.dump();
  // The NUL that ends the message goes with it.
  for (std::size_t sent = 0; sent < text.size() + 1;) {
    const ssize_t n = ::write(to_browser_.get(), text.c_str() + sent, text.size() + 1 - sent);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = method + ": cannot write to chromium: " + std::strerror(errno) + "\n" +
               slurp_tail(dir_ / "chromium.log");
      broken_ = true;
      return std::nullopt;
    }
    sent += static_cast<std::size_t>(n);
  }
  const Deadline deadline(kCallDeadline);
  for (;;) {
    for (std::size_t end = pending_.find('\0'); end != std::string::npos; end = pending_.find('\0')) {
      auto reply = nlohmann::json::parse(pending_.substr(0, end), nullptr, false);
      pending_.erase(0, end + 1);
      if (reply.is_discarded() || reply.value("id", std::int64_t{-1}) != id) continue;  // events, old replies
      if (reply.contains("error")) {
        *error = method + ": " + reply["error"].dump();
        return std::nullopt;
      }
      return reply.value("result", nlohmann::json::object());
    }
    pollfd readable{from_browser_.get(), POLLIN, 0};
    const int ready = ::poll(&readable, 1, deadline.poll_ms());
    if (ready < 0 && errno == EINTR) continue;
    char buffer[65536];
    const ssize_t n = ready > 0 ? ::read(from_browser_.get(), buffer, sizeof buffer) : 0;
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = method +
               (ready > 0 ? ": chromium closed the DevTools pipe\n" : ": chromium did not answer in time\n") +
               slurp_tail(dir_ / "chromium.log");
      broken_ = true;
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

bool HeadlessChromium::wait_until(const std::string& expression, std::chrono::milliseconds within,
                                  std::string* error) {
  // While a page loads there is a moment with no document to evaluate in,
  // and an expression may throw until the page has made its elements: both
  // are "not yet". Only a browser that no longer answers ends the wait early.
  std::string last;
  const bool done = ftmd::test::wait_until(
      [&] {
        last.clear();
        const auto value = evaluate(expression, &last);
        return broken_ || (value && *value == true);
      },
      within, kPollInterval);
  if (done && !broken_) return true;
  *error = broken_ ? last : "still not true: " + expression + (last.empty() ? "" : " (" + last + ")");
  return false;
}

bool HeadlessChromium::scan(const std::string& text, std::string* error) {
  if (!call("Input.insertText", {{"text", text}}, true, error)) return false;
  for (const char* type : {"keyDown", "keyUp"}) {
    nlohmann::json key = {{"type", type}, {"key", "Enter"}, {"code", "Enter"}, {"windowsVirtualKeyCode", 13}};
    if (type == std::string("keyDown")) key["text"] = "\r";
    if (!call("Input.dispatchKeyEvent", key, true, error)) return false;
  }
  return true;
}

std::optional<std::string> HeadlessChromium::screenshot_png(std::string* error, double scale) {
  const nlohmann::json clip = {{"x", 0}, {"y", 0}, {"width", width_}, {"height", height_}, {"scale", scale}};
  const auto result = call("Page.captureScreenshot", {{"format", "png"}, {"clip", clip}}, true, error);
  if (!result) return std::nullopt;
  const std::string base64 = result->value("data", "");
  std::string png(base64.size() / 4 * 3, '\0');
  const int size =
      EVP_DecodeBlock(reinterpret_cast<unsigned char*>(png.data()),
                      reinterpret_cast<const unsigned char*>(base64.data()), static_cast<int>(base64.size()));
  if (size < 0) {
    *error = "the screenshot is not base64";
    return std::nullopt;
  }
  // EVP_DecodeBlock counts the bytes the '=' padding stands for.
  png.resize(static_cast<std::size_t>(size) - (base64.ends_with("==") ? 2 : base64.ends_with('=') ? 1 : 0));
  return png;
}

}  // namespace ftmd::station::testing
