#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "vboard/pty_port.h"

namespace vboard {

// The logic MCU on the UART /dev/ttymxc2. No behaviour yet: it records what
// the daemon sends. To add behaviour: decode frames in on_chunk(), answer
// with port_.write(), keep state under mutex_ and add control methods.
class LogicMcu {
 public:
  explicit LogicMcu(std::string device_host_path);

  void connect();
  PtyPort& port() { return port_; }

  // Every chunk the daemon wrote, as read from the master.
  std::vector<std::vector<std::uint8_t>> received() const;

 private:
  void on_chunk(std::span<const std::uint8_t> bytes);

  PtyPort port_;
  mutable std::mutex mutex_;
  std::vector<std::vector<std::uint8_t>> received_;  // guarded by mutex_
};

}  // namespace vboard
