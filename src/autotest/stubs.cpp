#include "autotest/autotest.h"
#include "core/command_table.h"

// Not built yet: answers like an unknown command until the handler lands.
namespace ftmd {

void autotest(char* c, ReplyBuffer& r) { invalid_command(c, r); }

}  // namespace ftmd
