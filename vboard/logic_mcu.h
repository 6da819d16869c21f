#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <termios.h>

#include "vboard/logic_mcu_model.h"
#include "vboard/pty_port.h"

namespace vboard {

// The logic MCU on the UART /dev/ttymxc2: answers each request frame the
// daemon writes with the frame its firmware would send (LogicMcuModel), and
// can be told to answer late, never, or wrongly.
//
// Answers go out on a sender thread at their due time, so a late answer
// never holds up reading the next request. Thread-safe.
class LogicMcu {
 public:
  using Bytes = std::vector<std::uint8_t>;
  using Group = LogicMcuModel::Group;

  // What goes wrong with an answer.
  enum class Fault {
    kNone,
    kSilent,          // no answer at all
    kSplit,           // the answer in two writes, kSplitGap apart (the daemon reads two pieces)
    kBadChecksum,     // checkbit one too high
    kUnknownCode,     // code 9 instead of the request's
    kOverlongMsglen,  // msglen field 0x0120: checkbit would lie past the daemon's 262-byte buffer
  };
  // How the requests of one code are answered.
  struct Behaviour {
    std::chrono::milliseconds delay{0};  // from the request's arrival to the answer
    Fault fault = Fault::kNone;
  };
  static constexpr std::chrono::milliseconds kSplitGap{100};
  static constexpr std::uint16_t kUnknownCode = 9;

  explicit LogicMcu(std::string device_host_path);
  LogicMcu(const LogicMcu&) = delete;
  LogicMcu& operator=(const LogicMcu&) = delete;
  ~LogicMcu();

  void connect();
  PtyPort& port() { return port_; }

  // ---- Firmware state -------------------------------------------------------
  // Groups 1 to 4 (default: input, output, output, input; levels low; a group
  // in mode 0x48 reports the number 50).
  Group group(int g) const;
  void set_group(int g, const Group& state);
  // Level sets are confirmed with failure statuses while on.
  void set_reject_level_set(bool reject);

  // ---- Answers ------------------------------------------------------------
  // How requests with `code` (1 to 4) are answered; code 0 sets all four.
  void set_behaviour(std::uint16_t code, Behaviour behaviour);
  // Writes bytes now, whatever was asked: a reply before any request, a frame
  // of an unknown code, half a frame.
  bool send(std::span<const std::uint8_t> bytes);
  // A well-formed frame.
  static Bytes frame(std::uint16_t cmd, std::span<const std::uint8_t> data);
  static Bytes frame(std::uint16_t cmd, std::initializer_list<std::uint8_t> data) {
    return frame(cmd, std::span<const std::uint8_t>(data.begin(), data.size()));
  }
  // `good` as the fault makes it (kSplit, kSilent, kNone: unchanged).
  static Bytes with_fault(Bytes good, Fault fault);

  // ---- What happened ------------------------------------------------------
  // The line settings of /dev/ttymxc2 as the daemon left them (nothing when
  // the port is closed).
  std::optional<termios> line_settings() const;
  // Every chunk the daemon wrote, as read from the master.
  std::vector<Bytes> received() const;
  // Waits until `count` chunks have arrived in all.
  bool wait_received(std::size_t count, std::chrono::milliseconds timeout) const;
  // Number of writes made so far (answers, pieces and send()), and waiting for them.
  std::size_t writes() const;
  bool wait_writes(std::size_t count, std::chrono::milliseconds timeout) const;

 private:
  using Clock = std::chrono::steady_clock;

  void on_chunk(std::span<const std::uint8_t> bytes);
  void send_loop(const std::stop_token& stop);
  void schedule_locked(Clock::time_point due, Bytes bytes);

  PtyPort port_;
  mutable std::mutex mutex_;
  mutable std::condition_variable_any changed_;
  // All guarded by mutex_:
  LogicMcuModel model_;
  std::map<std::uint16_t, Behaviour> behaviour_;
  std::multimap<Clock::time_point, Bytes> outbox_;
  std::vector<Bytes> received_;
  std::size_t writes_ = 0;
  std::jthread sender_;  // last: stops first
};

}  // namespace vboard
