#pragma once

#include <array>

#include "core/reply_buffer.h"

namespace ftmd {

// Every command handler gets the whole received command text (prefix
// included, NUL-terminated, writable: it may be cut into tokens in place) and
// a cleared ReplyBuffer. It finds its arguments right after its own prefix and
// leaves one reply text, or none. Handlers never throw.
using CommandHandler = void (*)(char* command, ReplyBuffer& reply);

struct CommandEntry {
  const char* prefix;
  CommandHandler handler;
};

inline constexpr std::size_t kCommandCount = 32;
using CommandTable = std::array<CommandEntry, kCommandCount>;

// The device's 32 commands, in the order the protocol defines them.
extern const CommandTable kCommandTable;

// The first row whose prefix begins `command` (ASCII case ignored; a text
// shorter than the prefix never matches), or nullptr.
const CommandEntry* find_command(const char* command);

// Runs the handler of the first row whose prefix begins `command` (ASCII case
// ignored; a text shorter than the prefix never matches), or invalid_command.
ReplyBuffer& dispatch_command(char* command, ReplyBuffer& reply);

// Fixed replies.
void invalid_command(char* command, ReplyBuffer& reply);
void reboot_device(char* command, ReplyBuffer& reply);
void dsp_not_supported(char* command, ReplyBuffer& reply);

// The reply of reboot_device; the main loop reboots after sending it.
inline constexpr char kRebootReply[] = "OK, tamo is rebooting...";

}  // namespace ftmd
