#pragma once

#include <cstdint>
#include <string>

#include "common/unique_fd.h"

namespace vboard {

// The key input device /dev/input/by-path/platform-keys-event, a FIFO that
// the board holds open read-write for its whole life (so the daemon's open
// never blocks and its reads never see end of file). Each injected event is
// one 24-byte struct input_event.
class Keypad {
 public:
  static constexpr std::uint16_t kEvKey = 1;
  static constexpr std::uint16_t kEvSyn = 0;
  // The reset key's code.
  static constexpr std::uint16_t kResetKeyCode = 2;

  // Creates the FIFO at `device_host_path` (seen from the host).
  explicit Keypad(std::string device_host_path);

  // Writes one input_event record (time stamp: now).
  bool inject(std::uint16_t type, std::uint16_t code, std::int32_t value);
  // A press and release of the reset key, each followed by a sync event.
  bool press_reset_key();
  // Removes the device node (no key driver) or puts it back.
  void set_present(bool present);

 private:
  std::string path_;
  ftmd::UniqueFd fifo_;
};

}  // namespace vboard
