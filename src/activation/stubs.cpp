#include "activation/activation.h"
#include "core/command_table.h"

// Not built yet: these commands answer like unknown ones until their
// handlers land.
namespace ftmd {

void publish_device_lic(char* c, ReplyBuffer& r) { invalid_command(c, r); }
void publish_manufacturer_cert(char* c, ReplyBuffer& r) { invalid_command(c, r); }
void confirm_device_lic(char* c, ReplyBuffer& r) { invalid_command(c, r); }
void confirm_manufacturer_cert(char* c, ReplyBuffer& r) { invalid_command(c, r); }

}  // namespace ftmd
