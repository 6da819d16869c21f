#pragma once

#include <chrono>
#include <string_view>

#include "link.h"

namespace ftmd::station {

// The runner's side of the cable: one request, one reply. The serial port in
// the station, a scripted fake in the runner's tests. Not thread-safe.
class Transport {
 public:
  virtual ~Transport() = default;
  // Sends `command` and waits at most `timeout` for its reply frame.
  virtual client::Exchange transact(std::string_view command, std::chrono::milliseconds timeout) = 0;
};

// The device's serial port (owned).
class LinkTransport : public Transport {
 public:
  explicit LinkTransport(client::SerialLink link) : link_(std::move(link)) {}
  client::Exchange transact(std::string_view command, std::chrono::milliseconds timeout) override {
    return link_.transact(command, timeout);
  }

 private:
  client::SerialLink link_;
};

}  // namespace ftmd::station
