#include "core/command_table.h"
#include "logicmcu/logicmcu.h"

// Not built yet: these commands answer like unknown ones until their
// handlers land; no receiver thread is started.
namespace ftmd {

void start_logicmcu_receiver() {}
void logicmcu_getmode(char* c, ReplyBuffer& r) { invalid_command(c, r); }
void logicmcu_setmode(char* c, ReplyBuffer& r) { invalid_command(c, r); }
void logicmcu_getvalue(char* c, ReplyBuffer& r) { invalid_command(c, r); }
void logicmcu_setvalue(char* c, ReplyBuffer& r) { invalid_command(c, r); }

}  // namespace ftmd
