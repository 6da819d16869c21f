#include "vboard/pty_port.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace vboard {

PtyPort::PtyPort(std::string link_host_path) : link_(std::move(link_host_path)) {}

PtyPort::~PtyPort() {
  std::lock_guard lock(mutex_);
  stop_reader_locked();
}

void PtyPort::connect(bool raw) {
  int master_fd = -1, slave_fd = -1;
  char name[64] = {};
  termios mode{};
  ::cfmakeraw(&mode);
  if (::openpty(&master_fd, &slave_fd, name, raw ? &mode : nullptr, nullptr) != 0)
    throw std::runtime_error("openpty failed");
  ftmd::UniqueFd master(master_fd), slave(slave_fd);
  ::fcntl(master.get(), F_SETFD, FD_CLOEXEC);
  ::fcntl(slave.get(), F_SETFD, FD_CLOEXEC);
  std::string tmp = link_ + ".new";
  ::unlink(tmp.c_str());
  if (::symlink(name, tmp.c_str()) != 0 || ::rename(tmp.c_str(), link_.c_str()) != 0)
    throw std::runtime_error("cannot link " + link_);
  std::lock_guard lock(mutex_);
  stop_reader_locked();
  master_ = std::move(master);
  keeper_ = std::move(slave);
  slave_path_ = name;
  start_reader_locked();
}

void PtyPort::hang_up() {
  std::lock_guard lock(mutex_);
  if (!keeper_) return;
  ::ioctl(keeper_.get(), TIOCVHANGUP);
  // Our own descriptor is hung up too: take a fresh one.
  keeper_.reset(::open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
}

void PtyPort::close_master() {
  std::lock_guard lock(mutex_);
  stop_reader_locked();
  keeper_.reset();
  master_.reset();
  slave_path_.clear();
}

void PtyPort::remove_link() { ::unlink(link_.c_str()); }

bool PtyPort::connected() const {
  std::lock_guard lock(mutex_);
  return master_.valid();
}

int PtyPort::master() const {
  std::lock_guard lock(mutex_);
  return master_.get();
}

std::string PtyPort::slave_path() const {
  std::lock_guard lock(mutex_);
  return slave_path_;
}

bool PtyPort::write(std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  if (!master_) return false;
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(master_.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void PtyPort::set_reader(Reader reader) {
  std::lock_guard lock(mutex_);
  stop_reader_locked();
  reader_ = std::move(reader);
  start_reader_locked();
}

void PtyPort::start_reader_locked() {
  if (!reader_ || !master_) return;
  wake_.clear();
  thread_ = std::jthread(
      [this, m = master_.get(), w = wake_.fd()](const std::stop_token& st) { read_loop(st, m, w); });
}

void PtyPort::stop_reader_locked() {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  wake_.signal();
  // The reader takes the mutex only in write(); it never blocks on it while
  // we hold it here... unless it is inside a callback writing. Let it finish
  // without the lock.
  mutex_.unlock();
  thread_.join();
  mutex_.lock();
  thread_ = {};
}

void PtyPort::read_loop(const std::stop_token& stop, int master, int wake) {
  std::uint8_t buf[4096];
  while (!stop.stop_requested()) {
    pollfd p[2] = {{master, POLLIN, 0}, {wake, POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) continue;
    if (p[1].revents || stop.stop_requested()) break;
    if (!(p[0].revents & POLLIN)) {
      // No slave open at all (cannot happen while we keep one): avoid a busy loop.
      ::poll(p + 1, 1, 50);
      continue;
    }
    ssize_t n = ::read(master, buf, sizeof(buf));
    if (n <= 0) continue;
    Reader reader;
    {
      std::lock_guard lock(mutex_);
      reader = reader_;
    }
    if (reader) reader(std::span<const std::uint8_t>(buf, static_cast<std::size_t>(n)));
  }
}

}  // namespace vboard
