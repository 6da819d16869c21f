#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "common/event_fd.h"
#include "common/unique_fd.h"

namespace vboard {

// A pty pair standing for one serial device of the board: the board's device
// path (e.g. /dev/ttyGS0) is a symlink to the slave /dev/pts/N, the board
// holds the master, and keeps one slave descriptor of its own open so the
// master never sees a hang-up while the daemon has the port closed.
//
// Optionally a reader thread hands every chunk the master reads to a callback
// (simulators answer from there). Thread-safe; the callback runs on the reader
// thread and may call write().
class PtyPort {
 public:
  using Reader = std::function<void(std::span<const std::uint8_t>)>;

  // `link_host_path` is the device path as seen from the host (inside the
  // board's root directory). Nothing is created yet.
  explicit PtyPort(std::string link_host_path);
  PtyPort(const PtyPort&) = delete;
  PtyPort& operator=(const PtyPort&) = delete;
  ~PtyPort();

  // A fresh pty behind the path (atomically replacing the link); the old
  // master, if any, is closed afterwards. The slave starts cooked (as a new
  // tty does) unless `raw`.
  void connect(bool raw = false);
  // The gentle hang-up (TIOCVHANGUP on the slave): the daemon's read returns
  // 0, the path stays and reopening it works.
  void hang_up();
  // The hard way: the master is closed, the daemon's read fails with EIO and
  // the slave node vanishes; the link dangles until connect().
  void close_master();
  // Removes the device path (the master stays).
  void remove_link();

  bool connected() const;
  // Borrowed master descriptor, -1 when closed. Valid until the next
  // connect()/close_master().
  int master() const;
  // The slave's /dev/pts path ("" when closed).
  std::string slave_path() const;
  const std::string& link_path() const { return link_; }

  // Writes all bytes to the master; false if not connected or on error.
  bool write(std::span<const std::uint8_t> bytes);

  // Starts handing what the master reads to `reader` (replacing any reader).
  void set_reader(Reader reader);

 private:
  void start_reader_locked();
  void stop_reader_locked();
  void read_loop(const std::stop_token& stop, int master, int wake);

  const std::string link_;
  mutable std::mutex mutex_;
  ftmd::UniqueFd master_;   // guarded by mutex_
  ftmd::UniqueFd keeper_;   // the board's own slave descriptor
  std::string slave_path_;  // guarded by mutex_
  Reader reader_;           // guarded by mutex_
  ftmd::EventFd wake_;
  std::jthread thread_;
};

}  // namespace vboard
