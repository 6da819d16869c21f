#include "vboard/standins.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

namespace vboard {
namespace fs = std::filesystem;

namespace {

constexpr char kScript[] = R"SH(#!/bin/sh
# Stand-ins for the device's system tools, by the name they are called with.
state=/run/vboard
case "${0##*/}" in
reboot)
  echo "reboot $*" >> "$state/reboot.log"
  ;;
systemctl)
  echo "systemctl $*" >> "$state/systemctl.log"
  if [ "$1" = restart ]; then
    case "$2" in
    systemd-networkd|systemd-networkd.service)
      for unit in /etc/systemd/network/*.network; do
        [ -f "$unit" ] || continue
        awk -F= '
          /^[ \t]*\[/ { section = $0; gsub(/[ \t]/, "", section); next }
          section == "[Match]" && $1 == "Name" { name = $2 }
          section == "[Link]" && $1 == "MACAddress" { mac = $2 }
          END { if (name != "" && mac != "") print name, mac }' "$unit" |
        while read -r name mac; do
          case "$name" in
          lan4|lan3) ip link set dev "$name" address "$mac" ;;
          esac
          # eth0 is left alone unless a test makes it carry lan4's address.
          if [ "$name" = lan4 ] && [ -e "$state/eth0-follows-lan4" ]; then
            ip link set dev eth0 address "$mac"
          fi
        done
      done
      ;;
    esac
  fi
  ;;
fw_printenv)
  # Linked here only to give the other family of the U-Boot tools: for a
  # variable that is not set nothing on stdout, an error on stderr, status 1.
  /usr/bin/fw_printenv "$@" | awk '
    /^[^=]+=$/ { printf "## Error: \"%s\" not defined\n", substr($0, 1, length($0) - 1) > "/dev/stderr"; bad = 1; next }
    { print }
    END { exit bad }'
  ;;
fw_setenv)
  # Linked here only while the environment cannot be written: nothing stored.
  echo "fw_setenv $*" >> "$state/fw_setenv-refused.log"
  echo "Error: environment not written" >&2
  exit 1
  ;;
runc)
  if [ "$1" = list ]; then
    status=$(cat "$state/dante.state" 2>/dev/null)
    printf '%-12s%-12s%-12s%-48s%-33s%s\n' ID PID STATUS BUNDLE CREATED OWNER
    if [ "$status" != absent ]; then
      pid=1234
      [ "$status" = running ] || [ "$status" = paused ] || pid=0
      printf '%-12s%-12s%-12s%-48s%-33s%s\n' dante "$pid" "${status:-running}" \
        /usr/local/dep/dante_package/bundle 2026-01-01T00:00:00.000000000Z root
    fi
  fi
  ;;
*)
  echo "vboard-standin: unknown tool ${0##*/}" >&2
  exit 1
  ;;
esac
)SH";

std::vector<std::string> lines_of(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

}  // namespace

StandIns::StandIns(HostPath host_path) : host_(std::move(host_path)) {}

std::string StandIns::script() { return kScript; }

void StandIns::install() const {
  fs::path script = host_(kScriptBoardPath);
  fs::create_directories(script.parent_path());
  std::ofstream(script) << kScript;
  fs::permissions(script, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
  fs::path bin = host_(kBinBoardDir);
  fs::create_directories(bin);
  for (const char* tool : {"reboot", "systemctl"}) fs::create_symlink(kScriptBoardPath, bin / tool);
  fs::path runc = host_(kRuncBoardPath);
  fs::create_directories(runc.parent_path());
  fs::create_symlink(kScriptBoardPath, runc);
}

void StandIns::set_container_status(const std::string& status) const {
  std::string path = host_("/run/vboard/dante.state");
  std::ofstream(path + ".tmp") << status << "\n";
  std::rename((path + ".tmp").c_str(), path.c_str());
}

int StandIns::reboot_count() const {
  return static_cast<int>(lines_of(host_("/run/vboard/reboot.log")).size());
}

bool StandIns::wait_reboot(int count, std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (reboot_count() < count) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A stand-in answers for a tool only while its link is in the board's bin
// directory, first on PATH; without it the real tool runs.
void StandIns::link_tool(const char* tool, bool linked) const {
  fs::path link = fs::path(host_(kBinBoardDir)) / tool;
  std::error_code ec;
  fs::remove(link, ec);
  if (linked) fs::create_symlink(kScriptBoardPath, link);
}

void StandIns::set_env_tools(EnvTools tools) const { link_tool("fw_printenv", tools == EnvTools::kUboot); }

void StandIns::set_fw_setenv_fails(bool fails) const { link_tool("fw_setenv", fails); }

void StandIns::set_eth0_follows_lan4(bool follows) const {
  std::string path = host_("/run/vboard/eth0-follows-lan4");
  if (follows)
    std::ofstream(path) << "1\n";
  else
    std::remove(path.c_str());
}

std::vector<std::string> StandIns::systemctl_calls() const {
  return lines_of(host_("/run/vboard/systemctl.log"));
}

}  // namespace vboard
