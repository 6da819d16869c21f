#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "common/unique_fd.h"

namespace ftmd {

// A wake-up for a thread that waits in poll(): it watches fd() for POLLIN
// beside its device, and another thread's signal() makes fd() readable until
// clear(). Non-blocking and close-on-exec. Both calls are async-signal-safe.
class EventFd {
 public:
  EventFd() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

  // False when the kernel gave no eventfd (out of descriptors).
  bool valid() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }

  void signal() const {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(fd_.get(), &one, sizeof(one));
  }
  void clear() const {
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t n = ::read(fd_.get(), &count, sizeof(count));
  }

 private:
  UniqueFd fd_;
};

}  // namespace ftmd
