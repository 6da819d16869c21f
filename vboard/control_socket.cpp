#include "vboard/control_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "common/deadline.h"
#include "vboard/board.h"

namespace vboard {
namespace {

// A control line is short; a client that sends nothing for this long is dropped.
constexpr std::size_t kMaxLine = 4096;
constexpr std::chrono::seconds kLineTimeout{5};

bool address_of(const std::string& path, sockaddr_un* addr) {
  *addr = {};
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof(addr->sun_path)) return false;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

bool write_all(int fd, const std::string& text) {
  for (std::size_t done = 0; done < text.size();) {
    ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads up to the first line feed (not included); nothing at the deadline
// (none: wait as long as it takes), EOF without a line feed gives what came.
std::optional<std::string> read_line(int fd, const std::optional<ftmd::Deadline>& deadline) {
  std::string line;
  while (line.size() < kMaxLine) {
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, deadline ? deadline->poll_ms() : -1);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return std::nullopt;
    char c;
    ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return line;
    if (c == '\n') return line;
    line.push_back(c);
  }
  return line;
}

}  // namespace

ControlSocket::ControlSocket(std::string path, Handler handler)
    : path_(std::move(path)), handler_(std::move(handler)) {
  sockaddr_un addr;
  if (!address_of(path_, &addr)) throw BoardError("vboard: control socket path too long: " + path_);
  listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ::unlink(path_.c_str());
  if (!listener_ || ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::listen(listener_.get(), 8) != 0)
    throw BoardError("vboard: cannot listen at " + path_ + ": " + std::strerror(errno));
  thread_ = std::jthread([this](const std::stop_token& st) { serve(st); });
}

ControlSocket::~ControlSocket() {
  thread_.request_stop();
  wake_.signal();
  if (thread_.joinable()) thread_.join();
  ::unlink(path_.c_str());
}

void ControlSocket::serve(const std::stop_token& stop) {
  while (!stop.stop_requested()) {
    pollfd p[2] = {{listener_.get(), POLLIN, 0}, {wake_.fd(), POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) continue;
    if (p[1].revents || stop.stop_requested()) break;
    ftmd::UniqueFd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (connection) answer(connection.get());
  }
}

void ControlSocket::answer(int connection) {
  auto line = read_line(connection, ftmd::Deadline(kLineTimeout));
  if (!line) return;
  if (!line->empty() && line->back() == '\r') line->pop_back();
  write_all(connection, handler_(*line) + "\n");
}

std::optional<std::string> ControlSocket::ask(const std::string& path, const std::string& line,
                                              std::string* error) {
  sockaddr_un addr;
  if (!address_of(path, &addr)) {
    *error = "control socket path too long: " + path;
    return std::nullopt;
  }
  ftmd::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    *error = "cannot reach the board at " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  if (!write_all(fd.get(), line + "\n")) {
    *error = "cannot send to the board: " + std::string(std::strerror(errno));
    return std::nullopt;
  }
  // Some controls take a while (wait-reboot, http-get): no deadline here.
  auto answer = read_line(fd.get(), std::nullopt);
  if (!answer || answer->empty()) {
    *error = "the board closed the control connection without an answer";
    return std::nullopt;
  }
  return answer;
}

}  // namespace vboard
