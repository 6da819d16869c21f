#pragma once

#include "core/reply_buffer.h"

namespace ftmd {

void led_test(char* command, ReplyBuffer& reply);
void key_test(char* command, ReplyBuffer& reply);
void udisk_detect(char* command, ReplyBuffer& reply);
void triggerout_test(char* command, ReplyBuffer& reply);
void triggerin_test(char* command, ReplyBuffer& reply);

// Start-up: starts the USB disk monitor thread, which lives as long as the
// process and owns the status file from then on.
void start_udisk_monitor();

}  // namespace ftmd
