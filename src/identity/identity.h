#pragma once

#include "core/reply_buffer.h"

namespace ftmd {

// Version and hardware identity.
void ftmver_query(char* command, ReplyBuffer& reply);
void swver_query(char* command, ReplyBuffer& reply);
void hwid_query(char* command, ReplyBuffer& reply);

// Serial numbers in the boot environment.
void sn_command(char* command, ReplyBuffer& reply);
void csn_command(char* command, ReplyBuffer& reply);

// Ethernet MAC addresses: burn or read back.
void ethmac_command(char* command, ReplyBuffer& reply);
// Read-back of the boot variable `ethaddr` alone.
void ethaddr_query(char* command, ReplyBuffer& reply);

}  // namespace ftmd
