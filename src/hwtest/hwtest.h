#pragma once

#include "core/reply_buffer.h"

// The hardware self-tests: command handlers (each gets the text after its
// table prefix, see core/command.h) and what start-up runs for them.
namespace ftmd {

void led_test(char* args, ReplyBuffer& reply);
void key_test(char* args, ReplyBuffer& reply);
void udisk_detect(char* args, ReplyBuffer& reply);
void triggerout_test(char* args, ReplyBuffer& reply);
void triggerin_test(char* args, ReplyBuffer& reply);

// Start-up, in this order: the USB status file gets its "nothing seen yet"
// line, then the USB disk monitor thread starts, which lives as long as the
// process and owns the status file from then on.
void seed_usb_status();
void start_udisk_monitor();

}  // namespace ftmd
