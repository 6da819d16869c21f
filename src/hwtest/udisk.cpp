#include "hwtest/udisk.h"

#include <linux/netlink.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cstdio>

#include "common/c_handle.h"
#include "common/unique_fd.h"
#include "core/shell.h"
#include "hwtest/hwtest.h"

namespace ftmd {
namespace {

// Group 1: the kernel's device events.
constexpr unsigned kUeventGroup = 1;
constexpr int kStatusLineSize = 256;

using File = CHandle<FILE, std::fclose>;

// The results are not examined: a socket that cannot be set up simply never
// reports an event, and the status file keeps its start-up text.
UniqueFd open_uevent_socket() {
  UniqueFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT));
  int size = kUeventSocketBuffer;
  (void)::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  sockaddr_nl addr{};
  addr.nl_family = AF_NETLINK;
  addr.nl_pid = static_cast<__u32>(::getpid());
  addr.nl_groups = kUeventGroup;
  (void)::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  return fd;
}

// Deleting first and letting the shell create the file anew is the device's
// way; a reader in between gets "error" or an empty reply.
void record_status(const char* command) {
  ::unlink(kUsbStatusFile);
  run_shell(command);
}

}  // namespace

void udisk_monitor() {
  UniqueFd sock = open_uevent_socket();
  std::array<char, kUeventReceiveSize> buf;
  for (;;) {
    buf.fill('\0');
    pollfd p{sock.get(), POLLIN, 0};
    if (::poll(&p, 1, kUeventPollMs) <= 0) continue;
    // One byte short of the buffer, so the header always ends in a NUL.
    ssize_t n = ::recv(sock.get(), buf.data(), buf.size() - 1, 0);
    if (n <= 0) continue;
    std::string_view header(buf.data());
    syslog(LOG_INFO, "%s\n", buf.data());
    if (header.starts_with(kUeventAddPrefix))
      record_status(kUsbAddedCommand);
    else if (header.starts_with(kUeventRemovePrefix))
      record_status(kUsbRemovedCommand);
  }
}

void seed_usb_status() {
  // The result is not checked: without the file the command answers "error".
  run_shell(kUsbSeedCommand);
}

void start_udisk_monitor() {
  // Lives as long as the process; never joined.
  static pthread_t monitor;
  ::pthread_create(
      &monitor, nullptr, [](void*) -> void* { udisk_monitor(); }, nullptr);
}

void udisk_detect(char*, ReplyBuffer& reply) {
  File file(std::fopen(kUsbStatusFile, "re"));
  if (!file) {
    reply.set("error");  // lower case, no line end: the station expects it so
    return;
  }
  std::array<char, kStatusLineSize> line{};
  if (std::fgets(line.data(), kStatusLineSize, file.get()) == nullptr) line[0] = '\0';
  reply.set(line.data());
}

}  // namespace ftmd
