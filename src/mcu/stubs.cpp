#include "core/command_table.h"
#include "mcu/mcu.h"

// Not built yet: these commands answer like unknown ones until their
// handlers land; the wake-up handshake does nothing.
namespace ftmd {

void mcu_wakeup() {}
void volume_test(char* c, ReplyBuffer& r) { invalid_command(c, r); }
void circuit_test(char* c, ReplyBuffer& r) { invalid_command(c, r); }
void deviceaging_test(char* c, ReplyBuffer& r) { invalid_command(c, r); }

}  // namespace ftmd
