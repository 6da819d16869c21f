#pragma once

#include <cstddef>
#include <cstdint>

#include "core/reply_buffer.h"

namespace ftmd {

// The audio MCU's side of the device, as the daemon sees it: one rpmsg tty
// and one enable line.
inline constexpr char kRpmsgTty[] = "/dev/ttyRPMSG30";
inline constexpr int kMcuEnableGpio = 84;

// ---- Wake-up handshake (start-up) -----------------------------------------

// Start-up handshake with the audio MCU, on the main thread: drives GPIO 84,
// greets the MCU, waits (without a time limit) until the Dante container runs,
// tells the MCU to leave low-power mode and waits for its answer. Ends the
// process with status 1 when the rpmsg tty is missing or cannot be set up.
void mcu_wakeup();

// Exports GPIO 84, makes it an output and drives it high. Each of the three
// steps runs whatever became of the one before; failures are only logged.
void mcu_gpio_enable();

// ---- Volume ----------------------------------------------------------------

// What the MCU's answer to the volume request must echo: the channel byte and
// the volume byte of the request last written. Process-wide, main thread only;
// cleared at the start of every exchange.
struct VolumeExpect {
  int expected_channel = 0;
  int expected_volume = 0;
};
extern VolumeExpect volume_expect;

struct RpmsgIpcMessage;

// Arguments "=<channel>,<volume>" (any one character in place of the "="):
// sets one channel's volume on the MCU and answers "OK,volume=%d,%d\n" once the
// MCU has echoed both, else "ERROR\n".
void volume_test(char* args, ReplyBuffer& reply);

// True when `args` is one or more digits, one comma, one or more digits, and
// nothing else (no sign, no blank, no line end).
bool volume_args_valid(const char* args);

// Sends `request` on the rpmsg tty and waits up to about 10 s for the answer,
// leaving the reply text: the first bytes the MCU has sent, even before the
// request, are judged. Opens and closes the tty itself.
void volume_exchange(const RpmsgIpcMessage& request, ReplyBuffer& reply);

// Judges the `count` bytes of one MCU answer against `volume_expect` and
// leaves "OK,volume=%d,%d\n" or "ERROR\n".
void volume_parse_reply(const std::uint8_t* bytes, std::size_t count, ReplyBuffer& reply);

// ---- Circuit test and ageing record ----------------------------------------

// Arguments "<test 1..14>,<1|2>": writes "test:%d,%d" to the MCU.
void circuit_test(char* args, ReplyBuffer& reply);

// Arguments "15,<value>": writes "test:15,<value>" to the MCU and records the
// value in the boot environment; "?" reads it back.
void deviceaging_test(char* args, ReplyBuffer& reply);

// Runs "fw_setenv aging <value>"; true when the command could be started (its
// exit status is not judged).
bool aging_env_write(int value);

// Fills `buf` (of `size` bytes) with the line "aging=<value>" that fw_printenv
// prints, without its line feed; leaves it untouched when the variable is not
// set or the tool cannot be started.
void aging_env_read(char* buf, int size);

}  // namespace ftmd
