#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/unique_fd.h"

namespace vboard {

// The init protocol: messages on the control socket (SOCK_SEQPACKET) between
// the test process (BoardProcesses, board_processes.h) and the board's side:
// the namespace child and the board's pid 1. Each message is one header, an optional payload (texts, NUL
// separated) and optional descriptors (SCM_RIGHTS).
enum class InitMsg : std::uint32_t {
  // board -> test process
  kNamespaces = 1,  // the namespaces exist: write the id maps now
  kInitPid,         // a = host pid of the board's pid 1
  kFuseFd,          // fd: /dev/fuse of the mounted hardware tree
  kUeventFd,        // fd: a NETLINK_KOBJECT_UEVENT socket in the board's netns
  kPcNetFd,         // fd: the test PC's network namespace (lan4's peer)
  kReady,           // the root is set up; pid 1 serves requests
  kFailed,          // payload: one line saying what went wrong
  kStarted,         // a = token, b = pid inside the board
  kExited,          // a = token, b = exit status (128 + signal when killed)
  // test process -> board
  kMapped,       // id maps written
  kStartDaemon,  // a = token
  kExec,         // a = token, payload = argv, fds = stdin, stdout, stderr
  kSignal,       // a = token, b = signal
};

struct InitHeader {
  InitMsg type;
  std::int32_t a = 0;
  std::int32_t b = 0;
};

// Sends one message; returns false on failure.
bool send_init_msg(int sock, InitHeader header, std::string_view payload = {}, std::span<const int> fds = {});

struct InitMessage {
  InitHeader header{};
  std::string payload;
  std::vector<ftmd::UniqueFd> fds;
};
// Receives one message; false on end of file or error.
bool recv_init_msg(int sock, InitMessage& out);

// Everything the board's side needs, prepared by the test process before it
// forks, so that the child does little more than system calls.
struct InitPlan {
  struct Bind {
    std::string source;  // host path
    std::string target;  // host path under the board root
    bool read_only = false;
  };
  std::string root;                   // host path of the board's root directory
  std::vector<Bind> binds;            // before the hardware tree is mounted
  std::string fuse_mountpoint;        // host path (under root) of the hardware tree
  std::string net_sysfs;              // host path (under root) of the netns's sysfs
  std::vector<Bind> late_binds;       // after the hardware tree and sysfs
  std::string ip_binary;              // host path of ip(8)
  std::string net_batch;              // host path of the `ip -batch` file
  std::vector<std::string> pc_links;  // veth peers moved to the PC's netns (none: no PC)
  std::string pc_batch;               // host path of the PC side's `ip -batch` file
  std::string daemon_path;            // path of the daemon inside the board
  std::string daemon_emulator;        // qemu-user to run it with, "" when native
  std::string daemon_output;          // board path of the daemon's stdout/stderr
  std::string hostname;
  std::vector<std::string> env;  // environment of every board process
};

// The child side: creates the namespaces, lets the test process map the ids,
// forks the board's pid 1 and waits for it. Never returns.
[[noreturn]] void run_namespace_child(const InitPlan& plan, int ctl);

}  // namespace vboard
