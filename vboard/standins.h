#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace vboard {

// Stand-ins for the device's system tools, one shell script that acts on the
// name it is called by (installed by the board under /usr/local, first on
// PATH, and as the container runtime's path):
//
//   reboot     records that it ran (one line in reboot.log); the board
//              watches the record (Board::set_reboot_reenumerates);
//   systemctl  records the call; "restart systemd-networkd[.service]" applies
//              the MACAddress= of each /etc/systemd/network/*.network unit's
//              [Link] section to the interface its [Match] Name= names, with
//              ip link set, as networkd would (lan4 and lan3 only);
//              eth0 is left alone unless set_eth0_follows_lan4();
//   fw_printenv, fw_setenv   only while a control below links them: the
//              other U-Boot tool family's fw_printenv, a failing fw_setenv;
//   runc       "list" prints the header and a "dante" line whose third column
//              (status) is the board's container state; absent: no line.
//
// State files live in the board's /run/vboard; this class reads and sets
// them from the host.
class StandIns {
 public:
  // The board path of the script and the names it answers to.
  static constexpr char kScriptBoardPath[] = "/usr/local/vboard/libexec/vboard-standin";
  static constexpr char kBinBoardDir[] = "/usr/local/vboard/bin";
  static constexpr char kRuncBoardPath[] = "/usr/local/dep/dante_package/runc";

  // Maps a board path to the same file seen from the host.
  using HostPath = std::function<std::string(const std::string& board_path)>;
  explicit StandIns(HostPath host_path);

  // Writes the script and its links.
  void install() const;

  // "running" (default), "created", "paused", "stopped", or "absent".
  void set_container_status(const std::string& status) const;

  // Which family of U-Boot environment tools the board carries. Both store
  // and print set variables alike; for a variable that is not set
  // libubootenv (the default) prints "name=" and a line feed on stdout, the
  // U-Boot family prints nothing on stdout and an error on stderr (status 1).
  enum class EnvTools { kLibubootenv, kUboot };
  void set_env_tools(EnvTools tools) const;
  // While set, fw_setenv stores nothing and exits 1.
  void set_fw_setenv_fails(bool fails) const;
  // While set, "systemctl restart systemd-networkd" also gives eth0 the
  // address of lan4's unit file (by default eth0 is left alone).
  void set_eth0_follows_lan4(bool follows) const;

  // How many times `reboot` ran.
  int reboot_count() const;
  // Waits until `reboot` ran at least `count` times (polls the record).
  bool wait_reboot(int count, std::chrono::milliseconds timeout) const;
  // The systemctl calls, one "systemctl <args>" line each.
  std::vector<std::string> systemctl_calls() const;

  static std::string script();

 private:
  void link_tool(const char* tool, bool linked) const;

  HostPath host_;
};

}  // namespace vboard
