#pragma once

#include <optional>
#include <string>

#include "core/reply_buffer.h"

// Identity provisioning: the command handlers (each gets the text after its
// table prefix, see core/command.h) and the queries other subsystems build on.
namespace ftmd {

// Version and hardware identity.
void ftmver_query(char* args, ReplyBuffer& reply);
void swver_query(char* args, ReplyBuffer& reply);
void hwid_query(char* args, ReplyBuffer& reply);

// Serial numbers in the boot environment: "?" reads back, anything else is
// the value to write.
void sn_command(char* args, ReplyBuffer& reply);
void csn_command(char* args, ReplyBuffer& reply);

// Ethernet MAC addresses: "?" reads back, anything else is burned.
void ethmac_command(char* args, ReplyBuffer& reply);
// Read-back of the boot variable `ethaddr` alone; `args` is not looked at.
void ethaddr_query(char* args, ReplyBuffer& reply);

// The hardware id: the first line of the SoC's unique-id file exactly as read
// (at most 255 characters, its line feed included); nothing when the file
// cannot be opened.
std::optional<std::string> read_hardware_id();

}  // namespace ftmd
