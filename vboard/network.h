#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vboard {

// One of the board's Ethernet interfaces: a veth pair whose peer
// ("<name>-pc") is the test PC's end, in the PC's own network namespace.
struct Interface {
  std::string name;
  std::string mac;      // "02:00:..." as ip(8) takes it
  std::string address;  // IPv4 with prefix ("192.0.2.1/24"), or empty
};

// The board's network: eth0, lan4 and lan3 as real interfaces, visible in
// /sys/class/net. Controls run ip(8) inside the board.
class Network {
 public:
  // Runs argv inside the board; returns the exit status.
  using Runner = std::function<int(const std::vector<std::string>& argv)>;

  static std::vector<Interface> default_interfaces();
  // The `ip -batch` text that creates the interfaces at boot.
  static std::string boot_batch(const std::vector<Interface>& interfaces);
  // The veth peer of a board interface: the PC's end of that cable.
  static std::string peer_of(const std::string& ifname) { return ifname + "-pc"; }
  // The `ip -batch` text that sets up the test PC's ends (the peers, moved
  // into the PC's network namespace): all up, lan4's with `address`.
  static std::string pc_batch(const std::vector<Interface>& interfaces, const std::string& address);

  // `sysfs_host_path`: the board's own sysfs, seen from the host.
  Network(Runner runner, std::string sysfs_host_path);

  // The MAC address the kernel reports ("02:00:00:00:04:01"), nothing if the
  // interface does not exist.
  std::optional<std::string> mac(const std::string& ifname) const;
  bool set_mac(const std::string& ifname, const std::string& mac);
  // Replaces the interface's IPv4 addresses by `cidr` (empty: none).
  bool set_address(const std::string& ifname, const std::string& cidr);
  bool set_up(const std::string& ifname, bool up);

  // systemd-networkd's unit directory, "/etc/systemd/network".
  static constexpr char kUnitDir[] = "/etc/systemd/network";
  // Makes the unit directory read-only (a read-only bind mount of it on
  // itself, which root cannot write through either: EROFS) or writable again.
  bool set_unit_dir_writable(bool writable);

 private:
  Runner run_;
  std::string sysfs_;
};

}  // namespace vboard
