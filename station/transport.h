#pragma once

#include <chrono>
#include <cstdio>
#include <string_view>

#include "pc/link.h"

namespace ftmd::station {

// The runner's side of the cable: one request, one reply. The serial port in
// the station, a scripted fake in the runner's tests. Not thread-safe.
class Transport {
 public:
  virtual ~Transport() = default;
  // Sends `command` and waits at most `timeout` for its reply frame.
  virtual pc::Exchange transact(std::string_view command, std::chrono::milliseconds timeout) = 0;
};

// The device's serial port (owned). What the link skipped before a reply
// (a late answer to an earlier request) is told on `notes`.
class LinkTransport : public Transport {
 public:
  LinkTransport(pc::SerialLink link, std::FILE* notes) : link_(std::move(link)), notes_(notes) {}
  pc::Exchange transact(std::string_view command, std::chrono::milliseconds timeout) override {
    pc::Exchange ex = link_.transact(command, timeout);
    pc::report_skipped(notes_, "ftmstation", command, ex);
    return ex;
  }

 private:
  pc::SerialLink link_;
  std::FILE* notes_;
};

}  // namespace ftmd::station
