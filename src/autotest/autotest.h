#pragma once

#include "core/reply_buffer.h"

namespace ftmd {

// The combined identity report, its help text, or one single query.
void autotest(char* command, ReplyBuffer& reply);

}  // namespace ftmd
