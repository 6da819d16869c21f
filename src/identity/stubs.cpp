#include "core/command_table.h"
#include "identity/identity.h"

// Not built yet: these commands answer like unknown ones until their
// handlers land.
namespace ftmd {

void ftmver_query(char* c, ReplyBuffer& r) { invalid_command(c, r); }
void swver_query(char* c, ReplyBuffer& r) { invalid_command(c, r); }
void hwid_query(char* c, ReplyBuffer& r) { invalid_command(c, r); }
void sn_command(char* c, ReplyBuffer& r) { invalid_command(c, r); }
void csn_command(char* c, ReplyBuffer& r) { invalid_command(c, r); }
void ethmac_command(char* c, ReplyBuffer& r) { invalid_command(c, r); }
void ethaddr_query(char* c, ReplyBuffer& r) { invalid_command(c, r); }

}  // namespace ftmd
