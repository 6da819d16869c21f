#pragma once

#include "core/reply_buffer.h"

namespace ftmd {

// Every command handler gets the text that follows its own prefix in the
// received command (NUL-terminated and writable: it may be cut into tokens in
// place) and a cleared ReplyBuffer, and leaves one reply text, or none. The
// command table owns the prefixes; a handler never looks at one and never
// throws.
using CommandHandler = void (*)(char* args, ReplyBuffer& reply);

// The reply to a command the device does not know. Handlers that accept only
// some fixed argument texts give it for any other text as well.
inline constexpr char kInvalidCmdReply[] = "ERROR,Invalid Cmd\n";

inline void invalid_command(char*, ReplyBuffer& reply) { reply.set(kInvalidCmdReply); }

}  // namespace ftmd
