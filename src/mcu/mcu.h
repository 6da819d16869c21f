#pragma once

#include "core/reply_buffer.h"

namespace ftmd {

// Start-up handshake with the audio MCU. Returns once the MCU has answered;
// may wait without a time limit; ends the process with status 1 when the
// rpmsg tty is missing.
void mcu_wakeup();

void volume_test(char* command, ReplyBuffer& reply);
void circuit_test(char* command, ReplyBuffer& reply);
void deviceaging_test(char* command, ReplyBuffer& reply);

}  // namespace ftmd
