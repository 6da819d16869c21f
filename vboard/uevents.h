#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/unique_fd.h"

namespace vboard {

// Sends kernel device events (NETLINK_KOBJECT_UEVENT) inside the board's
// network namespace, through a socket the board created there. Messages go
// to multicast group 1, where the kernel's own uevents go.
class Uevents {
 public:
  void attach(ftmd::UniqueFd socket);

  // Sends `message` as it is.
  bool send_raw(std::string_view message);
  // Sends "action@devpath" NUL, then ACTION=, DEVPATH=, SUBSYSTEM=, SEQNUM=
  // and `extra` ("KEY=value") fields, each NUL-terminated, as the kernel does.
  bool send(const std::string& action, const std::string& devpath, const std::string& subsystem,
            const std::vector<std::string>& extra = {});

  // A USB stick on the host port appears or goes away.
  bool usb_stick(bool added);

 private:
  std::mutex mutex_;
  ftmd::UniqueFd socket_;  // guarded by mutex_
  std::uint64_t seqnum_ = 1000;
};

}  // namespace vboard
