#pragma once

#include "core/reply_buffer.h"

namespace ftmd {

// Command-table adaptors: each binds the shared publish or confirm body to
// the activation file its row hands over.
void publish_device_lic(char* command, ReplyBuffer& reply);
void publish_manufacturer_cert(char* command, ReplyBuffer& reply);
void confirm_device_lic(char* command, ReplyBuffer& reply);
void confirm_manufacturer_cert(char* command, ReplyBuffer& reply);

}  // namespace ftmd
