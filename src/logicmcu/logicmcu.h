#pragma once

#include "core/reply_buffer.h"

namespace ftmd {

struct LogicMcuLink;

// Start-up: starts the logic MCU receiver thread on /dev/ttymxc2. It owns the
// reading side of the UART for the life of the process (unless the port
// fails) and is never joined. A port that cannot be opened is only logged:
// the commands then time out.
void start_logicmcu_receiver();

// The four logic MCU commands, as the command table calls them (the set
// commands take "<group>,<mode letter>" and "<group>,<two level letters>"):
// they talk to the process-wide link. Each blocks the main thread up to 3 seconds (a level
// set up to 6) and leaves the reply buffer unchanged when the MCU is silent.
void logicmcu_getmode(char* args, ReplyBuffer& reply);
void logicmcu_setmode(char* args, ReplyBuffer& reply);
void logicmcu_getvalue(char* args, ReplyBuffer& reply);
void logicmcu_setvalue(char* args, ReplyBuffer& reply);

// The same commands on a given link (the table's versions pass the
// process-wide one).
void logicmcu_getmode(LogicMcuLink& link, char* args, ReplyBuffer& reply);
void logicmcu_setmode(LogicMcuLink& link, char* args, ReplyBuffer& reply);
void logicmcu_getvalue(LogicMcuLink& link, char* args, ReplyBuffer& reply);
void logicmcu_setvalue(LogicMcuLink& link, char* args, ReplyBuffer& reply);

}  // namespace ftmd
