#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "common/event_fd.h"
#include "common/unique_fd.h"

namespace vboard {

// The key input device /dev/input/by-path/platform-keys-event, a FIFO that
// the board holds open read-write for its whole life (so the daemon's open
// never blocks and its reads never see end of file). Each injected event is
// one 24-byte struct input_event.
//
// Like an evdev node, it gives a reader only the events made while it has
// the device open: the board follows the opens and closes of the FIFO
// (inotify), drops an event while nobody reads, and discards what a reader
// left unread when it closes. So a press made while no key test was running
// does not answer the next one. Thread-safe.
class Keypad {
 public:
  static constexpr std::uint16_t kEvKey = 1;
  static constexpr std::uint16_t kEvSyn = 0;
  // The reset key's code.
  static constexpr std::uint16_t kResetKeyCode = 2;

  // Creates the FIFO at `device_host_path` (seen from the host).
  explicit Keypad(std::string device_host_path);
  Keypad(const Keypad&) = delete;
  Keypad& operator=(const Keypad&) = delete;
  ~Keypad();

  // Makes one input_event (time stamp: now): delivered when a reader has the
  // device open, else lost. False only when the device is absent or full.
  bool inject(std::uint16_t type, std::uint16_t code, std::int32_t value);
  // A press and release of the reset key, each followed by a sync event.
  bool press_reset_key();
  // Removes the device node (no key driver) or puts it back.
  void set_present(bool present);

  // How many open descriptors of the device others hold (a key test's reader).
  int readers() const;
  // Waits until someone has the device open.
  bool wait_reader(std::chrono::milliseconds timeout) const;

 private:
  void watch(const std::stop_token& stop);
  // Takes in the opens and closes queued on the inotify descriptor.
  void take_events_locked() const;

  const std::string path_;
  const ftmd::UniqueFd inotify_;
  ftmd::EventFd wake_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  // All guarded by mutex_:
  ftmd::UniqueFd fifo_;
  int watch_ = -1;  // the FIFO's inotify watch
  mutable int readers_ = 0;
  std::jthread thread_;  // last: stops first
};

}  // namespace vboard
