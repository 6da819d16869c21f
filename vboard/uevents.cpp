#include "vboard/uevents.h"

#include <linux/netlink.h>
#include <sys/socket.h>

namespace vboard {

void Uevents::attach(ftmd::UniqueFd socket) {
  std::lock_guard lock(mutex_);
  socket_ = std::move(socket);
}

bool Uevents::send_raw(std::string_view message) {
  std::lock_guard lock(mutex_);
  if (!socket_) return false;
  sockaddr_nl to{};
  to.nl_family = AF_NETLINK;
  to.nl_groups = 1;
  return ::sendto(socket_.get(), message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&to),
                  sizeof(to)) == static_cast<ssize_t>(message.size());
}

bool Uevents::send(const std::string& action, const std::string& devpath, const std::string& subsystem,
                   const std::vector<std::string>& extra) {
  std::string m = action + "@" + devpath;
  m.push_back('\0');
  std::vector<std::string> fields = {"ACTION=" + action, "DEVPATH=" + devpath, "SUBSYSTEM=" + subsystem};
  {
    std::lock_guard lock(mutex_);
    fields.push_back("SEQNUM=" + std::to_string(++seqnum_));
  }
  fields.insert(fields.end(), extra.begin(), extra.end());
  for (const auto& f : fields) {
    m += f;
    m.push_back('\0');
  }
  return send_raw(m);
}

bool Uevents::usb_stick(bool added) {
  return send(added ? "add" : "remove",
              "/devices/platform/soc@0/32f10108.usb/38200000.usb/xhci-hcd.1.auto/usb1/1-1", "usb",
              {"DEVTYPE=usb_device", "PRODUCT=781/5567/100"});
}

}  // namespace vboard
