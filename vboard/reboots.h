#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "common/event_fd.h"
#include "common/unique_fd.h"

namespace vboard {

class Board;

// What the test PC sees of the board's reboots. The stand-in `reboot`
// appends a line to its record (/run/vboard/reboot.log); this component
// watches the record (inotify) and, while re-enumeration is on, carries out
// each new line on its own thread, through the board's controls: ftmd stops,
// the USB port and the cable's names go, the Ethernet links drop, and after
// the boot time the port comes back on a fresh pty and ftmd starts again.
// Files and the U-Boot environment stay. Thread-safe.
class Reboots {
 public:
  // `record_dir`: the host path of the directory holding the record.
  Reboots(Board& board, const std::string& record_dir, bool reenumerate, std::chrono::milliseconds boot_time);
  Reboots(const Reboots&) = delete;
  Reboots& operator=(const Reboots&) = delete;
  // Stops watching; a reboot in progress is abandoned at its next step.
  ~Reboots();

  // Whether `reboot` re-enumerates, and how long the board "boots". Reboots
  // recorded before the call are not carried out.
  void set_reenumerates(bool on, std::chrono::milliseconds boot_time);
  // How many reboots have been carried out (port back, ftmd serving again).
  int done() const;
  bool wait_done(int count, std::chrono::milliseconds timeout) const;

  // The operator takes the unit off the fixture and puts the next one on:
  // as a reboot, but while the port is away `fresh_unit` makes the board
  // another unit. Returns once ftmd serves again (or gave up after 30 s).
  // Not counted as a reboot.
  void swap_unit(const std::function<void()>& fresh_unit);

 private:
  void watch(const std::stop_token& stop);
  void reboot(const std::stop_token& stop);
  // The port and ftmd go, `while_down` runs, and after `boot_time` both come
  // back. False when stopped meanwhile.
  bool cycle(const std::stop_token& stop, std::chrono::milliseconds boot_time,
             const std::function<void()>& while_down);

  Board& board_;
  ftmd::UniqueFd inotify_;
  ftmd::EventFd wake_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  // All guarded by mutex_:
  bool reenumerate_;
  std::chrono::milliseconds boot_time_;
  int seen_ = 0;  // lines of the record taken in
  int done_ = 0;
  std::mutex cycle_mutex_;  // one reboot or unit swap at a time

  std::jthread thread_;  // last: stops first
};

}  // namespace vboard
