#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vboard/gpio.h"
#include "vboard/pty_port.h"

namespace vboard {

// How the audio MCU answers a volume request (sync AA BB, command 1, data:
// channel, volume).
enum class VolumeAnswer {
  kEcho,          // AA AA, command 1, length 2, data: channel, volume
  kNone,          // no answer at all
  kWrongSync,     // the echo, but with the second sync byte 0xBB
  kWrongCommand,  // the echo, but command 2
  kShort,         // only the first 8 bytes of the echo (a header, no data)
  kShifted,       // AA AA, command 1, length 3, data: 7, channel, volume
};

// One thing the daemon put on the rpmsg tty: a 200-byte message, or a text
// line with its line end exactly as it arrived ("test:3,1\n").
struct RpmsgRecord {
  enum class Kind { kMessage, kLine };
  Kind kind = Kind::kMessage;
  std::vector<std::uint8_t> bytes;
  std::chrono::steady_clock::time_point when;
  // For a message: GPIO 84 when it arrived, "unexported", "in/<level>" or
  // "out/<value>".
  std::string gpio84;

  std::string text() const { return {bytes.begin(), bytes.end()}; }
};

// The audio MCU behind the rpmsg tty /dev/ttyRPMSG30. It splits what the
// daemon writes into 200-byte messages (they begin with 0xAA: sync AA AA/BB,
// type u16 LE at 2, command u16 LE at 4, length u16 LE at 6, data from 8) and
// text lines (up to a line feed), records each with the state of GPIO 84, and
// answers:
//   - the leave-low-power message (command 25) with a 200-byte message of its
//     own, which is what the daemon's start-up waits for;
//   - the volume request (sync1 0xBB, command 1) as set_volume_answer() says,
//     after set_volume_delay();
// and nothing else (not the first wake-up message, not the test lines).
//
// The daemon opens and closes the tty for each exchange and a shell writes the
// test lines; the port keeps a slave descriptor of its own, so the master
// never sees a hang-up in between. The pty starts cooked, as the real device
// does: only the daemon makes it raw. Thread-safe.
class AudioMcu {
 public:
  static constexpr std::size_t kMessageSize = 200;
  static constexpr std::uint16_t kWakeup = 0;
  static constexpr std::uint16_t kVolume = 1;
  static constexpr std::uint16_t kLeaveLowPower = 25;
  static constexpr int kEnableGpio = 84;

  AudioMcu(std::string device_host_path, const Gpio& gpio);
  ~AudioMcu();

  void connect();
  PtyPort& port() { return port_; }

  // ---- Controls -------------------------------------------------------------
  // Whether the leave-low-power message is answered (default: yes). Turning
  // it back on answers a message that is waiting.
  void set_answer_leave_low_power(bool answer);
  void set_volume_answer(VolumeAnswer answer);
  // Volume answers go out this long after the request (default: at once).
  void set_volume_delay(std::chrono::milliseconds delay);

  // ---- Records --------------------------------------------------------------
  // Every chunk the daemon wrote, as read from the master.
  std::vector<std::vector<std::uint8_t>> received() const;
  // Messages and lines in the order they arrived.
  std::vector<RpmsgRecord> records(std::size_t since = 0) const;
  std::size_t record_mark() const;
  // Only the messages / only the lines' texts, from record index `since` on.
  std::vector<RpmsgRecord> messages(std::size_t since = 0) const;
  std::vector<std::string> lines(std::size_t since = 0) const;
  // Waits until there are at least `count` records.
  bool wait_records(std::size_t count, std::chrono::milliseconds timeout) const;
  // Number of leave-low-power messages seen.
  int leave_low_power_count() const;
  // Waits until at least `count` leave-low-power messages arrived.
  bool wait_leave_low_power(int count, std::chrono::milliseconds timeout) const;

  // A 200-byte message with the given fields (for answers and tests).
  static std::vector<std::uint8_t> message(std::uint8_t sync1, std::uint16_t type, std::uint16_t command,
                                           const std::vector<std::uint8_t>& data = {});
  static std::uint16_t command_of(const std::vector<std::uint8_t>& message);

 private:
  void on_chunk(std::span<const std::uint8_t> bytes);
  // Answers owed for one record; runs with mutex_ held.
  void judge_locked(const RpmsgRecord& record, std::vector<std::vector<std::uint8_t>>& now);
  void answer_later_locked(std::vector<std::uint8_t> bytes, std::chrono::milliseconds delay);
  std::string gpio84_state() const;

  PtyPort port_;
  const Gpio& gpio_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  // All guarded by mutex_:
  std::vector<std::vector<std::uint8_t>> received_;
  std::vector<std::uint8_t> pending_;  // the start of a record not complete yet
  std::vector<RpmsgRecord> records_;
  bool answer_leave_low_power_ = true;
  bool leave_waiting_ = false;
  int leave_low_power_count_ = 0;
  VolumeAnswer volume_answer_ = VolumeAnswer::kEcho;
  std::chrono::milliseconds volume_delay_{0};
  std::vector<std::jthread> late_answers_;
};

}  // namespace vboard
