#include "mcu/rpmsg.h"

#include <fcntl.h>
#include <syslog.h>
#include <termios.h>

#include "mcu/mcu.h"

namespace ftmd {
namespace {

void put_u16(RpmsgWire& wire, std::size_t offset, std::uint16_t value) {
  wire[offset] = static_cast<std::uint8_t>(value & 0xFF);
  wire[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

// Raw on the application side; control flags, speed and VMIN/VTIME are the
// driver's business and stay as they are.
bool make_raw(int fd) {
  termios tty{};
  if (tcgetattr(fd, &tty) != 0) return false;
  tty.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
  tty.c_oflag = 0;
  tty.c_lflag = 0;
  return tcsetattr(fd, TCSANOW, &tty) == 0;
}

}  // namespace

RpmsgWire RpmsgIpcMessage::wire() const {
  RpmsgWire out{};
  out[0] = sync0;
  out[1] = sync1;
  put_u16(out, 2, type);
  put_u16(out, 4, command);
  put_u16(out, 6, length);
  for (std::size_t i = 0; i < kRpmsgDataSize; ++i) out[kRpmsgHeaderSize + i] = data[i];
  return out;
}

RpmsgIpcMessage rpmsg_wakeup_message() {
  RpmsgIpcMessage m;
  m.type = kRpmsgTypeWakeup;
  m.command = kMcuCmdWakeup;
  return m;
}

RpmsgIpcMessage rpmsg_leave_lpm_message() {
  RpmsgIpcMessage m;
  m.type = kRpmsgTypeControl;
  m.command = kMcuCmdLeaveLpm;
  return m;
}

RpmsgIpcMessage rpmsg_volume_request(int channel, int volume) {
  RpmsgIpcMessage m;
  m.sync1 = kRpmsgVolumeSync1;
  m.type = kRpmsgTypeControl;
  m.command = kMcuCmdVolume;
  m.length = 2;
  // The MCU knows channels up to 255: only the low byte goes out.
  m.data[0] = static_cast<std::uint8_t>(channel & 0xFF);
  m.data[1] = static_cast<std::uint8_t>(volume);
  return m;
}

UniqueFd rpmsg_open() {
  UniqueFd fd(::open(kRpmsgTty, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!fd) {
    syslog(LOG_ERR, "%s open error", kRpmsgTty);
    return fd;
  }
  // Reads block until the MCU says something.
  if (::fcntl(fd.get(), F_SETFL, 0) != 0 || !make_raw(fd.get())) fd.reset();
  return fd;
}

UniqueFd rpmsg_open_nonblock() {
  UniqueFd fd(::open(kRpmsgTty, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!fd) {
    syslog(LOG_ERR, "Failed open %s serial", kRpmsgTty);
    return fd;
  }
  if (::fcntl(fd.get(), F_SETFL, O_NONBLOCK) != 0) {
    syslog(LOG_ERR, "Failed to set non blocking mode\n");
    return UniqueFd();
  }
  if (!make_raw(fd.get())) {
    syslog(LOG_ERR, "Failed to apply Serial port Configuration\n");
    return UniqueFd();
  }
  return fd;
}

}  // namespace ftmd
