#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "common/unique_fd.h"
#include "core/shell.h"
#include "mcu/mcu.h"
#include "mcu/rpmsg.h"

namespace ftmd {
namespace {

// One write into the sysfs GPIO interface, with the log texts the line's
// engineers know from the device.
struct GpioStep {
  const char* path;
  const char* value;  // written with its NUL: the driver takes it as part of the value
  const char* exists;
  const char* cannot_open;
  const char* write_failed;
  const char* missing;
};

constexpr GpioStep kGpioEnableSteps[] = {
    {"/sys/class/gpio/export", "84", "Node1 exists, start handle step1......\n",
     "cannot read /sys/class/gpio/export the file\n", "write 84 value to node1 error\n",
     "/sys/class/gpio/export not exists, please check it\n"},
    {"/sys/class/gpio/gpio84/direction", "out", "Node2 exists, start handle step2......\n",
     "cannot read /sys/class/gpio/gpio84/direction the file\n", "write out value to node2 error\n",
     "/sys/class/gpio/gpio84/direction not exists, please check it\n"},
    {"/sys/class/gpio/gpio84/value", "1", "Node3 exists, start handle step3......\n",
     "cannot read /sys/class/gpio/gpio84/value the file\n", "write 1 value to node3 error",
     "/sys/class/gpio/gpio84/value not exists, please check it\n"},
};

// Prints the status column of the Dante container's line of the runtime's list.
constexpr char kDantePollCommand[] = "/usr/local/dep/dante_package/runc list|grep dante |awk '{print $3}'";
constexpr char kDanteRunning[] = "running";
constexpr unsigned kDantePollIntervalSeconds = 2;
// The MCU leaves low-power mode a moment after the container reports running.
constexpr unsigned kLeaveLpmDelaySeconds = 1;
constexpr std::size_t kPollLineMax = 1023;

void write_message(int fd, const RpmsgIpcMessage& message) {
  const RpmsgWire wire = message.wire();
  [[maybe_unused]] ssize_t n = ::write(fd, wire.data(), wire.size());
}

bool dante_running() {
  // No output at all counts as a state other than running.
  std::string line = first_output_line(kDantePollCommand, kPollLineMax).line.value_or("");
  syslog(LOG_DEBUG, "output --> %s", line.c_str());
  return line.starts_with(kDanteRunning);
}

}  // namespace

void mcu_gpio_enable() {
  for (const GpioStep& step : kGpioEnableSteps) {
    if (::access(step.path, F_OK) != 0) {
      syslog(LOG_ERR, "%s", step.missing);
      continue;
    }
    syslog(LOG_INFO, "%s", step.exists);
    UniqueFd fd(::open(step.path, O_WRONLY | O_CLOEXEC));
    if (!fd) {
      syslog(LOG_ERR, "%s", step.cannot_open);
      continue;
    }
    if (::write(fd.get(), step.value, std::strlen(step.value) + 1) < 0)
      syslog(LOG_ERR, "%s", step.write_failed);
  }
}

void mcu_wakeup() {
  UniqueFd fd = rpmsg_open();
  if (!fd) {
    syslog(LOG_ERR, "Please insert the imx_rpmsg_tty module\n");
    // The worker threads already run; end without unwinding them.
    ::_exit(1);
  }

  mcu_gpio_enable();
  write_message(fd.get(), rpmsg_wakeup_message());

  while (!dante_running()) ::sleep(kDantePollIntervalSeconds);
  ::sleep(kLeaveLpmDelaySeconds);

  syslog(LOG_DEBUG, "---->MCU_SOC_IPC_LEAVE_LPM-----");
  write_message(fd.get(), rpmsg_leave_lpm_message());

  // Any bytes will do, those already waiting too: the MCU only tells us it is
  // awake.
  RpmsgWire answer{};
  while (::read(fd.get(), answer.data(), answer.size()) < 0 && errno == EINTR) {
  }
}

}  // namespace ftmd
