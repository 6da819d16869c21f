#pragma once

#include "core/reply_buffer.h"

namespace ftmd {

// Start-up: starts the logic MCU receiver thread, which owns the reading side
// of the UART for the life of the process (unless the port fails).
void start_logicmcu_receiver();

void logicmcu_getmode(char* command, ReplyBuffer& reply);
void logicmcu_setmode(char* command, ReplyBuffer& reply);
void logicmcu_getvalue(char* command, ReplyBuffer& reply);
void logicmcu_setvalue(char* command, ReplyBuffer& reply);

}  // namespace ftmd
