#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ftmd::pc {

// The values that make a unit's identity, and what the device accepts of
// them: the rules the station checks before writing a unit, and the line
// database checks before it imports a value into a pool. A value that passes
// is stored by the device and read back exactly as sent.

// The longest serial number the device stores: 241 characters, what its
// 256-byte tool command line holds after "fw_setenv msn " (the quotes the
// device adds for its shell do not count against the value).
inline constexpr std::size_t kSerialMax = 241;

// What is wrong with serial number `value` of kind `name` ("sn" or "csn"), or
// "" when the device stores it and reads it back as sent: printable ASCII,
// not empty, no leading "-", short enough for the device's command line, no
// "=" in a csn, not "null" as sn, and no value whose read-back reply ("OK,"
// and the value) would begin like the reboot reply, which makes the device
// reboot.
std::string serial_problem(std::string_view name, std::string_view value);

// A MAC address as the operator may type it: 12 hex digits, plain or in six
// pairs separated by ":" or "-", either case. Gives the command form (12
// upper-case hex digits), or nothing and the reason: also for the all-zero
// and multicast addresses, which are no unit's address.
std::optional<std::string> normalize_mac(std::string_view text, std::string* reason);

// "001B2C3D4E5F" -> "00:1B:2C:3D:4E:5F".
std::string mac_with_colons(std::string_view mac);

// A MAC address as a 48-bit number and back (command form), for blocks of
// consecutive addresses. mac_number takes the command form only.
std::optional<std::uint64_t> mac_number(std::string_view command_form);
std::string mac_command_form(std::uint64_t number);

// The addresses of one company assignment (OUI) that a block may take: the
// low 24 bits of an address run from 000000 to FFFFFF.
inline constexpr std::uint64_t kAddressesPerOui = std::uint64_t{1} << 24;

// What is wrong with a block of `count` consecutive addresses from `first`
// (as typed) for a line's MAC pool, or "" when it is good: a unit address
// (see normalize_mac), an even count above zero (each unit takes two), and
// the block within its OUI. On success `first_number` is the first address.
std::string mac_block_problem(std::string_view first, std::uint64_t count, std::uint64_t* first_number);

// The hardware id as the line keeps it: the SoC's unique id as the device
// reports it, without its line end. What is wrong with `hwid`, or "" when it
// is good (1 to 254 printable ASCII characters, no blank at either end).
std::string hwid_problem(std::string_view hwid);

}  // namespace ftmd::pc
