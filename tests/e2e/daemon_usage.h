#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "vboard/board.h"
#include "wait_until.h"

// The board's ftmd as the host sees it in /proc, to show that requests leave
// no thread, descriptor, child or memory behind.
namespace ftmd::test {

inline std::string proc_text(const std::string& path) {
  std::stringstream s;
  s << std::ifstream(path).rdbuf();
  return s.str();
}

struct DaemonUsage {
  std::size_t threads = 0;
  std::vector<std::string> fds;  // "N->target", sorted
  int children = 0;
  int zombies = 0;
  long rss_kb = 0;
  std::string describe(bool list_fds = false) const {
    std::string s = std::to_string(threads) + " threads, " + std::to_string(fds.size()) + " fds, " +
                    std::to_string(children) + " children (" + std::to_string(zombies) + " zombies), RSS " +
                    std::to_string(rss_kb) + " kB";
    for (std::size_t i = 0; list_fds && i < fds.size(); ++i) s += (i ? " " : ": ") + fds[i];
    return s;
  }
};

inline DaemonUsage daemon_usage(pid_t pid) {
  namespace fs = std::filesystem;
  const std::string proc = "/proc/" + std::to_string(pid);
  DaemonUsage u;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(proc + "/fd", ec))
    u.fds.push_back(e.path().filename().string() + "->" + fs::read_symlink(e.path(), ec).string());
  std::sort(u.fds.begin(), u.fds.end());
  for (const auto& task : fs::directory_iterator(proc + "/task", ec)) {
    ++u.threads;
    std::istringstream kids(proc_text(task.path().string() + "/children"));
    for (pid_t kid = 0; kids >> kid; ++u.children) {
      std::string stat = proc_text("/proc/" + std::to_string(kid) + "/stat");
      u.zombies += stat.find(") Z ") != std::string::npos;
    }
  }
  std::string status = proc_text(proc + "/status");
  if (auto at = status.find("\nVmRSS:"); at != std::string::npos)
    u.rss_kb = std::strtol(status.c_str() + at + 7, nullptr, 10);
  return u;
}

// The host pid of the board's ftmd (the child of the board's pid 1 so named),
// 0 when there is none.
inline pid_t daemon_host_pid(pid_t init) {
  std::istringstream children(
      proc_text("/proc/" + std::to_string(init) + "/task/" + std::to_string(init) + "/children"));
  for (pid_t pid = 0; children >> pid;)
    if (proc_text("/proc/" + std::to_string(pid) + "/comm") == "ftmd\n") return pid;
  return 0;
}

// The daemon's usage once start-up is over in every thread (`pid` is set to
// the daemon's): the logic MCU receiver has its port open and the USB monitor
// has a device-event socket (NETLINK_KOBJECT_UEVENT, protocol 15) bound to its
// port id (its pid inside the board) and group 1; both come a little after the
// daemon first serves, and events sent before are lost.
inline DaemonUsage settled_daemon_usage(vboard::Board& board, pid_t& pid) {
  pid = daemon_host_pid(board.init_pid());
  const std::string logic_port = "->" + board.host_path(board.logic_mcu().port().slave_path());
  const std::string proc = "/proc/" + std::to_string(pid);
  std::string ns_pid, line;
  std::istringstream status(proc_text(proc + "/status"));
  while (std::getline(status, line))
    if (line.starts_with("NSpid:")) ns_pid = line.substr(line.find_last_of(" \t") + 1);
  auto listening = [&] {
    std::istringstream netlink(proc_text(proc + "/net/netlink"));  // "sk Eth Pid Groups ..."
    std::getline(netlink, line);
    for (std::string sk, eth, port, groups;
         netlink >> sk >> eth >> port >> groups && std::getline(netlink, line);)
      if (eth == "15" && port == ns_pid && groups == "00000001") return true;
    return false;
  };
  DaemonUsage u;
  bool settled = wait_until([&] {
    u = daemon_usage(pid);
    return std::any_of(u.fds.begin(), u.fds.end(), [&](auto& fd) { return fd.ends_with(logic_port); }) &&
           listening();
  });
  EXPECT_TRUE(settled) << "start-up never settled: " << u.describe(true);
  return u;
}

}  // namespace ftmd::test
