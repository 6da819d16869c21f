#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/unique_fd.h"

namespace ftmd::test {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

struct LogLine {
  int level;
  std::string text;
};

// Runs the unchanged ftmd binary in a private mount/pid/net sandbox
// (bubblewrap) where /dev/ttyGS0 is a pty slave whose master the test holds,
// /dev/log is a socket the test reads, /sys/class/leds holds plain brightness
// files, /tmp is private and `reboot` is a stand-in that only records a call.
class PtySandbox {
 public:
  struct Options {
    bool with_host_port = true;
  };
  PtySandbox() : PtySandbox(Options{}) {}
  explicit PtySandbox(Options options);
  PtySandbox(const PtySandbox&) = delete;
  PtySandbox& operator=(const PtySandbox&) = delete;
  ~PtySandbox();

  // Waits until the daemon sits in its read; false on time-out.
  bool wait_serving(std::chrono::milliseconds timeout = 10s);
  void send(const Bytes& bytes);
  // Reads one reply frame (header, length, body, checksum) from the master.
  std::optional<Bytes> read_frame(std::chrono::milliseconds timeout = 10s);
  // Bytes readable within `timeout`, for checking that nothing else came.
  Bytes read_available(std::chrono::milliseconds timeout);
  // Hangs the host side up the gentle way: the daemon's read returns 0.
  void hang_up();

  // Number of log lines so far, to wait for lines that come after it.
  std::size_t log_mark();
  // Waits for a log line containing `text`, among the lines from `since` on.
  bool wait_log(const std::string& text, std::chrono::milliseconds timeout = 10s, std::size_t since = 0);
  std::vector<LogLine> logs();
  std::optional<int> wait_exit(std::chrono::milliseconds timeout = 10s);

  // Path of a file inside the board's private /tmp or /sys, seen from outside.
  std::string state_path(const std::string& relative) const { return state_dir_ + "/" + relative; }
  // How many times `reboot` ran.
  int reboot_count() const;

 private:
  // Reads /dev/log continuously, as a syslog daemon would: a full datagram
  // queue would otherwise block the daemon inside syslog().
  void collect_logs(std::stop_token stop);

  std::string state_dir_;
  UniqueFd master_;
  UniqueFd slave_;
  UniqueFd log_socket_;
  pid_t pid_ = -1;
  std::optional<int> exit_status_;
  std::mutex log_mutex_;
  std::condition_variable log_cv_;
  std::vector<LogLine> logs_;  // guarded by log_mutex_
  std::jthread log_reader_;
};

// A request frame: seven header bytes, the little-endian length, the text.
Bytes make_request(const std::string& text, Bytes header = Bytes(7, 0));
// The reply frame the daemon must send for `text` to a request with `header`.
Bytes expected_reply(const std::string& text, Bytes header = Bytes(7, 0));

}  // namespace ftmd::test
