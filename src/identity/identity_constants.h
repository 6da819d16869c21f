#pragma once

#include <cstddef>

// The whole device surface of identity provisioning in one place: the files
// it reads, the unit files it owns, the boot environment tool command lines
// it runs and the fixed limits of their texts.
namespace ftmd::identity {

// Versions and hardware id.
inline constexpr char kFtmVersion[] = "V1.0";
inline constexpr char kOsReleasePath[] = "/etc/os-release";
inline constexpr char kVersionIdKey[] = "VERSION_ID=";
inline constexpr std::size_t kOsReleaseReadBytes = 256;  // only this much is searched
inline constexpr char kSocUidPath[] = "/sys/devices/soc0/soc_uid";
inline constexpr std::size_t kSocUidMaxLine = 255;

// The device's command lines hold this many bytes with their NUL: a value from
// the PC may use what its command's prefix leaves (the quotes we add around
// it do not count).
inline constexpr std::size_t kCommandLineSize = 256;
// The most a line read from the tools or their scratch files holds.
inline constexpr std::size_t kMaxLine = 255;
// The most a line of `fw_printenv <mac variable>` read through a pipe holds.
inline constexpr std::size_t kMaxEnvMacLine = 63;

// Serial numbers: boot variables, their write lines (the single-quoted value
// is appended) and read-back lines.
inline constexpr char kMsnVar[] = "msn";
inline constexpr char kCsnVar[] = "csn";
inline constexpr char kMsnSetPrefix[] = "fw_setenv msn ";
inline constexpr char kCsnSetPrefix[] = "fw_setenv csn ";
inline constexpr char kMsnReadCommand[] = "fw_printenv msn >/tmp/1.txt";
inline constexpr char kMsnScratchPath[] = "/tmp/1.txt";
inline constexpr char kCsnReadCommand[] = "fw_printenv csn | awk -F '=' '{print $2}'";
// Stands for "no product serial number stored".
inline constexpr char kNullValue[] = "null";

// MAC addresses.
inline constexpr char kLan4UnitPath[] = "/etc/systemd/network/lan4.network";
inline constexpr char kLan3UnitPath[] = "/etc/systemd/network/lan3.network";
inline constexpr char kLan4MatchEntry[] = "Name=lan4";
inline constexpr char kLan3MatchEntry[] = "Name=lan3";
inline constexpr char kEthaddrVar[] = "ethaddr";
inline constexpr char kEth1addrVar[] = "eth1addr";
inline constexpr char kEthaddrSetPrefix[] = "fw_setenv ethaddr ";
inline constexpr char kEth1addrSetPrefix[] = "fw_setenv eth1addr ";
inline constexpr char kPrintenvFormat[] = "fw_printenv %s";
inline constexpr char kNetworkdRestartCommand[] = "systemctl restart systemd-networkd.service";
inline constexpr char kEthaddrReadCommand[] = "fw_printenv ethaddr >/tmp/2.txt";
inline constexpr char kEthaddrScratchPath[] = "/tmp/2.txt";
inline constexpr char kEth0AddressPath[] = "/sys/class/net/eth0/address";
inline constexpr char kLan4AddressPath[] = "/sys/class/net/lan4/address";
inline constexpr char kLan3AddressPath[] = "/sys/class/net/lan3/address";
inline constexpr std::size_t kLiveAddressMaxLine = 23;

// Unit file lines.
inline constexpr char kMatchHeader[] = "[Match]";
inline constexpr char kNetworkHeader[] = "[Network]";
inline constexpr char kDhcpEntry[] = "DHCP=ipv4";
inline constexpr char kLinkHeader[] = "[Link]";
inline constexpr char kMacAddressKey[] = "MACAddress=";
inline constexpr unsigned kUnitDirMode = 0775;
inline constexpr unsigned kNewUnitFileMode = 0644;

// Address text forms: 12 upper-case hex digits in commands and replies, 17
// characters with colons where stored.
inline constexpr std::size_t kMacDigits = 12;
inline constexpr std::size_t kMacTextLength = 17;
// "<12 digits>,<12 digits>"
inline constexpr std::size_t kMacPairLength = 25;

}  // namespace ftmd::identity
