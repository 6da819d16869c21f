#include "vboard/network.h"

#include <fstream>

namespace vboard {

std::vector<Interface> Network::default_interfaces() {
  return {{"eth0", "02:00:00:00:00:01", ""},
          {"lan4", "02:00:00:00:04:01", "192.0.2.1/24"},
          {"lan3", "02:00:00:00:03:01", ""}};
}

std::string Network::boot_batch(const std::vector<Interface>& interfaces) {
  std::string b = "link set lo up\n";
  for (const auto& i : interfaces) {
    b += "link add " + i.name + " type veth peer name " + peer_of(i.name) + "\n";
    if (!i.mac.empty()) b += "link set " + i.name + " address " + i.mac + "\n";
    b += "link set " + i.name + " up\n";
    if (!i.address.empty()) b += "addr add " + i.address + " dev " + i.name + "\n";
  }
  return b;
}

std::string Network::pc_batch(const std::vector<Interface>& interfaces, const std::string& address) {
  std::string b = "link set lo up\n";
  for (const auto& i : interfaces) {
    if (i.name == "lan4") b += "addr add " + address + " dev " + peer_of(i.name) + "\n";
    b += "link set " + peer_of(i.name) + " up\n";
  }
  return b;
}

Network::Network(Runner runner, std::string sysfs_host_path)
    : run_(std::move(runner)), sysfs_(std::move(sysfs_host_path)) {}

std::optional<std::string> Network::mac(const std::string& ifname) const {
  std::ifstream in(sysfs_ + "/class/net/" + ifname + "/address");
  std::string line;
  if (!std::getline(in, line)) return std::nullopt;
  return line;
}

bool Network::set_mac(const std::string& ifname, const std::string& mac) {
  return run_({"ip", "link", "set", "dev", ifname, "address", mac}) == 0;
}

bool Network::set_address(const std::string& ifname, const std::string& cidr) {
  if (run_({"ip", "-4", "addr", "flush", "dev", ifname}) != 0) return false;
  return cidr.empty() || run_({"ip", "addr", "add", cidr, "dev", ifname}) == 0;
}

bool Network::set_up(const std::string& ifname, bool up) {
  return run_({"ip", "link", "set", "dev", ifname, up ? "up" : "down"}) == 0;
}

bool Network::set_unit_dir_writable(bool writable) {
  if (writable) return run_({"umount", kUnitDir}) == 0;
  std::string dir = kUnitDir;
  return run_({"/bin/sh", "-c",
               "mkdir -p " + dir + " && mount --bind " + dir + " " + dir + " && mount -o remount,bind,ro " +
                   dir}) == 0;
}

}  // namespace vboard
