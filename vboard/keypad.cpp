#include "vboard/keypad.h"

#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <stdexcept>

namespace vboard {

Keypad::Keypad(std::string device_host_path)
    : path_(std::move(device_host_path)), inotify_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
  if (!inotify_ || !wake_.valid()) throw std::runtime_error("cannot watch the key device " + path_);
  set_present(true);
  thread_ = std::jthread([this](const std::stop_token& stop) { watch(stop); });
}

Keypad::~Keypad() {
  thread_.request_stop();
  wake_.signal();
}

void Keypad::set_present(bool present) {
  std::lock_guard lock(mutex_);
  if (watch_ >= 0) ::inotify_rm_watch(inotify_.get(), watch_);
  watch_ = -1;
  readers_ = 0;
  fifo_.reset();
  ::unlink(path_.c_str());
  if (!present) return;
  if (::mkfifo(path_.c_str(), 0660) != 0) throw std::runtime_error("cannot create the key FIFO " + path_);
  fifo_.reset(::open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
  if (!fifo_) throw std::runtime_error("cannot open the key FIFO " + path_);
  // Watched after our own open: only the others' opens count.
  watch_ = ::inotify_add_watch(inotify_.get(), path_.c_str(), IN_OPEN | IN_CLOSE);
}

void Keypad::take_events_locked() const {
  alignas(inotify_event) char buf[4096];
  for (ssize_t n; (n = ::read(inotify_.get(), buf, sizeof(buf))) > 0;) {
    for (char* at = buf; at < buf + n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(at);
      at += sizeof(inotify_event) + event->len;
      if (event->wd != watch_) continue;
      if (event->mask & IN_OPEN) ++readers_;
      // The last reader is gone: what it left unread goes with it, at this
      // point of the events (a close and the next open may come in one batch).
      if ((event->mask & IN_CLOSE) && readers_ > 0 && --readers_ == 0) {
        char drain[4096];
        while (::read(fifo_.get(), drain, sizeof(drain)) > 0) {
        }
      }
    }
  }
  changed_.notify_all();
}

void Keypad::watch(const std::stop_token& stop) {
  while (!stop.stop_requested()) {
    pollfd p[2] = {{inotify_.get(), POLLIN, 0}, {wake_.fd(), POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) continue;
    if (p[1].revents) break;
    std::lock_guard lock(mutex_);
    take_events_locked();
  }
}

int Keypad::readers() const {
  std::lock_guard lock(mutex_);
  take_events_locked();
  return readers_;
}

bool Keypad::wait_reader(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  take_events_locked();
  return changed_.wait_for(lock, timeout, [&] { return readers_ > 0; });
}

bool Keypad::inject(std::uint16_t type, std::uint16_t code, std::int32_t value) {
  std::lock_guard lock(mutex_);
  if (!fifo_) return false;
  // A reader's open is queued by the time it returns: take it in first.
  take_events_locked();
  if (readers_ == 0) return true;
  input_event ev{};
  timeval now{};
  ::gettimeofday(&now, nullptr);
  ev.input_event_sec = now.tv_sec;
  ev.input_event_usec = now.tv_usec;
  ev.type = type;
  ev.code = code;
  ev.value = value;
  static_assert(sizeof(ev) == 24);
  return ::write(fifo_.get(), &ev, sizeof(ev)) == static_cast<ssize_t>(sizeof(ev));
}

bool Keypad::press_reset_key() {
  return inject(kEvKey, kResetKeyCode, 1) && inject(kEvSyn, 0, 0) && inject(kEvKey, kResetKeyCode, 0) &&
         inject(kEvSyn, 0, 0);
}

}  // namespace vboard
