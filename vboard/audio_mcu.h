#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "vboard/pty_port.h"

namespace vboard {

// The audio MCU behind the rpmsg tty /dev/ttyRPMSG30. It receives 200-byte
// messages (sync AA AA, type u16 LE at 2, command u16 LE at 4, length u16 LE
// at 6, data from 8) and text lines. For now it answers only the
// leave-low-power message (command 25) with a 200-byte message of its own,
// which is what the daemon's start-up waits for.
//
// To add behaviour: handle more commands in on_chunk() (answer with
// port_.write()), keep the state under mutex_, and add a control method.
class AudioMcu {
 public:
  static constexpr std::size_t kMessageSize = 200;
  static constexpr std::uint16_t kLeaveLowPower = 25;

  explicit AudioMcu(std::string device_host_path);

  void connect();
  PtyPort& port() { return port_; }

  // Whether the leave-low-power message is answered (default: yes).
  void set_answer_leave_low_power(bool answer);

  // Every chunk the daemon wrote, as read from the master.
  std::vector<std::vector<std::uint8_t>> received() const;
  // Number of leave-low-power messages seen.
  int leave_low_power_count() const;
  // Waits until at least `count` leave-low-power messages arrived.
  bool wait_leave_low_power(int count, std::chrono::milliseconds timeout) const;

  // A 200-byte message with the given fields (for answers and tests).
  static std::vector<std::uint8_t> message(std::uint8_t sync1, std::uint16_t type, std::uint16_t command,
                                           const std::vector<std::uint8_t>& data = {});
  static std::uint16_t command_of(const std::vector<std::uint8_t>& message);

 private:
  void on_chunk(std::span<const std::uint8_t> bytes);

  PtyPort port_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::vector<std::uint8_t>> received_;  // guarded by mutex_
  bool answer_leave_low_power_ = true;               // guarded by mutex_
  int leave_low_power_count_ = 0;                    // guarded by mutex_
};

}  // namespace vboard
