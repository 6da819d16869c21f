#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/reply_buffer.h"

// The steps behind the MAC address commands (the handlers are in identity.h).
namespace ftmd {

enum class MacSlot { kMac1 = 0, kMac2 = 1 };  // lan4/ethaddr, lan3/eth1addr

// Burns one address given in command form (12 upper-case hex digits, first
// octet unicast): its unit file, then its boot variable. True once the unit
// file holds it; a failed format check writes nothing, a failed unit file
// leaves the boot variable alone.
bool mac_burn(std::string_view address, MacSlot slot);

// Write path: `argument` is the command's argument, two addresses in command
// form joined by a comma (one trailing line feed tolerated).
void ethmac_write(char* argument, ReplyBuffer& reply);
// Read-back and agreement check of unit files, boot environment, interfaces.
void ethmac_query(ReplyBuffer& reply);

// True if the boot variable `variable` holds exactly `address` (stored form).
bool env_mac_matches(std::string_view address, const char* variable);

// True if the live interfaces carry the addresses (stored form, any case).
bool live_mac_check(std::string_view mac1, std::string_view mac2);

// The first line (at most 23 characters) of a kernel attribute file without
// its line feed; nothing if it cannot be opened or is empty.
std::optional<std::string> sysfs_read_line(const char* path);

// The value of `ethaddr` as "/tmp/2.txt" holds it, "null" if there is none.
std::string ethaddr_parse_file();

}  // namespace ftmd
