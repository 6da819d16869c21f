#pragma once

#include <optional>
#include <string>
#include <string_view>

// Storage of the two Ethernet MAC addresses in systemd-networkd unit files:
// "MACAddress=" in the file's "[Link]" section. The editing rules are pure
// (text in, text out); the file operations around them read a unit file whole
// and replace it atomically (temporary file in the same directory, fsync,
// rename, fsync of the directory), so a reader or a power cut sees the old
// file or the new one, never an empty or partial one. Main thread only.
namespace ftmd {

// True if `text` is exactly 17 characters: six pairs of upper-case hex digits
// separated by ":". Logs the first offence at debug level.
bool CheckMacFormat(std::string_view text);

// --- Pure editing rules ----------------------------------------------------

// Makes sure the first line containing `header` is directly followed by a line
// containing `entry`: inserts "<entry>\n" after that header line when the next
// line lacks it; appends "<header>\n<entry>\n" when no line contains `header`.
// A header on the file's last line gets nothing.
std::string netfile_ensure_entry(std::string_view text, std::string_view header, std::string_view entry);

// The "[Match]" section with `match_entry` and "[Network]" with "DHCP=ipv4".
std::string netfile_ensure_defaults(std::string_view text, std::string_view match_entry);

// The (at most) 17 characters after "MACAddress=" on the first line that has
// it once a "[Link]" line was seen, unchecked; nothing if there is none.
std::optional<std::string> netfile_find_mac(std::string_view text);

// Every line holding "[Link]" or "MACAddress=" dropped, the others kept in
// order, then "[Link]\nMACAddress=<mac>\n" at the end.
std::string netfile_rewrite_mac(std::string_view text, std::string_view mac);

// --- Files -------------------------------------------------------------------

// The match entry ("Name=lan4", "Name=lan3") of one of the two unit files,
// or nullptr for any other path.
const char* netfile_match_entry(const char* path);

// Creates `dir` and its missing parents with mode 0775. 1 when it exists as a
// directory afterwards, 0 on failure (logged).
int netfile_ensure_dir(const char* dir);

// 1 if `path` exists; 0 if it does not exist yet and its directory is ready
// (the file itself is only ever created whole, by the update that fills it);
// -1 on failure.
int netfile_ensure_file(const char* path);

// The address stored in the unit file at `path`, if it is in the 17-character
// form; nothing if the file cannot be read or holds none.
std::optional<std::string> netfile_read_mac(const char* path);

// Replaces the content of `path` with `text` atomically, keeping the old
// file's mode. False (logged, temporary file removed) on failure.
bool netfile_write_atomic(const char* path, std::string_view text);

// Brings the unit file at `path` (one of the two) to hold `mac` (17-character
// form) with its default sections. A file that already holds them and the
// address is left untouched. True when the file holds the address afterwards.
bool netfile_update_mac(const char* path, std::string_view mac);

// The same for a unit file whose match entry is given.
bool netfile_update_unit(const char* path, const char* match_entry, std::string_view mac);

}  // namespace ftmd
