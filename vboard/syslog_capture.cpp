#include "vboard/syslog_capture.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace vboard {

SyslogCapture::SyslogCapture(const std::string& host_path) {
  socket_.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (!socket_ || !wake_.valid() || host_path.size() >= sizeof(addr.sun_path))
    throw std::runtime_error("cannot create the board's /dev/log socket");
  host_path.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
  ::unlink(host_path.c_str());
  if (::bind(socket_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
    throw std::runtime_error("cannot bind the board's /dev/log at " + host_path);
  int size = 4 << 20;
  ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size));
  reader_ = std::jthread([this](const std::stop_token& stop) { drain(stop); });
}

SyslogCapture::~SyslogCapture() {
  reader_.request_stop();
  wake_.signal();
  reader_ = {};
}

LogLine SyslogCapture::parse(std::string_view d) {
  LogLine line;
  line.when = std::chrono::steady_clock::now();
  std::size_t pos = 0;
  if (d.size() > 2 && d[0] == '<') {
    std::size_t close = d.find('>');
    if (close != std::string_view::npos) {
      int pri = std::atoi(std::string(d.substr(1, close - 1)).c_str());
      line.level = pri & 7;
      line.facility = pri >> 3;
      pos = close + 1;
    }
  }
  // "Mmm dd hh:mm:ss " as glibc writes it.
  constexpr std::size_t kStampSize = 16;
  if (d.size() >= pos + kStampSize && d[pos + 3] == ' ' && d[pos + 15] == ' ') pos += kStampSize;
  std::size_t colon = d.find(": ", pos);
  if (colon == std::string_view::npos) {
    line.text = std::string(d.substr(pos));
  } else {
    line.ident = std::string(d.substr(pos, colon - pos));
    line.text = std::string(d.substr(colon + 2));
  }
  return line;
}

void SyslogCapture::append(std::string_view datagram) const {
  LogLine line = parse(datagram);
  std::function<void(const LogLine&)> observer;
  {
    std::lock_guard lock(mutex_);
    lines_.push_back(line);
    observer = observer_;
  }
  changed_.notify_all();
  if (observer) observer(line);
}

void SyslogCapture::take_queued() const {
  std::lock_guard receiving(receive_mutex_);
  static thread_local std::string buf(65536, '\0');
  for (;;) {
    ssize_t n = ::recv(socket_.get(), buf.data(), buf.size(), MSG_DONTWAIT);
    if (n < 0) break;
    append(std::string_view(buf.data(), static_cast<std::size_t>(n)));
  }
}

void SyslogCapture::drain(const std::stop_token& stop) {
  while (!stop.stop_requested()) {
    pollfd p[2] = {{socket_.get(), POLLIN, 0}, {wake_.fd(), POLLIN, 0}};
    if (::poll(p, 2, -1) <= 0) continue;
    if (p[1].revents) break;
    take_queued();
  }
}

std::size_t SyslogCapture::mark() const {
  take_queued();
  std::lock_guard lock(mutex_);
  return lines_.size();
}

std::vector<LogLine> SyslogCapture::lines(std::size_t since) const {
  take_queued();
  std::lock_guard lock(mutex_);
  if (since >= lines_.size()) return {};
  return {lines_.begin() + static_cast<std::ptrdiff_t>(since), lines_.end()};
}

std::optional<LogLine> SyslogCapture::wait(const std::function<bool(const LogLine&)>& match,
                                           std::chrono::milliseconds timeout, std::size_t since) const {
  take_queued();
  std::unique_lock lock(mutex_);
  std::optional<LogLine> found;
  std::size_t next = since;
  changed_.wait_for(lock, timeout, [&] {
    for (; next < lines_.size(); ++next)
      if (match(lines_[next])) {
        found = lines_[next];
        return true;
      }
    return false;
  });
  return found;
}

std::optional<LogLine> SyslogCapture::wait_for(std::string_view text, std::chrono::milliseconds timeout,
                                               std::size_t since, std::optional<int> level) const {
  return wait(
      [&](const LogLine& l) {
        return l.text.find(text) != std::string::npos && (!level || l.level == *level);
      },
      timeout, since);
}

std::optional<LogLine> SyslogCapture::wait_exact(std::string_view text, int level,
                                                 std::chrono::milliseconds timeout, std::size_t since) const {
  return wait([&](const LogLine& l) { return l.text == text && l.level == level; }, timeout, since);
}

std::size_t SyslogCapture::count(std::string_view text, std::size_t since, std::optional<int> level) const {
  std::size_t n = 0;
  for (const auto& l : lines(since))
    if (l.text.find(text) != std::string::npos && (!level || l.level == *level)) ++n;
  return n;
}

void SyslogCapture::set_observer(std::function<void(const LogLine&)> observer) {
  std::lock_guard lock(mutex_);
  observer_ = std::move(observer);
}

}  // namespace vboard
