#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/unique_fd.h"
#include "vboard/audio_mcu.h"
#include "vboard/board_root.h"
#include "vboard/gpio.h"
#include "vboard/keypad.h"
#include "vboard/launcher.h"
#include "vboard/leds.h"
#include "vboard/logic_mcu.h"
#include "vboard/network.h"
#include "vboard/standins.h"
#include "vboard/sysfs.h"
#include "vboard/syslog_capture.h"
#include "vboard/triggers.h"
#include "vboard/uboot_env.h"
#include "vboard/uevents.h"
#include "vboard/usb_host.h"

namespace vboard {

class BoardProcesses;
class FuseServer;
class Reboots;

using namespace std::chrono_literals;

// The board could not be booted; what() is one line saying why.
class BoardError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// How a board boots. Everything has a working default but `ftmd`.
struct BoardOptions {
  std::string ftmd;          // the daemon binary (host path), required
  bool start_daemon = true;  // start ftmd as soon as the board is up
  bool host_port = true;     // /dev/ttyGS0 exists (the USB cable is in)
  bool rpmsg_port = true;    // /dev/ttyRPMSG30 exists (imx_rpmsg_tty loaded)
  bool logic_port = true;    // /dev/ttymxc2 exists
  bool key_device = true;    // /dev/input/by-path/platform-keys-event exists
  std::string os_release = "NAME=\"Tamo Linux\"\nVERSION_ID=1.2.3\n";
  std::string soc_uid = "0x1122334455667788\n";
  UbootEnv::Vars boot_env = {{"baudrate", "115200"}, {"bootdelay", "1"}};
  // Two copies of the environment (fw_env.config with two lines), as a BSP
  // that must survive a power cut during fw_setenv configures it.
  bool redundant_env = false;
  std::string container_status = "running";  // of the "dante" container
  std::vector<Interface> interfaces = Network::default_interfaces();
  // The test PC's address on lan4's peer (in a network namespace of its
  // own); empty: no PC network.
  std::string pc_address = "192.0.2.2/24";
  // busybox httpd serving /var/www/html on port 80, as the device's web server.
  bool web_server = true;
  // Where the board's directory is made; empty: /dev/shm (memory, faster to
  // set up) when it is writable, else /tmp.
  std::string state_parent;
  // The audio-network module's activation files in /data/dante_data/activation
  // (name -> content; a name not listed is absent).
  std::map<std::string, std::string> activation_files = {
      {"device.lic", "vboard device licence 0001\n"},
      {"manufacturer.cert", "vboard manufacturer certificate 0001\n"}};
  // What `reboot` does. Off: it is only recorded. On: the board reboots as
  // the test PC sees it: the PC-side port (the cable) vanishes, ftmd is
  // stopped, and after `boot_time` the port comes back at the same path on a
  // fresh pty and ftmd starts again. Files and the U-Boot environment stay.
  bool reboot_reenumerates = false;
  std::chrono::milliseconds boot_time{1500};
};

// One fresh virtual board running the unchanged ftmd: private user, mount,
// network, pid, IPC and UTS namespaces; a root directory with the daemon's
// fixed paths (simulated /sys and /dev/triggerout over FUSE, ptys for the
// three ttys, a captured /dev/log, the real U-Boot tools on a file-backed
// environment, stand-ins for systemctl, reboot and runc); and the peripheral
// simulators with their controls.
//
// A Board is the simulators and three parts with one job each: BoardRoot
// (board_root.h: the board's directory and root file system), BoardProcesses
// (board_processes.h: the namespaces, pid 1 and the programs it runs) and
// Reboots (reboots.h: what a reboot looks like from the test PC).
//
// The constructor boots (throws BoardError), the destructor tears everything
// down: every board process dies with the board's pid 1, and the namespaces,
// mounts and interfaces go with them. If the creating process (thread) dies,
// the board dies too (PR_SET_PDEATHSIG). Create and destroy a Board on the
// same thread; its other methods are thread-safe.
class Board {
 public:
  explicit Board(BoardOptions options);
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;
  ~Board();

  // ---- The daemon -----------------------------------------------------------
  // The log line the daemon writes just before each read of /dev/ttyGS0.
  static constexpr char kServingLine[] = "try to read for 2048 bytes...\n";

  // Starts ftmd (again); a running instance is killed first.
  void start_daemon();
  // Sends `signal` to the daemon.
  void kill_daemon(int signal = SIGKILL);
  // Waits until the daemon logged kServingLine after log index `since`.
  bool wait_serving(std::chrono::milliseconds timeout = 10s, std::size_t since = 0) const;
  // Waits for the daemon to end; its exit status (128 + signal when killed).
  std::optional<int> wait_daemon_exit(std::chrono::milliseconds timeout = 10s) const;
  bool daemon_running() const;
  // What the daemon wrote to stdout and stderr.
  std::string daemon_output() const;

  // ---- Reboots --------------------------------------------------------------
  // Whether `reboot` re-enumerates the PC-side port and restarts ftmd
  // (BoardOptions::reboot_reenumerates), and how long the board "boots".
  void set_reboot_reenumerates(bool on, std::chrono::milliseconds boot_time = 1500ms);
  // How many reboots have been carried out (port back, ftmd serving again).
  int reboots_done() const;
  // Waits until at least `count` reboots have been carried out.
  bool wait_rebooted(int count, std::chrono::milliseconds timeout) const;

