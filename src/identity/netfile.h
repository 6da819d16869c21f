#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/atomic_file.h"

// Storage of the two Ethernet MAC addresses in systemd-networkd unit files:
// "MACAddress=" in the file's "[Link]" section. The editing rules are pure
// (text in, text out); the file operations around them read a unit file whole
// and replace it atomically (temporary file in the same directory, fsync,
// rename, fsync of the directory), so a reader or a power cut sees the old
// file or the new one, never an empty or partial one. Main thread only.
namespace ftmd {

// True if `text` is exactly 17 characters: six pairs of upper-case hex digits
// separated by ":". Logs the first offence at debug level (its log texts carry
// the name check_mac_format).
bool check_mac_format(std::string_view text);

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

// 1 if `path` exists. Otherwise its directory is made ready and the file's
// replacement is begun in `created` (its temp file made, so the file is
// created whole by the update that fills it, never left empty): 0 then, -1
// (logged) when the file cannot be created.
int netfile_ensure_file(const char* path, std::optional<AtomicFile>& created);

// The address stored in the unit file at `path`, if it is in the 17-character
// form; nothing if the file cannot be read or holds none.
std::optional<std::string> netfile_read_mac(const char* path);

// Brings the unit file at `path` (one of the two) to hold `mac` (17-character
// form) with its default sections. An existing file must open for reading and
// writing; it is then replaced whole, and one that already holds the defaults
// and the address is left untouched. True when the file holds the address
// afterwards.
bool netfile_update_mac(const char* path, std::string_view mac);

// The same for a unit file whose match entry is given.
bool netfile_update_unit(const char* path, const char* match_entry, std::string_view mac);

}  // namespace ftmd
