#include "core/command_table.h"
#include "hwtest/hwtest.h"

// Not built yet: these commands answer like unknown ones until their
// handlers land.
namespace ftmd {

void led_test(char* c, ReplyBuffer& r) { invalid_command(c, r); }
void key_test(char* c, ReplyBuffer& r) { invalid_command(c, r); }
void udisk_detect(char* c, ReplyBuffer& r) { invalid_command(c, r); }
void triggerout_test(char* c, ReplyBuffer& r) { invalid_command(c, r); }
void triggerin_test(char* c, ReplyBuffer& r) { invalid_command(c, r); }
void start_udisk_monitor() {}

}  // namespace ftmd
