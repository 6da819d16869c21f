#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace vboard {

using Clock = std::chrono::steady_clock;

// How the simulated audio MCU answers a volume request.
enum class VolumeAnswer {
  kEcho,          // AA AA, command 1, length 2, data: channel, volume
  kNone,          // no answer at all
  kWrongSync,     // the echo, but with a second sync byte 0xBB
  kWrongCommand,  // the echo, but command 2
  kShort,         // only the first 8 bytes of the echo
  kShifted,       // length 3, data: 7, channel, volume
};

// One thing the daemon put on the rpmsg tty: a 200-byte binary message, or a
// text line (with its line end, exactly as it arrived).
struct RpmsgRecord {
  enum class Kind { kMessage, kLine } kind;
  std::vector<std::uint8_t> bytes;
  Clock::time_point when;
  // For a message: the GPIO 84 state ("<direction>/<value>", "unexported")
  // when it arrived, as the board's sysfs tells.
  std::string gpio84;

  std::string text() const { return {bytes.begin(), bytes.end()}; }
  std::uint16_t type() const { return field(2); }
  std::uint16_t command() const { return field(4); }

 private:
  std::uint16_t field(std::size_t at) const {
    return bytes.size() < at + 2 ? 0xFFFF : static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
  }
};

// The audio MCU as the daemon sees it through the master side of
// /dev/ttyRPMSG30. It splits what the master reads into binary messages (they
// begin with 0xAA and are 200 bytes) and text lines (up to a line feed),
// records each, answers the leave-low-power message and volume requests, and
// delays or spoils the answers on request. Thread-safe: on_bytes() runs on the
// pty's reader thread, the controls and accessors on the test's.
class AudioMcuSim {
 public:
  using Writer = std::function<void(std::span<const std::uint8_t>)>;
  using GpioProbe = std::function<std::string()>;

  AudioMcuSim(Writer writer, GpioProbe gpio84);
  AudioMcuSim(const AudioMcuSim&) = delete;
  AudioMcuSim& operator=(const AudioMcuSim&) = delete;
  ~AudioMcuSim();

  // What the master read.
  void on_bytes(std::span<const std::uint8_t> bytes);

  // ---- controls ----
  void set_volume_answer(VolumeAnswer answer);
  // Answers to volume requests go out this long after the request.
  void set_volume_delay(std::chrono::milliseconds delay);
  // While held, the leave-low-power message is recorded but not answered;
  // releasing answers a message that is waiting.
  void hold_leave_answer(bool hold);

  // ---- records ----
  std::vector<RpmsgRecord> records() const;
  std::vector<RpmsgRecord> messages() const;
  std::vector<std::string> test_lines() const;
  // Waits until at least `count` records have arrived; false on time-out.
  bool wait_records(std::size_t count, std::chrono::milliseconds timeout);
  // Forgets what was recorded so far.
  void clear_records();

 private:
  void handle_locked(RpmsgRecord record);
  void answer_locked(std::vector<std::uint8_t> bytes, std::chrono::milliseconds delay);

  const Writer writer_;
  const GpioProbe gpio84_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::uint8_t> pending_;  // bytes of an unfinished record; guarded by mutex_
  std::vector<RpmsgRecord> records_;   // guarded by mutex_
  VolumeAnswer volume_answer_ = VolumeAnswer::kEcho;
  std::chrono::milliseconds volume_delay_{0};
  bool hold_leave_ = false;
  bool leave_waiting_ = false;
  std::vector<std::jthread> late_answers_;  // guarded by mutex_
};

}  // namespace vboard
