#pragma once

#include <termios.h>

namespace ftmd {

// The USB gadget serial port the test PC talks to.
inline constexpr char kHostPort[] = "/dev/ttyGS0";

// Switches the red, green and blue LEDs on; a missing LED is skipped silently.
void leds_on();

// Raw 8N1 at `speed`, no flow control, VMIN 0 / VTIME 5, `parity` ORed into
// c_cflag. Returns 0, or -1 after logging the failing call's errno.
int serial_set_attributes(int fd, speed_t speed, tcflag_t parity);

// VMIN 1 when `blocking` is non-zero, else 0; VTIME 5.
void serial_set_blocking(int fd, int blocking);

// Start-up and the main loop. Returns only when the port cannot be (re)opened,
// with the process exit status (255).
int run_service();

}  // namespace ftmd
