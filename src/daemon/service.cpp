#include "daemon/service.h"

#include <fcntl.h>
#include <strings.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cstdint>

#include "common/host_frame.h"
#include "common/unique_fd.h"
#include "core/shell.h"
#include "daemon/command_table.h"
#include "hwtest/hwtest.h"
#include "hwtest/led.h"
#include "logicmcu/logicmcu.h"
#include "mcu/mcu.h"

namespace ftmd {
namespace {

constexpr char kRebootCommand[] = "reboot";
// The line number the test station's log parsers expect in the result trace.
constexpr int kResultTraceLine = 344;

UniqueFd open_host_port() {
  UniqueFd fd(::open(kHostPort, O_RDWR | O_NOCTTY | O_SYNC | O_CLOEXEC));
  if (!fd) {
    syslog(LOG_INFO, "file %s open failed!\n", kHostPort);
    return fd;
  }
  serial_set_attributes(fd.get(), B115200, 0);
  serial_set_blocking(fd.get(), 1);
  return fd;
}

// One pass of the link: buffers live for one request only. The receive
// buffer has a spare byte so the byte trace below always finds a NUL.
struct Exchange {
  std::array<std::uint8_t, kHostReceiveSize + 1> received{};
  std::array<char, kCommandBufferSize> command{};
  ReplyBuffer reply;
  std::array<std::uint8_t, kHostReplyFrameMax> frame{};
};

// Serves one request that `count` bytes of the read brought. Returns true
// when the reply asked for a reboot.
bool serve_request(int port, Exchange& x, std::size_t count) {
  std::span<const std::uint8_t> received(x.received.data(), count);
  syslog(LOG_INFO, "valid data len=%d, %s\n", static_cast<int>(host_request_length(received)),
         reinterpret_cast<const char*>(x.received.data() + kHostLengthOffset));
  host_request_command(received, x.command);
  syslog(LOG_INFO, "handle data is %s\n", x.command.data());

  dispatch_command(x.command.data(), x.reply);

  std::size_t size = host_reply_encode(received, x.reply.c_str(), x.frame);
  syslog(LOG_INFO, "feedback[7] = %#x\n", x.frame[kHostLengthOffset]);
  syslog(LOG_INFO, "feedback[8] = %#x\n", x.frame[kHostLengthOffset + 1]);
  syslog(LOG_INFO, "\nline %d: result-->%s\n", kResultTraceLine, x.reply.c_str());
  [[maybe_unused]] ssize_t written = ::write(port, x.frame.data(), size);

  return strncasecmp(x.reply.c_str(), kRebootReply, sizeof(kRebootReply) - 1) == 0;
}

void reboot_after_reply() {
  syslog(LOG_INFO, "string is %s\n", kRebootCommand);
  ::sleep(1);
  run_shell(kRebootCommand);
}

}  // namespace

void leds_on() {
  for (const LedChannelInfo& led : kLedChannels) {
    UniqueFd fd(::open(led.brightness, O_WRONLY | O_CLOEXEC));
    if (!fd) continue;
    if (::write(fd.get(), kLedOnValue, sizeof(kLedOnValue)) < 0)
      syslog(LOG_ERR, "write 1 value to %s/brightness error", led.name);
  }
}

int run_service() {
  leds_on();
  seed_usb_status();
  start_udisk_monitor();
  mcu_wakeup();
  start_logicmcu_receiver();

  UniqueFd port = open_host_port();
  if (!port) return 255;

  Exchange x;
  for (;;) {
    x = Exchange{};
    syslog(LOG_INFO, "try to read for %d bytes...\n", static_cast<int>(kHostReceiveSize));
    ssize_t count = ::read(port.get(), x.received.data(), kHostReceiveSize);
    if (count <= 0) {
      // The host went away (or the read failed): reopen after a pause.
      port.reset();
      ::sleep(1);
      port = open_host_port();
      if (!port) return 255;
      continue;
    }
    syslog(LOG_DEBUG, "ret value --> %d", static_cast<int>(count));
    if (serve_request(port.get(), x, static_cast<std::size_t>(count))) reboot_after_reply();
  }
}

}  // namespace ftmd
