#pragma once

#include <semaphore.h>

#include <cstdint>

// The reset key test: one short-lived reader thread per request.
namespace ftmd {

inline constexpr char kKeyDevice[] = "/dev/input/by-path/platform-keys-event";
// The one argument the key test accepts.
inline constexpr char kKeyTestArgs[] = "1";
// How long a request waits for a press, added to the realtime clock's seconds.
inline constexpr int kKeyWaitSeconds = 15;
// The reset key: code 2, pressed (value 1). Releases (0), repeats (2) and
// other codes are not a press.
inline constexpr std::uint16_t kResetKeyCode = 2;
inline constexpr std::int32_t kKeyPressValue = 1;
inline constexpr std::uint32_t kKeySeen = 1;

// One record of the key input device (the kernel's input event on a 64-bit
// platform; the type is never examined):
//
//   0          8           16     18     20      24
//   +----------+-----------+------+------+-------+
//   | sec (64) | usec (64) | type | code | value |
//   +----------+-----------+------+------+-------+
struct KeyEvent {
  std::int64_t sec;
  std::int64_t usec;
  std::uint16_t type;
  std::uint16_t code;
  std::int32_t value;
};
static_assert(sizeof(KeyEvent) == 24, "the key device delivers 24-byte records");

// Shared by key_test and its reader thread for one request; owned by the
// handler, which outlives the reader (it always joins it).
struct KeyWaitContext {
  // Posted by the reader, at most once, when it ends on its own (press seen,
  // device missing or failing). Never posted when the reader is stopped.
  sem_t* sem;
  // Bit 0 set by the reader when it sees a press. Written only by the reader;
  // the handler reads it only after the semaphore was posted or the reader
  // was joined.
  std::uint32_t flag;
  // Borrowed eventfd: becomes readable when the handler wants the reader to
  // stop. The reader waits in poll() on it and on the key device.
  int wake_fd;
};

// The reader thread body. Opens, owns and closes the key device itself; it
// ends after a press (posting), on a missing or failing device (posting) or
// when `wake_fd` becomes readable (not posting).
void keypad_check_thread(KeyWaitContext* context);

}  // namespace ftmd
