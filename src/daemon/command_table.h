#pragma once

#include <array>
#include <cstddef>

#include "core/command.h"
#include "core/reply_buffer.h"

namespace ftmd {

struct CommandEntry {
  const char* prefix;
  CommandHandler handler;
};

inline constexpr std::size_t kCommandCount = 32;
using CommandTable = std::array<CommandEntry, kCommandCount>;

// The device's 32 commands, in the order the protocol defines them. The table
// is the one place that knows the command texts: a row's handler gets what
// follows the row's prefix.
extern const CommandTable kCommandTable;

// The first row whose prefix begins `command` (ASCII case ignored; a text
// shorter than the prefix never matches), or nullptr.
const CommandEntry* find_command(const char* command);

// Runs the handler of the first row whose prefix begins `command` with the
// text after that prefix, or invalid_command when no row matches.
ReplyBuffer& dispatch_command(char* command, ReplyBuffer& reply);

// Fixed replies.
void reboot_device(char* args, ReplyBuffer& reply);
void dsp_not_supported(char* args, ReplyBuffer& reply);

// The reply of reboot_device; the main loop reboots after sending it.
inline constexpr char kRebootReply[] = "OK, tamo is rebooting...";

}  // namespace ftmd
