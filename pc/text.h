#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace ftmd::pc {

// The reply text for a terminal: printable ASCII as is, "\n", "\r", "\t" and
// "\\" spelled out, every other byte as "\xNN" (lower-case hex). The result
// holds no control character, so one reply is always one output line, and it
// can be turned back into the exact bytes.
std::string escape_reply(std::string_view text);

// `text` as a quoted JSON string. Bytes of 0x80 and above are written as
// "\u00NN" (read as Latin-1), so the output is valid JSON whatever the device
// sent; the exact bytes are in the "raw" field anyway.
std::string json_string(std::string_view text);

// Appends "\xNN" (lower-case hex) for `byte`: how every text the PC side
// shows (terminal, records, the station's page) spells a byte it does not
// show as it is.
void append_byte_escape(std::string& out, unsigned char byte);

// Lower-case hex of `bytes`, no separators.
std::string hex_bytes(std::span<const std::uint8_t> bytes);

// The whole content of the file at `path`; nothing, and in `error`
// "PATH: cannot read the WHAT: REASON", when it cannot be read.
std::optional<std::string> read_text_file(const std::string& path, std::string_view what, std::string* error);

}  // namespace ftmd::pc
