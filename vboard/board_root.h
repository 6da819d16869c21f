#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "vboard/board_init.h"

namespace vboard {

struct BoardOptions;

// Board paths of the board's own state and of the devices the board puts
// behind the daemon's fixed paths.
namespace board_path {
inline constexpr char kState[] = "/run/vboard";
inline constexpr char kRebootRecord[] = "/run/vboard/reboot.log";  // written by the stand-in
inline constexpr char kEmulatorDir[] = "/run/vboard/emulator";
inline constexpr char kHwDir[] = "/run/vboard/hw";          // the FUSE mount
inline constexpr char kNetSysDir[] = "/run/vboard/netsys";  // the board network's sysfs
inline constexpr char kDaemon[] = "/usr/local/sbin/ftmd";
inline constexpr char kDaemonOutput[] = "/run/vboard/ftmd.out";
inline constexpr char kEnvImage[] = "/run/vboard/uboot-env.bin";
inline constexpr char kOsRelease[] = "/run/vboard/os-release";
inline constexpr char kActivationDir[] = "/data/dante_data/activation/";
inline constexpr char kLog[] = "/dev/log";
inline constexpr char kHostPort[] = "/dev/ttyGS0";
inline constexpr char kRpmsgPort[] = "/dev/ttyRPMSG30";
inline constexpr char kLogicPort[] = "/dev/ttymxc2";
inline constexpr char kKeyDevice[] = "/dev/input/by-path/platform-keys-event";
inline constexpr char kSocUid[] = "/sys/devices/soc0/soc_uid";
}  // namespace board_path

// The board's directory on the host and the root file system laid out in it.
//
// The directory (state_dir(), "vboard-XXXXXX" in /dev/shm or /tmp) holds the
// board's root (root()) and what the board's tool keeps beside it; the
// destructor removes it. A board whose process was killed outright cannot
// remove its own: the next board's constructor removes the directories whose
// owner no longer runs.
class BoardRoot {
 public:
  // Makes the directory in `parent` (empty: /dev/shm when writable, else
  // /tmp); throws BoardError.
  explicit BoardRoot(std::string parent);
  BoardRoot(const BoardRoot&) = delete;
  BoardRoot& operator=(const BoardRoot&) = delete;
  ~BoardRoot();

  // Refuses a machine that lacks what a board needs (the daemon binary, the
  // tools, /dev/fuse) with a BoardError saying what is missing.
  static void check_host(const BoardOptions& options);

  const std::string& state_dir() const { return state_dir_; }
  const std::string& root() const { return root_; }
  // The host path of a board path in the board's own directories.
  std::string host_path(std::string_view board_path) const;
  std::optional<std::string> read_file(std::string_view board_path) const;
  // Writes a file (and its directories) in the board; throws BoardError.
  void write_file(std::string_view board_path, const std::string& content) const;

  // Lays out the root's directories, links and files as `options` say.
  void lay_out(const BoardOptions& options) const;
  // What the board's side mounts, runs and starts the daemon with.
  InitPlan init_plan(const BoardOptions& options) const;

 private:
  std::string state_dir_;
  std::string root_;
};

}  // namespace vboard