  // ---- The next unit on the fixture ---------------------------------------
  // The operator puts another unit on: the port and ftmd go as in a reboot,
  // and the board comes back as a unit never provisioned, with the hardware
  // id `soc_uid` (the exact bytes of soc_uid), the boot environment it
  // booted with (BoardOptions::boot_env), no network unit files and the
  // interfaces' first MACs. Returns once ftmd serves again.
  void swap_unit(const std::string& soc_uid);
  // The hardware id after the current one: "0x1122334455667788\n" gives
  // "0x1122334455667789\n"; nothing when soc_uid is not "0x" and hex digits.
  std::optional<std::string> next_soc_uid() const;

  // ---- Commands inside the board ------------------------------------------
  // status: exit status, 128 + signal, or -1 on time-out; output: stdout and
  // stderr together.
  using ExecResult = RunResult;
  // Runs argv (PATH search) inside the board, as root, in /.
  ExecResult exec(const std::vector<std::string>& argv, std::chrono::milliseconds timeout = 10s,
                  const std::string& input = {});
  ExecResult shell(const std::string& command, std::chrono::milliseconds timeout = 10s) {
    return exec({"/bin/sh", "-c", command}, timeout);
  }
  // Starts a long-running board process (a service) without waiting; its
  // output goes to /run/vboard/<name>.log. Returns a handle for stop_service.
  int start_service(const std::string& name, const std::vector<std::string>& argv);
  void stop_service(int handle, int signal = SIGTERM);

  // ---- The test PC's side -------------------------------------------------
  // Runs a host program (host files, so it can open the cable's pty) in the
  // test PC's network namespace, where lan4's peer has pc_address: it reaches
  // the board's web server at lan4's address.
  ExecResult run_on_pc(const std::vector<std::string>& argv, std::chrono::milliseconds timeout = 30s,
                       const std::string& input = {});
  // The PC's network namespace (borrowed descriptor, -1 without one): a
  // forked child may setns(fd, CLONE_NEWNET) before executing a client.
  int pc_netns_fd() const { return pc_netns_.get(); }
  // The host pid of a process that lives in the PC's network (0 without
  // one), so that another terminal reaches it:
  //   nsenter --net=/proc/PID/ns/net COMMAND
  pid_t pc_pid() const;

  // ---- Files --------------------------------------------------------------
  // The host path of a board path in the board's own directories (/tmp,
  // /etc, /var, /data, /run, /dev, /usr/local). Not for /sys (see hw()), /usr
  // or /proc.
  std::string host_path(std::string_view board_path) const;
  std::optional<std::string> read_file(std::string_view board_path) const;
  void write_file(std::string_view board_path, const std::string& content);
  // VERSION_ID and the rest of /etc/os-release.
  void set_os_release(const std::string& content);
  // The exact bytes of /sys/devices/soc0/soc_uid.
  void set_soc_uid(const std::string& content);
  // An activation file in /data/dante_data/activation: its content, or
  // nothing to remove it.
  void set_activation_file(const std::string& name, const std::optional<std::string>& content);

  // ---- Components ---------------------------------------------------------
  SyslogCapture& syslog() { return *syslog_; }
  HwTree& hw() { return hw_; }
  Leds& leds() { return leds_; }
  Gpio& gpio() { return gpio_; }
  Triggers& triggers() { return triggers_; }
  UsbHost& usb_host() { return usb_host_; }
  AudioMcu& audio_mcu() { return audio_mcu_; }
  LogicMcu& logic_mcu() { return logic_mcu_; }
  Keypad& keypad() { return *keypad_; }
  Uevents& uevents() { return uevents_; }
  UbootEnv& uboot_env() { return uboot_env_; }
  Network& network() { return *network_; }
  StandIns& standins() { return standins_; }

  // ---- Introspection ------------------------------------------------------
  // Time from the constructor's start until the board's pid 1 was ready.
  std::chrono::microseconds setup_time() const { return setup_time_; }
  // The board's pid 1 as the host sees it.
  pid_t init_pid() const { return init_pid_; }
  // Inode numbers of the board's namespaces (to check that none survives).
  struct Namespaces {
    ino_t user = 0, mnt = 0, net = 0, pid = 0;
  };
  Namespaces namespaces() const { return namespaces_; }
  const std::string& state_dir() const { return root_.state_dir(); }
  const BoardOptions& options() const { return options_; }

 private:
  static BoardOptions with_absolute_daemon(BoardOptions options);
  void set_up_simulators();
  void take_board_fd(InitMsg type, ftmd::UniqueFd fd);

  BoardOptions options_;
  BoardRoot root_;  // first: the members below refer to its paths
  std::chrono::microseconds setup_time_{0};

  std::unique_ptr<SyslogCapture> syslog_;
  HwTree hw_;
  Gpio gpio_;
  Leds leds_;
  Triggers triggers_;
  UsbHost usb_host_;
  AudioMcu audio_mcu_;
  LogicMcu logic_mcu_;
  std::unique_ptr<Keypad> keypad_;
  Uevents uevents_;
  UbootEnv uboot_env_;
  StandIns standins_;
  std::unique_ptr<FuseServer> fuse_;
  ftmd::UniqueFd pc_netns_;
  // Destroyed before the simulators: the board dies while they still serve it.
  std::unique_ptr<BoardProcesses> processes_;
  pid_t init_pid_ = -1;
  Namespaces namespaces_;
  std::unique_ptr<Network> network_;
  std::unique_ptr<Reboots> reboots_;  // last: stops first
};

}  // namespace vboard
