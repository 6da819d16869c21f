#pragma once

#include <optional>
#include <string>

#include "common/unique_fd.h"
#include "port.h"

namespace ftmd::station {

// Where the stations' port locks are: the system's lock directory.
inline constexpr char kPortLockDir[] = "/run/lock";

// A slot's claim on its port for the slot's whole life: an flock on a lock
// file named after the port as the slot names it
// ("ftmstation-path-_dev_ttyACM0.lock", "ftmstation-usb-serial-1234.lock"),
// held across the unit's reboot, when the device node itself is gone, so
// that no other station takes the port meanwhile. The file holds who has
// it. The kernel drops the lock when the process ends, however it ends.
// Move-only.
class PortLock {
 public:
  // Takes the lock of `port` for `holder` (e.g. "station \"line3\", slot a,
  // pid 4242, since 2026-12-06T10:00:00Z"). Nothing when it cannot: `error`
  // says why, naming the holder when another station has it.
  static std::optional<PortLock> take(const PortChoice& port, const std::string& holder, std::string* error,
                                      const std::string& dir = kPortLockDir);
  // The lock file's name for `port` (no directory).
  static std::string file_name(const PortChoice& port);

  const std::string& path() const { return path_; }

 private:
  PortLock(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
  UniqueFd fd_;
  std::string path_;
};

}  // namespace ftmd::station
