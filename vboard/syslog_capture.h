#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/event_fd.h"
#include "common/unique_fd.h"

namespace vboard {

// One message a board process sent to /dev/log.
struct LogLine {
  int level = 0;      // 0..7 (3 error, 4 warning, 6 info, 7 debug)
  int facility = 0;   // facility number (LOG_USER is 1)
  std::string ident;  // the sender's identity, "ftmd" for the daemon
  std::string text;   // the message exactly as formatted, line feeds included
  std::chrono::steady_clock::time_point when;
};

// The board's syslog: a datagram socket bound where the board's /dev/log is,
// drained continuously by its own thread (a full queue would block the sender
// inside syslog()). Every line is kept for the board's lifetime. Thread-safe.
class SyslogCapture {
 public:
  // Binds the socket at `host_path` (a path inside the board root).
  explicit SyslogCapture(const std::string& host_path);
  SyslogCapture(const SyslogCapture&) = delete;
  SyslogCapture& operator=(const SyslogCapture&) = delete;
  ~SyslogCapture();

  // Every query first takes in what is already queued on the socket, so a
  // line logged before the call (e.g. before a reply the test has read) is
  // always seen by it.

  // Number of lines so far: pass it as `since` to look only at later lines.
  std::size_t mark() const;
  // Lines from index `since` on.
  std::vector<LogLine> lines(std::size_t since = 0) const;

  // Waits for a line from `since` on that satisfies `match`; returns it, or
  // nothing at the deadline.
  std::optional<LogLine> wait(const std::function<bool(const LogLine&)>& match,
                              std::chrono::milliseconds timeout, std::size_t since = 0) const;
  // Waits for a line containing `text` (and at `level`, when given).
  std::optional<LogLine> wait_for(std::string_view text, std::chrono::milliseconds timeout,
                                  std::size_t since = 0, std::optional<int> level = {}) const;
  // Waits for a line equal to `text` (line feeds included) at `level`.
  std::optional<LogLine> wait_exact(std::string_view text, int level, std::chrono::milliseconds timeout,
                                    std::size_t since = 0) const;
  // Lines containing `text` from `since` on, at `level` when given.
  std::size_t count(std::string_view text, std::size_t since = 0, std::optional<int> level = {}) const;

  // Called for every new line (e.g. to print it), on whichever thread takes
  // it in; it must not call back into the capture.
  void set_observer(std::function<void(const LogLine&)> observer);

  // Parses one datagram "<PRI>Mmm dd hh:mm:ss ident: text".
  static LogLine parse(std::string_view datagram);

 private:
  void drain(const std::stop_token& stop);
  // Receives every queued datagram without blocking.
  void take_queued() const;
  void append(std::string_view datagram) const;

  ftmd::UniqueFd socket_;
  ftmd::EventFd wake_;
  mutable std::mutex receive_mutex_;  // one receiver at a time, lines in order
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  mutable std::vector<LogLine> lines_;            // guarded by mutex_
  std::function<void(const LogLine&)> observer_;  // guarded by mutex_
  std::jthread reader_;
};

}  // namespace vboard
