#include "vboard/keypad.h"

#include <fcntl.h>
#include <linux/input.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <stdexcept>

namespace vboard {

Keypad::Keypad(std::string device_host_path) : path_(std::move(device_host_path)) { set_present(true); }

void Keypad::set_present(bool present) {
  fifo_.reset();
  ::unlink(path_.c_str());
  if (!present) return;
  if (::mkfifo(path_.c_str(), 0660) != 0) throw std::runtime_error("cannot create the key FIFO " + path_);
  fifo_.reset(::open(path_.c_str(), O_RDWR | O_CLOEXEC));
  if (!fifo_) throw std::runtime_error("cannot open the key FIFO " + path_);
}

bool Keypad::inject(std::uint16_t type, std::uint16_t code, std::int32_t value) {
  if (!fifo_) return false;
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
