#pragma once

#include <optional>
#include <string>
#include <string_view>

// Pure text rules of identity provisioning: what the daemon makes of the
// lines the tools and files give it, and the command lines it builds. No I/O,
// so each rule is tested with literal bytes.
namespace ftmd::identity {

// The "VERSION_ID=" value in the first bytes of the release file: from after
// the key (anywhere, not only at a line start) up to the first line feed,
// verbatim. Nothing when the key is missing.
std::optional<std::string> os_release_version(std::string_view head);

// The value a scratch file ("fw_printenv <name> >file") holds, from its first
// line: "<name>=" followed by the value (one trailing line feed dropped).
// "null" when the file could not be read, is empty, the variable is unset (in
// either tool family's way) or the line is not the variable's.
std::string scratch_value(const std::optional<std::string>& first_line, std::string_view name);

// The customer serial number from the first line of the awk pipeline's
// output: the text before the first line feed. Nothing when there was no line
// or the value is empty (the variable is not set).
std::optional<std::string> csn_value(const std::optional<std::string>& first_line);

// "<prefix><value single-quoted>", or nothing when the prefix and the value
// as sent would not fit a command line (255 characters): after the 14
// characters of "fw_setenv msn " a value may have 241. The quoting never
// counts against the value.
std::optional<std::string> quoted_command_line(std::string_view prefix, std::string_view value);

// The (at most) 17 characters after "<name>=" of a `fw_printenv <name>` line,
// without comparing the line's start with the name; nothing when the line is
// empty or says the variable is unset.
std::optional<std::string> env_mac_candidate(std::string_view line, std::string_view name);

// "0" to "9" or "A" to "F": the digits of the address forms.
inline bool is_upper_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// True when `address` is exactly 12 upper-case hex digits and the multicast
// bit of its first octet is clear; logs the check at debug level ("----stat"
// only when `log_count`).
bool mac_command_form_ok(std::string_view address, bool log_count);

// 001B2C3D4E5F -> 00:1B:2C:3D:4E:5F (a pair of characters per group).
std::string mac_insert_colons(std::string_view digits);
// Every ":" removed.
std::string mac_strip_colons(std::string_view text);

}  // namespace ftmd::identity
